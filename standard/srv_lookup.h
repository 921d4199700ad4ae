#pragma once
// DNS SRV records (RFC 2782): the query (c-ares, in srv_query.cpp; srv_query_none.cpp in a build
// without it), the order a client tries the records in, and the pair of probe servers a domain
// names. The query blocks its caller for at most kSrvLookupTimeoutMs; everything else is pure.
// Any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct SrvRecord {
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    std::string target;  // without the trailing dot; "." when the service is not offered
    bool operator==(const SrvRecord&) const = default;
};

// What one SRV query gave. No records and no error: the name has no such records (the caller
// falls back to the name's own address).
struct SrvLookup {
    std::vector<SrvRecord> records;  // as the answer held them, at most kMaxSrvRecords
    std::string error;               // why the query failed ("timeout", ...), else ""
};

// The whole lookup, all servers and retries included, gives up after this long.
inline constexpr std::chrono::milliseconds kSrvLookupTimeoutMs{2000};
// More records than a fleet publishes for one service; the rest of an answer is dropped.
inline constexpr std::size_t kMaxSrvRecords = 64;

// Asks the system's DNS servers (/etc/resolv.conf), or dnsServer ("127.0.0.1:5353") when given,
// for the SRV records of name, e.g. "_stun._udp.example.org". Blocks for at most timeout.
SrvLookup LookupSrv(const std::string& name,
                    std::chrono::milliseconds timeout = kSrvLookupTimeoutMs,
                    const std::string& dnsServer = {});
// False in a build without c-ares: LookupSrv then fails at once, saying so.
bool SrvLookupAvailable();

using SrvResolver = std::function<SrvLookup(const std::string& name)>;
// A uniform random number from 0 to bound, both included (RFC 2782's selection).
using SrvRandom = std::function<std::uint32_t(std::uint32_t bound)>;
// std::random_device behind a Mersenne twister.
SrvRandom SystemSrvRandom();

struct SrvOrder {
    enum class Verdict : std::uint8_t {
        kUse,         // try records in this order
        kNone,        // no records: use the domain's own address
        kNotOffered,  // a single record with target ".": the domain says there is no such service
    };
    Verdict verdict = Verdict::kNone;
    std::vector<SrvRecord> records;
};

// RFC 2782's order: lowest priority first; within one priority, a weighted random order in which
// each pick takes a record with a chance of its weight over the weights still left (a record of
// weight 0 is only taken when random gives 0 while it leads the list). Records with target "."
// are dropped when there are others.
SrvOrder OrderSrvRecords(std::vector<SrvRecord> records, const SrvRandom& random);

// "10 60 3478 stun1.example.org": priority, weight, port and target as a zone file writes them.
std::string SrvRecordText(const SrvRecord& record);

// The pair of probe servers a domain's _gatewise._udp records name: Server1 from the lowest
// priority P, Server2 from priority P + 1, each the first of its priority in RFC 2782's order.
// nullopt, with why, when either is missing.
struct SrvPair {
    SrvRecord server1;
    SrvRecord server2;
};
std::optional<SrvPair> ChooseSrvPair(const std::vector<SrvRecord>& ordered, std::string& why);

// The service names: RFC 8489's for STUN over UDP, and the probe servers' own.
inline constexpr const char* kStunSrvPrefix = "_stun._udp.";
inline constexpr const char* kGatewiseSrvPrefix = "_gatewise._udp.";
