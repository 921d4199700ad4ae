#pragma once
// gatewise-cli --portmap: the port-mapping check alone (RunPortMapCli in cli/stun_cli.h, in the
// standard runs' frame), after the check (--check), or after --stun (whose server and mapped
// address it then uses). The JSON formatting is pure (any thread).

#include <cstdint>
#include <optional>
#include <string>

#include "standard/portmap_runner.h"

struct CliOptions;

// Runs the check on the caller's log: server and mapped as the run before found them (none:
// alone). The runner is the caller's, so its signal target can stop it.
PortMapOutcome RunPortMapAfter(const CliOptions& options, CPortMapRunner& runner,
                               std::optional<Endpoint> server, std::optional<std::uint32_t> mapped);

// The members "portMapping":{...},"natLayers":{...} (no braces around them).
std::string FormatPortMapJsonMembers(const PortMapOutcome& outcome);
// Puts those members into another run's JSON object, before its closing brace.
void AddPortMapJsonMembers(std::string& json, const PortMapOutcome& outcome);
// The whole --json object of --portmap alone, on one line, without a newline.
std::string FormatPortMapJson(const char* status, const PortMapOutcome& outcome,
                              std::int64_t durationMs);
// The paragraph after the log: "\nWhat this means for peer-to-peer\n\n<sentence>\n".
std::string PortMapMeaningBlock(const PortMapOutcome& outcome);
// After another run's block: "\n<sentence>\n" when the check finished, else "".
std::string PortMapMeaningAfter(const PortMapOutcome& outcome);
