#pragma once
// gatewise-cli --stun, --lifetime and --portmap alone: the standard runs instead of the check, in
// one frame. The run on the main thread; signals reach it through the relay. The JSON formatting
// is pure (any thread).

#include <cstdint>
#include <optional>
#include <string>

#include "standard/mapping_lifetime.h"
#include "standard/stun_check.h"

struct CliOptions;
class CSignalRelay;

// Runs the STUN tests the options name, streaming the log like the check's run; returns the exit
// status (docs/cli.md).
int RunStunCli(const CliOptions& options, CSignalRelay& signals);

// The --json object of a STUN run, on one line, without a newline. status as for the check.
std::string FormatStunJson(const char* status, const StunOutcome& outcome, std::int64_t durationMs);

// The --json object of a run over both families: status (as above), then each family's object
// (FormatStunJson), null for one that did not run (stopped before it).
std::string FormatDualStunJson(const char* status, const std::optional<std::string>& ipv4,
                               const std::optional<std::string>& ipv6);

// "waiting for <step>: <s> s left", or "" when nothing waits.
std::string StunProgressText(const CStunCheck& check, std::uint64_t nowMs);

// gatewise-cli --lifetime [MAX]: the mapping lifetime test against --stun or the configured
// Server1, framed like the --stun run; returns the exit status.
int RunLifetimeCli(const CliOptions& options, CSignalRelay& signals);

// gatewise-cli --portmap alone: the port-mapping check against the configured Server1 (or
// --server1), framed like the --stun run; returns the exit status.
int RunPortMapCli(const CliOptions& options, CSignalRelay& signals);

// The "lifetime" object of the --json output: aliveS, expiredS, keepaliveS (whole seconds or
// null), maxS, method and problem (null when none). The whole --json object of a --lifetime run.
std::string LifetimeJson(const LifetimeOutcome& outcome);
std::string FormatLifetimeJson(const char* status, const LifetimeOutcome& outcome,
                               std::int64_t durationMs);

// "mapping lifetime: at least 10 s, at most 40 s; idle trials of 20 s; at most 1:35 left".
std::string LifetimeProgressText(const CMappingLifetime& test, std::uint64_t nowMs);
