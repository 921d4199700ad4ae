#pragma once
// The --json summary: one JSON object on one line, built from what the check found. Pure
// formatting: any thread. The fields are documented in docs/cli.md.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/nat_prober.h"

// How the run ended, the object's "status".
inline constexpr const char* kStatusFinished = "finished";  // the check reached its summary
inline constexpr const char* kStatusInterrupted = "interrupted";
inline constexpr const char* kStatusInvalidSettings = "invalid-settings";
inline constexpr const char* kStatusSocketsFailed = "sockets-failed";

// A JSON string literal, quotes included. Bytes outside printable ASCII are escaped as \u00XX
// (the log is 8-bit text, read as Latin-1), so the output is valid UTF-8 whatever the log holds.
std::string JsonString(const std::string& text);

// Ends without a newline. lines are the verdict lines as logged.
std::string FormatOutcomeJson(const char* status, const CheckOutcome& outcome,
                              const std::vector<std::string>& lines, std::int64_t durationMs);
