#pragma once
// gatewise-cli's run: starts as the desktop application does, runs one check (or, with --respond,
// only answers other copies) on an event loop on the calling thread, and ends with the summary.
// Main thread only; BlockStopSignals must have run before.

#include "cli/options.h"

// Returns the exit status (cli/exit_codes.h).
int RunCli(const CliOptions& options);
