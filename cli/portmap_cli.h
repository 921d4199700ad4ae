#pragma once
// gatewise-cli --portmap: the port-mapping check, alone or after --stun (whose server and
// mapped address it then uses). The JSON formatting is pure (any thread).

#include <cstdint>
#include <optional>
#include <string>

#include "standard/portmap_runner.h"

struct CliOptions;
class CSignalRelay;

// Runs the check alone, streaming the log like the other runs; returns the exit status.
int RunPortMapCli(const CliOptions& options, CSignalRelay& signals);

// Runs the check on the caller's log (after --stun): server and mapped as that run found them.
// The runner is the caller's, so its signal target can stop it.
PortMapOutcome RunPortMapAfter(const CliOptions& options, CPortMapRunner& runner,
                               std::optional<Endpoint> server, std::optional<std::uint32_t> mapped);

// The members "portMapping":{...},"natLayers":{...} (no braces around them).
std::string FormatPortMapJsonMembers(const PortMapOutcome& outcome);
// The paragraph after the log: "\nWhat this means for peer-to-peer:\n\n<sentence>\n".
std::string PortMapMeaningBlock(const PortMapOutcome& outcome);
