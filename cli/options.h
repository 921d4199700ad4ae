#pragma once
// The command line of gatewise-cli. Pure parsing, no side effects, except the host-name lookups
// of the resolver the caller passes (none by default): any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/stun_target.h"
#include "core/host_resolver.h"
#include "standard/srv_lookup.h"

// One probe server given on the command line; both fields in network byte order, as the
// settings record holds them.
struct ServerOverride {
    std::uint32_t addressNet = 0;
    std::uint16_t portNet = 0;
};

// --stun DOMAIN without a port: what _stun._udp.DOMAIN gave (RFC 8489 section 8).
struct StunSrvTarget {
    SrvRecord record;
    std::optional<StunTarget> server;  // empty when the target cannot be used
    std::string problem;               // why not, then
};
struct StunSrvChoice {
    std::string service;  // "_stun._udp.example.org"
    // The records in the order to try them (RFC 2782), at most kMaxStunSrvTargets; none when
    // the domain's own address is used instead, and note says why for the log.
    std::vector<StunSrvTarget> targets;
    std::string note;
};
inline constexpr std::size_t kMaxStunSrvTargets = 8;

struct CliOptions {
    std::string configPath;  // empty: STUN.ini beside the executable
    std::optional<ServerOverride> server1;
    std::optional<ServerOverride> server2;
    std::optional<std::uint32_t> friendIp;  // network order; 0 = no friend
    std::string logPath;                    // empty: no log file
    bool json = false;
    bool report = false;
    bool respond = false;
    bool help = false;
    int tickMs = 1000;  // period of the engine's tick; a step times out on its 13th tick
    // --stun/--stun2: run the standard STUN behaviour discovery instead of the check, over each
    // address family the server has (IPv4 first), or over the one -4/-6 picks.
    std::optional<StunTarget> stun;
    std::optional<StunTarget> stun2;
    enum class Family : std::uint8_t { Any, Ipv4, Ipv6 };
    Family family = Family::Any;
    // --stun DOMAIN found by SRV: stun is the first usable target's, the rest follow in order.
    std::optional<StunSrvChoice> stunSrv;
    // --stun-rto-ms: the first retransmission time-out of each STUN transaction (RFC 5389's RTO);
    // a transaction gives up after kStunCapRtos of them (9.5 s at the default 500 ms).
    std::optional<int> stunRtoMs;
    // --quick: the quick mode of the check or of the STUN run (same verdicts, far sooner).
    bool quick = false;
    // --lifetime [MAX]: the mapping lifetime test instead of the check, against --stun or the
    // configured Server1; the longest idle time tried in seconds.
    std::optional<int> lifetimeS;
    // --portmap: the port-mapping check (UPnP IGD, NAT-PMP, PCP, NAT layers): alone (against
    // Server1 of the settings or --server1), after the check (--check), or after --stun;
    // --portmap-verify also maps a port per protocol and tests it from outside.
    bool portmap = false;
    // --check: run the check (what runs when no other mode is named); with --portmap, the
    // port-mapping check follows it.
    bool check = false;
    bool portmapVerify = false;
    bool portmapHops = false;  // --hops: name the NATs on the path to the server
};

// Bounds and default of --lifetime's MAX, in seconds.
inline constexpr int kMinLifetimeS = 10;
inline constexpr int kMaxLifetimeS = 1200;
inline constexpr int kDefaultLifetimeS = 180;

// Bounds of --stun-rto-ms, and how many RTOs a transaction may take in all.
inline constexpr int kMinStunRtoMs = 20;
inline constexpr int kMaxStunRtoMs = 5000;
inline constexpr int kStunCapRtos = 19;

// The port of a --stun server written without one (RFC 5389's default for STUN over UDP).
inline constexpr std::uint16_t kDefaultStunPort = 3478;

// Bounds of --tick-ms. Below 10 ms the tick would outrun the loopback round trip it times; above
// a minute a single step would wait more than 13 minutes.
inline constexpr int kMinTickMs = 10;
inline constexpr int kMaxTickMs = 60000;

struct ParseResult {
    bool ok = false;
    CliOptions options;
    std::string error;  // one line, without the program name, when !ok
};

// Parses argv[1..]. Accepts "--opt VALUE" and "--opt=VALUE"; a later option overrides an
// earlier one. Unknown options, stray arguments, malformed or zero addresses and ports, and
// combinations that make no sense are errors. Addresses that are host names go to resolve (the
// client passes ResolveIpv4Host); without one, host names are refused like any other junk.
// --stun DOMAIN without a port asks srv (the client passes LookupSrv) for _stun._udp.DOMAIN
// first (FindStunBySrv); without one, DOMAIN's own address is used.
ParseResult ParseCommandLine(const std::vector<std::string>& args, const HostResolver& resolve = {},
                             const SrvResolver& srv = {});

// Strict dotted IPv4 ("a.b.c.d", four decimal parts of 0-255, no leading '+' or blanks);
// the address in network byte order.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);
// Decimal without sign (at most 9 digits); nullopt when not a number or outside [lo, hi].
std::optional<long> ParseNumber(const std::string& s, long lo, long hi);
// A strict dotted IPv4 address, or a host name (LooksLikeHostName) that resolve turns into one.
// On failure, why says what was wrong, for the option's error message.
std::optional<std::uint32_t> ParseAddress(const std::string& text, const HostResolver& resolve,
                                          std::string& why);
// "address:port" with a port of 1-65535 and an address (as ParseAddress) other than 0.0.0.0.
std::optional<ServerOverride> ParseServer(const std::string& text,
                                          const HostResolver& resolve = {});
// The same, saying in why what was wrong (for the option's error message).
std::optional<ServerOverride> ParseServer(const std::string& text, const HostResolver& resolve,
                                          std::string& why);

// The endpoints of target the run's family choice leaves, IPv4 first (none: that family is not
// the target's).
std::vector<Endpoint> StunFamilies(const StunTarget& target, CliOptions::Family family);

struct StunSettings;
// Puts the command line's servers and friend over what the settings file gave; true when both
// servers then have a non-zero address and port (a command-line server mends a zero in the file).
bool ApplyOverrides(const CliOptions& options, StunSettings& settings);

// The --help text, ending in a newline.
std::string UsageText(const std::string& programName);
