#pragma once
// gatewise-cli's servers found by DNS SRV: --stun DOMAIN without a port (RFC 8489 section 8,
// _stun._udp.DOMAIN, tried in RFC 2782's order, the next record when a server does not answer),
// and a settings file whose STUN1_IP is a domain that names the probe server pair by its
// _gatewise._udp records (docs/srv-records.md). The thread that runs the check (it logs).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/options.h"
#include "core/host_resolver.h"
#include "standard/srv_lookup.h"
#include "standard/stun_check.h"

// --stun TEXT: nullopt when SRV does not apply (a port or a literal address given); otherwise
// the records' servers in the order to try them (at least one usable), or no targets and a note for
// the log when the domain has no records (or the query failed): DOMAIN's own address then. When the
// records say the service is not offered, or name no server that can be used: nullopt, and why says
// so.
std::optional<StunSrvChoice> FindStunBySrv(const std::string& text, const SrvResolver& srv,
                                           const HostResolver& resolve, const SrvRandom& random,
                                           std::string& why);

// A next record is tried only this soon after the first try started.
inline constexpr std::uint64_t kSrvFallOverMs = 30000;

// Runs the STUN tests against one server (over each family it is tested on); the outcome says
// whether the server answered, and whether the run was stopped or its sockets failed.
using StunTargetRunFn = std::function<StunOutcome(const StunTarget&)>;
// Runs the STUN tests against options.stun; with targets found by SRV, logs the record used and,
// while a server does not answer and kSrvFallOverMs have not passed, goes on to the next one.
// The last run's outcome.
StunOutcome RunStunTargets(const CliOptions& options, const StunTargetRunFn& run,
                           const std::function<std::uint64_t()>& nowMs);

// The probe servers of the settings file at path, when its STUN1_IP is a host name that has no
// address of its own but _gatewise._udp records naming a pair (ChooseSrvPair); logs the records
// it took, or why they cannot be used. nullopt: the file's servers stand as they are.
struct SrvServerPair {
    ServerOverride server1;
    ServerOverride server2;
};
std::optional<SrvServerPair> SettingsPairBySrv(const std::string& path, const HostResolver& resolve,
                                               const SrvResolver& srv, const SrvRandom& random);

// The SRV resolver of the client: LookupSrv, or none in a build without it.
SrvResolver ClientSrvResolver();
