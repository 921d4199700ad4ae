#pragma once
// The --json summary: one JSON object on one line, built from what the check found. Pure
// formatting: any thread. The fields are documented in docs/cli.md.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/nat_prober.h"
#include "engine/p2p_meaning.h"

// How the run ended, the object's "status".
inline constexpr const char* kStatusFinished = "finished";  // the check reached its summary
inline constexpr const char* kStatusInterrupted = "interrupted";
inline constexpr const char* kStatusInvalidSettings = "invalid-settings";
inline constexpr const char* kStatusSocketsFailed = "sockets-failed";
// How a run with that status ended, for the meaning's explanation of a missing verdict.
CheckEnd CheckEndOfStatus(const char* status);

// A JSON string literal, quotes included. Bytes outside printable ASCII are escaped as \u00XX
// (the log is 8-bit text, read as Latin-1), so the output is valid UTF-8 whatever the log holds.
std::string JsonString(const std::string& text);

// Ends without a newline. lines are the verdict lines as logged; facts complete what the verdicts
// say for the peer-to-peer meaning (the fields after durationMs).
std::string FormatOutcomeJson(const char* status, const CheckOutcome& outcome,
                              const std::vector<std::string>& lines, std::int64_t durationMs,
                              const CheckFacts& facts = {});

// An RFC 4787 behaviour as a JSON string, or null.
std::string BehaviourJson(const std::optional<StunBehaviour>& behaviour);
// The "p2p" object of either check's JSON.
std::string P2pJson(const P2pMeaning& meaning);
// The block standard output carries after a finished check's log: a blank line, then the lines
// of P2pMeaningLines, each ended by a newline.
std::string P2pBlockText(const P2pMeaning& meaning);
