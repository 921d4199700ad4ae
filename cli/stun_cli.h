#pragma once
// gatewise-cli --stun: the standard STUN behaviour discovery instead of the check. The run on the
// main thread; signals reach it through the relay. The JSON formatting is pure (any thread).

#include <cstdint>
#include <string>

#include "standard/stun_check.h"

struct CliOptions;
class CSignalRelay;

// Runs the STUN tests the options name, streaming the log like the check's run; returns the exit
// status (docs/cli.md).
int RunStunCli(const CliOptions& options, CSignalRelay& signals);

// The --json object of a STUN run, on one line, without a newline. status as for the check.
std::string FormatStunJson(const char* status, const StunOutcome& outcome, std::int64_t durationMs);

// "waiting for <step>: <s> s left", or "" when nothing waits.
std::string StunProgressText(const CStunCheck& check, std::uint64_t nowMs);
