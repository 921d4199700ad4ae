#pragma once
// gatewise-cli's run: starts as the desktop application does, runs one check (or, with --respond,
// only answers other copies) on an event loop on the calling thread, and ends with the summary.
// Main thread only; BlockStopSignals must have run before.

#include "cli/options.h"
#include "cli/signal_watch.h"

// Returns the exit status (cli/exit_codes.h). While it runs, signals handed to signals end the
// run (one kept from before is handed over at once).
int RunCli(const CliOptions& options, CSignalRelay& signals);
