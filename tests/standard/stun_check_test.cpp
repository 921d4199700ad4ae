// CStunCheck against a simulated NAT and a simulated RFC 5780 server: the recording transport
// answers synchronously into a queue, time is an explicit number of milliseconds, nothing is sent
// anywhere. Scenarios are one table row each.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "core/log.h"
#include "core/sys_inet.h"
#include "core/verdicts.h"
#include "net/stun_message.h"
#include "standard/stun_check.h"
#include "tests/standard/logged_machine_test.h"

namespace {

using B = StunBehaviour;

Ipv4Endpoint Ep(const char* ip, std::uint16_t port) {
    return {*ParseIpv4(ip), port};
}

const Ipv4Endpoint kPrimary = Ep("127.0.0.2", 3478);
const Ipv4Endpoint kOther = Ep("127.0.0.3", 3479);
const Ipv4Endpoint kSecond = Ep("127.0.0.4", 3478);
const Ipv4Endpoint kStranger = Ep("127.0.0.9", 4444);
// The NAT's public address (the fake never sends anything anywhere).
const std::uint32_t kPublic = *ParseIpv4("127.0.0.100");

// The fake runs over IPv6 as a mirror of IPv4: a.b.c.d is fd00::a.b.c.d (a multicast one
// ff0e::a.b.c.d), and every address attribute of an answer changes family on the way.
Ipv6Bytes Twin6(std::uint32_t addrNet) {
    Ipv6Bytes a{};
    const bool multicast = (ntohl(addrNet) >> 28) == 0xE;
    a[0] = multicast ? 0xFF : 0xFD;
    a[1] = multicast ? 0x0E : 0x00;
    std::memcpy(a.data() + 12, &addrNet, 4);
    return a;
}

std::uint32_t Twin4(const Ipv6Bytes& a) {
    std::uint32_t addrNet = 0;
    std::memcpy(&addrNet, a.data() + 12, 4);
    return addrNet;
}

StunAddress OtherFamily(const StunAddress& a) {
    if (!a.present)
        return a;
    return a.IsIpv4() ? StunIpv6(Twin6(a.address), a.port) : StunIpv4(Twin4(a.address6), a.port);
}

// OtherDeaf: nothing sent to the other IP address is answered, yet change requests are.
// Classic: an RFC 3489 server (MAPPED-, SOURCE- and CHANGED-ADDRESS) that honours CHANGE-REQUEST.
// Misannounced: OTHER-ADDRESS names a port one above the one it answers change requests from.
// Refuses, OtherIds, MulticastMapped, OtherPortZero: answers no client can use.
enum class Server {
    Rfc5780,
    NoOther,
    OtherIsPrimary,
    IgnoresChange,
    Legacy,
    Silent,
    OtherDeaf,
    Classic,
    Misannounced,
    Refuses,
    OtherIds,
    MulticastMapped,
    OtherPortZero,
    OtherAddressOfTheOtherFamily,
    MappedOfTheOtherFamily,
};
// An error reason that would print a fake summary and clear the screen if it reached a terminal.
constexpr const char* kHostileReason =
    "Server Error\r\n\x1b[2J***** STUN NAT Behaviour Discovery Result Summarize";
enum class Bogus { None, WrongId, Stranger };

struct Sent {
    std::uint64_t atMs;
    int socket;
    Ipv4Endpoint to;
    StunMessage msg;
};

// A NAT with the given behaviours in front of the sockets, and a STUN server on kPrimary/kOther
// (and kSecond, a plain server). Test thread only.
class CFakeStunWorld : public IStunTransport {
public:
    B mapping = B::EndpointIndependent;
    B filtering = B::EndpointIndependent;
    bool hairpin = false;
    Server server = Server::Rfc5780;
    Bogus bogus = Bogus::None;
    int dropRequests = 0;     // the first N requests to a server are lost
    std::uint64_t rttMs = 0;  // a server's answer arrives this long after the request
    bool ipv6 = false;        // the mirror over IPv6 (Twin6)

    std::uint64_t now = 0;
    // The earliest end the check promised (CStunCheck::EndAt) while it ran.
    std::uint64_t endBound = UINT64_MAX;
    std::vector<Sent> sent;
    std::set<int> open;
    int opened = 0;

    // Sockets of the server's family only.
    int Open() override {
        EXPECT_FALSE(ipv6);
        open.insert(++opened);
        return opened;
    }
    int OpenIpv6() override {
        EXPECT_TRUE(ipv6);
        open.insert(++opened);
        return opened;
    }
    void Close(int id) override { open.erase(id); }
    // An IPv4 endpoint as the check sees it in this world's family.
    Endpoint Ours(const Ipv4Endpoint& e) const {
        return ipv6 ? Endpoint::Ipv6(Twin6(e.address), e.port) : Endpoint(e);
    }
    // "127.0.0.3:3479" as written in this world's family.
    std::string Ours(const std::string& text) const {
        if (!ipv6)
            return text;
        std::string out = text;
        const std::regex dotted(R"((\d+\.\d+\.\d+\.\d+):(\d+))");
        for (std::smatch m; std::regex_search(out, m, dotted);) {
            const Ipv4Endpoint e{*ParseIpv4(m[1].str()),
                                 static_cast<std::uint16_t>(std::stoi(m[2].str()))};
            out.replace(static_cast<std::size_t>(m.position(0)),
                        static_cast<std::size_t>(m.length(0)), FormatEndpoint(Ours(e)));
        }
        return out;
    }
    bool Send(int s, const Endpoint& toEp, std::span<const std::uint8_t> bytes) override {
        EXPECT_EQ(toEp.IsIpv4(), !ipv6);
        const Ipv4Endpoint to =
            ipv6 ? Ipv4Endpoint{Twin4(toEp.address), toEp.port} : *toEp.AsIpv4();
        StunMessage msg;
        EXPECT_EQ(ParseStun(bytes.data(), bytes.size(), msg), StunParseError::None);
        EXPECT_TRUE(open.count(s));
        sent.push_back({now, s, to, msg});
        m_sentTo[s].insert({to.address, to.port});
        const std::uint16_t pub = PublicPort(s, to);
        if (to.address == kPublic) {
            // The NAT sends it back in only when it hairpins, from the sender's own mapping.
            for (const auto& [key, port] : m_ports) {
                if (hairpin && port == to.port && Allows(std::get<0>(key), {kPublic, pub}))
                    m_queue.push_back({now, std::get<0>(key), {kPublic, pub}, Bytes(msg)});
            }
            return true;
        }
        if (server == Server::Silent || !IsServer(to))
            return true;
        if (server == Server::OtherDeaf && to.address == kOther.address)
            return true;
        if (dropRequests > 0) {
            --dropRequests;
            return true;
        }
        Answer(s, to, msg, pub);
        return true;
    }

    // Hands the check every queued datagram that is due by now.
    void Deliver(CStunCheck& check) {
        while (!m_queue.empty() && m_queue.front().atMs <= now) {
            const Delivery d = m_queue.front();
            m_queue.pop_front();
            Hand(check, d);
        }
    }

    // Hands queued datagrams to the check and moves time to its deadlines until it ends.
    void Pump(CStunCheck& check) {
        for (int i = 0; i < 10000 && check.Running(); ++i) {
            endBound = std::min(endBound, check.EndAt().value_or(UINT64_MAX));
            if (!m_queue.empty() && m_queue.front().atMs <= now) {
                const Delivery d = m_queue.front();
                m_queue.pop_front();
                Hand(check, d);
                continue;
            }
            const auto deadline = check.NextDeadline();
            ASSERT_TRUE(deadline.has_value());
            ASSERT_GE(*deadline, now);
            if (!m_queue.empty() && m_queue.front().atMs < *deadline) {
                now = m_queue.front().atMs;
                continue;
            }
            now = *deadline;
            check.OnTimer(now);
        }
        ASSERT_FALSE(check.Running());
    }

private:
    struct Delivery {
        std::uint64_t atMs;
        int socket;
        Ipv4Endpoint from;
        std::vector<std::uint8_t> bytes;
    };
    // A datagram to the check, through the mirror over IPv6.
    void Hand(CStunCheck& check, const Delivery& d) {
        if (!open.count(d.socket))
            return;
        if (!ipv6) {
            check.OnDatagram(d.socket, d.from, d.bytes);
            return;
        }
        StunMessage m;
        EXPECT_EQ(ParseStun(d.bytes.data(), d.bytes.size(), m), StunParseError::None);
        for (StunAddress* a : {&m.mapped, &m.xorMapped, &m.responseOrigin, &m.otherAddress,
                               &m.changedAddress, &m.sourceAddress})
            *a = OtherFamily(*a);
        check.OnDatagram(d.socket, Ours(d.from), Bytes(m));
    }
    static std::vector<std::uint8_t> Bytes(const StunMessage& m) {
        std::vector<std::uint8_t> out(512);
        out.resize(EncodeStun(m, out.data(), out.size()));
        return out;
    }
    static bool IsServer(const Ipv4Endpoint& e) {
        return ((e.address == kPrimary.address || e.address == kOther.address) &&
                (e.port == kPrimary.port || e.port == kOther.port)) ||
               e == kSecond;
    }
    std::uint16_t PublicPort(int s, const Ipv4Endpoint& to) {
        std::tuple<int, std::uint32_t, std::uint16_t> key{s, 0, 0};
        if (mapping != B::EndpointIndependent)
            std::get<1>(key) = to.address;
        if (mapping == B::AddressAndPortDependent)
            std::get<2>(key) = to.port;
        auto [it, added] = m_ports.try_emplace(key, 0);
        if (added)
            it->second = static_cast<std::uint16_t>(40000 + m_ports.size());
        return it->second;
    }
    bool Allows(int s, const Ipv4Endpoint& from) const {
        const auto it = m_sentTo.find(s);
        if (filtering == B::EndpointIndependent)
            return true;
        if (it == m_sentTo.end())
            return false;
        for (const auto& [addr, port] : it->second) {
            if (addr == from.address && (filtering == B::AddressDependent || port == from.port))
                return true;
        }
        return false;
    }
    void Answer(int s, const Ipv4Endpoint& to, const StunMessage& req, std::uint16_t pub) {
        Ipv4Endpoint from = to;
        if (server != Server::IgnoresChange && !(to == kSecond)) {
            if (req.ChangeIp())
                from.address = to.address == kPrimary.address ? kOther.address : kPrimary.address;
            if (req.ChangePort())
                from.port = to.port == kPrimary.port ? kOther.port : kPrimary.port;
        }
        StunMessage r;
        r.cls = StunClass::Success;
        r.transactionId = req.transactionId;
        if (server == Server::OtherIds)
            r.transactionId[5] ^= 0x5A;
        const StunAddress mapped = server == Server::MulticastMapped
                                       ? StunIpv4(*ParseIpv4("224.0.0.251"), htons(5353))
                                       : StunIpv4(kPublic, htons(pub));
        const StunAddress origin = StunIpv4(from.address, htons(from.port));
        if (server == Server::Legacy || server == Server::Classic) {
            r.mapped = mapped;
        } else {
            r.xorMapped = mapped;
            r.responseOrigin = origin;
        }
        if (server == Server::Classic) {
            r.sourceAddress = origin;
            r.changedAddress = StunIpv4(kOther.address, htons(kOther.port));
        }
        if (server == Server::Rfc5780 || server == Server::IgnoresChange)
            r.otherAddress = StunIpv4(kOther.address, htons(kOther.port));
        if (server == Server::Misannounced)
            r.otherAddress = StunIpv4(kOther.address, htons(kOther.port + 1));
        if (server == Server::OtherPortZero)
            r.otherAddress = StunIpv4(kOther.address, 0);
        if (server == Server::OtherIsPrimary)
            r.otherAddress = StunIpv4(kPrimary.address, htons(kPrimary.port));
        if (server == Server::OtherAddressOfTheOtherFamily)
            r.otherAddress = OtherFamily(StunIpv4(kOther.address, htons(kOther.port)));
        if (server == Server::MappedOfTheOtherFamily)
            r.xorMapped = OtherFamily(mapped);
        if (server == Server::Refuses) {
            r = StunMessage{};
            r.cls = StunClass::Error;
            r.transactionId = req.transactionId;
            r.hasErrorCode = true;
            r.errorCode = 500;
            r.errorReason = kHostileReason;
        }
        if (to == kSecond)
            r.otherAddress = {};
        r.fingerprint = true;
        if (!Allows(s, from))
            return;
        if (bogus == Bogus::WrongId) {
            StunMessage wrong = r;
            wrong.transactionId[0] ^= 0xFF;
            m_queue.push_back({now + rttMs, s, from, Bytes(wrong)});
        } else if (bogus == Bogus::Stranger) {
            m_queue.push_back({now + rttMs, s, kStranger, Bytes(r)});
        }
        m_queue.push_back({now + rttMs, s, from, Bytes(r)});
    }

    std::map<std::tuple<int, std::uint32_t, std::uint16_t>, std::uint16_t> m_ports;
    std::map<int, std::set<std::pair<std::uint32_t, std::uint16_t>>> m_sentTo;
    std::deque<Delivery> m_queue;
};

class StunCheckTest : public LoggedMachineTest {
protected:
    StunOutcome Run(std::optional<Ipv4Endpoint> second = std::nullopt, bool publicIsLocal = false,
                    StunTiming timing = {}, bool quick = false) {
        CStunCheck check(world, [this] { return world.now; });
        const Endpoint pub = world.Ours(Ipv4Endpoint{kPublic, 0});
        check.SetLocalAddressTest([publicIsLocal, pub](const Endpoint& a) {
            return publicIsLocal && a.SameAddress(pub) ? CStunCheck::LocalMatch::Own
                                                       : CStunCheck::LocalMatch::Other;
        });
        std::optional<Endpoint> server2;
        if (second)
            server2 = world.Ours(*second);
        check.Start({.server = world.Ours(kPrimary),
                     .server2 = server2,
                     .serverName = "",
                     .timing = timing,
                     .quick = quick,
                     .quickTiming = {}});
        world.Pump(check);
        EXPECT_TRUE(world.open.empty()) << "sockets left open";
        return check.Outcome();
    }
    CFakeStunWorld world;
};

struct Row {
    const char* name;
    B mapping = B::EndpointIndependent;
    B filtering = B::EndpointIndependent;
    bool hairpin = false;
    Server server = Server::Rfc5780;
    Bogus bogus = Bogus::None;
    int drop = 0;
    bool publicIsLocal = false;
    std::optional<Ipv4Endpoint> second = std::nullopt;
    // Expected:
    std::optional<bool> rfc5780 = true;
    std::optional<B> wantMapping = std::nullopt;
    std::optional<bool> wantMappingEi = std::nullopt;
    std::optional<B> wantFiltering = std::nullopt;
    std::optional<bool> wantHairpin = std::nullopt;
    std::optional<std::int32_t> classicFilter = std::nullopt;
    std::optional<std::int32_t> classicAlloc = std::nullopt;
    int sockets = 3;
    const char* problem = nullptr;  // in serverProblem, or else in rfc5780Problem
};

constexpr B EI = B::EndpointIndependent;
constexpr B AD = B::AddressDependent;
constexpr B APD = B::AddressAndPortDependent;

// The NAT and the server a row describes, nothing sent yet.
CFakeStunWorld WorldOf(const Row& r) {
    CFakeStunWorld w;
    w.mapping = r.mapping;
    w.filtering = r.filtering;
    w.hairpin = r.hairpin;
    w.server = r.server;
    w.bogus = r.bogus;
    w.dropRequests = r.drop;
    return w;
}

// clang-format off
const Row kRows[] = {
    {.name = "FullCone", .hairpin = true, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = EI, .wantHairpin = true, .classicFilter = FilterFullCone, .classicAlloc = AllocNotSymmetric},
    {.name = "IpRestricted", .filtering = AD, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = AD, .wantHairpin = false, .classicFilter = FilterIpRestricted, .classicAlloc = AllocNotSymmetric},
    {.name = "PortRestricted", .filtering = APD, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterPortRestricted, .classicAlloc = AllocNotSymmetric},
    {.name = "AddressSensitive", .mapping = AD, .filtering = APD, .wantMapping = AD, .wantMappingEi = false, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterSymmetric, .classicAlloc = AllocAddressSensitive},
    {.name = "PortSensitive", .mapping = APD, .filtering = APD, .wantMapping = APD, .wantMappingEi = false, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterSymmetric, .classicAlloc = AllocPortSensitive},
    {.name = "SymmetricOpenFilter", .mapping = APD, .hairpin = true, .wantMapping = APD, .wantMappingEi = false, .wantFiltering = EI, .wantHairpin = true, .classicFilter = FilterSymmetric, .classicAlloc = AllocPortSensitive},
    {.name = "Open", .hairpin = true, .publicIsLocal = true, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = EI, .wantHairpin = true, .classicFilter = FilterOpen, .classicAlloc = AllocNotSymmetric},
    // Lost requests are retransmitted; the verdicts stay.
    {.name = "LostRequests", .filtering = APD, .drop = 3, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterPortRestricted, .classicAlloc = AllocNotSymmetric},
    // Forged answers first, then the true one: only the true one counts.
    {.name = "WrongTransactionId", .filtering = APD, .bogus = Bogus::WrongId, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterPortRestricted, .classicAlloc = AllocNotSymmetric},
    {.name = "ResponseFromStranger", .filtering = APD, .bogus = Bogus::Stranger, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterPortRestricted, .classicAlloc = AllocNotSymmetric},
    // Servers that cannot do the RFC 5780 tests: the mapped address and hairpinning only.
    {.name = "NoOtherAddress", .filtering = APD, .server = Server::NoOther, .rfc5780 = false, .wantHairpin = false, .sockets = 2},
    {.name = "OtherAddressIsPrimary", .server = Server::OtherIsPrimary, .rfc5780 = false, .wantHairpin = false, .sockets = 2},
    {.name = "Rfc3489Server", .hairpin = true, .server = Server::Legacy, .rfc5780 = false, .wantHairpin = true, .sockets = 2},
    // Would read as a full cone if the change response from the primary address were believed.
    {.name = "IgnoresChangeRequest", .filtering = APD, .server = Server::IgnoresChange, .rfc5780 = false, .wantMapping = EI, .wantMappingEi = true, .wantHairpin = false, .classicAlloc = AllocNotSymmetric},
    {.name = "Silent", .server = Server::Silent, .rfc5780 = std::nullopt, .sockets = 1},
    // A second server tells endpoint-independent mapping from the rest, but not which rest.
    {.name = "SecondServerSameMapping", .server = Server::NoOther, .second = kSecond, .rfc5780 = false, .wantMapping = EI, .wantMappingEi = true, .wantHairpin = false, .classicAlloc = AllocNotSymmetric, .sockets = 2},
    {.name = "SecondServerOtherMapping", .mapping = AD, .server = Server::NoOther, .second = kSecond, .rfc5780 = false, .wantMappingEi = false, .wantHairpin = false, .classicFilter = FilterSymmetric, .sockets = 2},
    // The change responses would pass, but without answers from the other address there is no
    // RFC 5780 server: no filtering verdict (quick mode must drop the one it found meanwhile).
    {.name = "OtherAddressDeaf", .server = Server::OtherDeaf, .rfc5780 = false, .wantHairpin = false, .sockets = 2},
    // An RFC 3489 server names its other address in CHANGED-ADDRESS: the tests run as with OTHER-ADDRESS.
    {.name = "ClassicServer", .filtering = APD, .server = Server::Classic, .wantMapping = EI, .wantMappingEi = true, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterPortRestricted, .classicAlloc = AllocNotSymmetric},
    {.name = "ClassicServerSymmetric", .mapping = APD, .filtering = APD, .server = Server::Classic, .wantMapping = APD, .wantMappingEi = false, .wantFiltering = APD, .wantHairpin = false, .classicFilter = FilterSymmetric, .classicAlloc = AllocPortSensitive},
    // Change responses from a port it never announced: unable to test, not a filter that drops them.
    {.name = "ChangeResponsesFromAnUnannouncedPort", .server = Server::Misannounced, .rfc5780 = false, .wantMapping = EI, .wantMappingEi = true, .wantHairpin = false, .classicAlloc = AllocNotSymmetric, .problem = "answers CHANGE-REQUEST from 127.0.0.3:3479, not from 127.0.0.3:3480"},
    {.name = "OtherAddressPortZero", .server = Server::OtherPortZero, .rfc5780 = false, .wantHairpin = false, .sockets = 2, .problem = "names port 0"},
    // Answers that cannot be used at all: said as such, never as no response.
    {.name = "RefusesWithError", .server = Server::Refuses, .rfc5780 = std::nullopt, .sockets = 1, .problem = "the server refused: 500 Server Error??"},
    {.name = "AnswersCarryAnotherId", .server = Server::OtherIds, .rfc5780 = std::nullopt, .sockets = 1, .problem = "answers carry another transaction ID"},
    {.name = "MulticastMappedAddress", .server = Server::MulticastMapped, .rfc5780 = std::nullopt, .sockets = 1, .problem = "224.0.0.251:5353 is a multicast address"},
    // A server fault of dual-stack servers: named, never followed.
    {.name = "OtherAddressOfTheOtherFamily", .server = Server::OtherAddressOfTheOtherFamily, .rfc5780 = false, .wantHairpin = false, .sockets = 2, .problem = "is of the other family"},
    {.name = "MappedAddressOfTheOtherFamily", .server = Server::MappedOfTheOtherFamily, .rfc5780 = std::nullopt, .sockets = 1, .problem = "of the other family"},
};
// clang-format on

// Every row over both families: the rules are the same.
using RowInFamily = std::tuple<Row, bool>;  // the row, over IPv6

std::string RowName(const ::testing::TestParamInfo<RowInFamily>& p) {
    return std::string(std::get<0>(p.param).name) + (std::get<1>(p.param) ? "Ipv6" : "");
}

class StunScenario : public StunCheckTest, public ::testing::WithParamInterface<RowInFamily> {};

TEST_P(StunScenario, Verdicts) {
    const auto& [r, ipv6] = GetParam();
    world = WorldOf(r);
    world.ipv6 = ipv6;
    const StunOutcome o = Run(r.second, r.publicIsLocal);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.rfc5780, r.rfc5780) << o.rfc5780Problem;
    EXPECT_EQ(o.mapping, r.wantMapping);
    EXPECT_EQ(o.mappingEndpointIndependent, r.wantMappingEi);
    EXPECT_EQ(o.filtering, r.wantFiltering);
    EXPECT_EQ(o.hairpinning, r.wantHairpin);
    EXPECT_EQ(o.classicFilter, r.classicFilter);
    EXPECT_EQ(o.classicAlloc, r.classicAlloc);
    EXPECT_EQ(world.opened, r.sockets);
    EXPECT_EQ(o.Determined(), r.rfc5780.has_value());
    if (o.Determined()) {
        EXPECT_TRUE(o.mapped->SameAddress(world.Ours(Ipv4Endpoint{kPublic, 0})));
        EXPECT_EQ(o.legacyServer, r.server == Server::Legacy || r.server == Server::Classic);
    }
    EXPECT_EQ(o.rfc3489, r.server == Server::Classic);
    if (r.rfc5780 == false) {
        EXPECT_FALSE(o.rfc5780Problem.empty());
    }
    if (r.problem) {
        const std::string& problem = o.serverProblem.empty() ? o.rfc5780Problem : o.serverProblem;
        EXPECT_NE(problem.find(world.Ours(r.problem)), std::string::npos) << problem;
    }
    // Nothing goes to an address the server handed over that nobody may send to.
    for (const Sent& sent : world.sent) {
        EXPECT_EQ(PeerAddressProblem(sent.to.address), nullptr) << FormatIpv4(sent.to.address);
        EXPECT_NE(sent.to.port, 0);
    }
    // Server text reaches the log cleaned: no escape sequence, no line of its own.
    EXPECT_EQ(log.Text().find('\x1b'), std::string::npos);
    EXPECT_EQ(log.Text().find("\n***** STUN"), std::string::npos);
    EXPECT_EQ(o.lines.size(), o.classicFilter ? 6u : 5u) << log.Text();
    // No timer is late here, so the run never outlasts its worst case.
    EXPECT_LE(world.now, world.endBound);
}

INSTANTIATE_TEST_SUITE_P(StunCheck, StunScenario,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         RowName);

// Each test on sockets of its own, and the requests RFC 5780 prescribes, in order.
TEST_F(StunCheckTest, SendsTheRfc5780TestsInOrderEachOnItsOwnSocket) {
    world.mapping = B::AddressAndPortDependent;
    world.filtering = B::AddressAndPortDependent;
    Run();
    struct Want {
        int socket;
        Ipv4Endpoint to;
        std::uint32_t change;
    };
    const Ipv4Endpoint hairTo{kPublic, 40004};  // the fourth mapping the fake hands out
    const std::vector<Want> want = {
        {1, kPrimary, 0},
        {1, {kOther.address, kPrimary.port}, 0},
        {1, kOther, 0},
        {2, kPrimary, 0},
        {2, hairTo, 0},
        {3, kPrimary, 0},
        {3, kPrimary, kStunChangeIp | kStunChangePort},
        {3, kPrimary, kStunChangePort},
    };
    // The hairpin request and both change requests go unanswered: five transmissions each.
    std::vector<Want> got;
    for (const Sent& s : world.sent) {
        const Want w{s.socket, s.to, s.msg.changeFlags};
        if (got.empty() || got.back().socket != w.socket || !(got.back().to == w.to) ||
            got.back().change != w.change)
            got.push_back(w);
    }
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].socket, want[i].socket) << i;
        EXPECT_EQ(got[i].to, want[i].to) << i;
        EXPECT_EQ(got[i].change, want[i].change) << i;
    }
    // Every transaction has an ID of its own; its retransmissions keep it.
    std::set<std::array<std::uint8_t, 12>> ids;
    for (const Sent& s : world.sent)
        ids.insert(s.msg.transactionId);
    EXPECT_EQ(ids.size(), want.size());
}

struct TimingRow {
    const char* name;
    StunTiming timing;
    std::vector<std::uint64_t> sends;
    std::uint64_t giveUp;
};

// clang-format off
const TimingRow kTimingRows[] = {
    {.name = "CappedDefault", .timing = {}, .sends = {0, 500, 1500, 3500, 7500}, .giveUp = 9500},
    {.name = "FullRfc5389", .timing = {.capMs = 60000}, .sends = {0, 500, 1500, 3500, 7500, 15500, 31500}, .giveUp = 39500},
    {.name = "ShortRto", .timing = {.rtoMs = 100, .transmissions = 3, .lastWaitFactor = 4, .capMs = 60000}, .sends = {0, 100, 300}, .giveUp = 700},
};
// clang-format on

class StunTimingTest : public StunCheckTest, public ::testing::WithParamInterface<TimingRow> {};

TEST_P(StunTimingTest, RetransmitsOnScheduleThenGivesUp) {
    const TimingRow& r = GetParam();
    world.server = Server::Silent;
    const StunOutcome o = Run(std::nullopt, false, r.timing);
    std::vector<std::uint64_t> sends;
    for (const Sent& s : world.sent)
        sends.push_back(s.atMs);
    EXPECT_EQ(sends, r.sends);
    EXPECT_EQ(world.now, r.giveUp);
    EXPECT_FALSE(o.Determined());
    EXPECT_FALSE(o.rfc5780.has_value());
    EXPECT_FALSE(o.mapping.has_value());
    EXPECT_FALSE(o.hairpinning.has_value());
}

INSTANTIATE_TEST_SUITE_P(StunCheck, StunTimingTest, ::testing::ValuesIn(kTimingRows),
                         [](const ::testing::TestParamInfo<TimingRow>& p) { return p.param.name; });

TEST_F(StunCheckTest, LogsTheSummaryInTheCheckFrame) {
    world.filtering = B::AddressDependent;
    Run();
    const std::string row(81, '*');
    const std::string want =
        "\r\n" + row +
        "\r\n        STUN NAT Behaviour Discovery Result Summarize\r\n\r\n"
        "MAPPED ADDRESS :    127.0.0.100:40001\r\n"
        "NAT MAPPING BEHAVIOUR :    ENDPOINT-INDEPENDENT (NOT SYMMETRIC NAT)\r\n"
        "NAT FILTERING BEHAVIOUR :    ADDRESS-DEPENDENT\r\n"
        "NAT INCOMING PACKAGES FILTER :    IP RESTRICTED\r\n"
        "HAIRPINNING :    NO\r\n"
        "STUN SERVER :    SUPPORTS RFC 5780\r\n\r\n" +
        row + "\r\n";
    EXPECT_NE(log.Text().find(want), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("10:20:30 --- STUN server reports my UDP address as "
                              "127.0.0.100:40001\r\n"),
              std::string::npos);
}

TEST_F(StunCheckTest, StopClosesSocketsAndLeavesVerdictsOpen) {
    world.server = Server::Silent;
    CStunCheck check(world, [this] { return world.now; });
    check.Start({.server = kPrimary, .server2 = {}, .serverName = {}, .timing = {}});
    ASSERT_TRUE(check.Running());
    check.Stop();
    EXPECT_FALSE(check.Running());
    EXPECT_FALSE(check.NextDeadline().has_value());
    EXPECT_TRUE(world.open.empty());
    EXPECT_TRUE(check.Outcome().interrupted);
    EXPECT_FALSE(check.Outcome().finished);
}

// Quick mode reads the same answers, so behind every NAT and with every server it must find
// exactly what the full run finds, summary lines included; the fake answers at once, so test I
// takes 3 s at most (a silent server) and every later missing answer 6 x 100 ms.
class StunQuickScenario : public StunCheckTest, public ::testing::WithParamInterface<RowInFamily> {
protected:
    StunOutcome RunRow(bool quick) {
        const auto& [r, ipv6] = GetParam();
        world = WorldOf(r);
        world.ipv6 = ipv6;
        return Run(r.second, r.publicIsLocal, {}, quick);
    }
};

TEST_P(StunQuickScenario, SameOutcomeAsTheFullRun) {
    const StunOutcome full = RunRow(false);
    const StunOutcome quick = RunRow(true);
    EXPECT_LE(world.now, world.endBound);
    EXPECT_TRUE(quick.finished);
    EXPECT_EQ(quick, full) << log.Text();
    EXPECT_LE(world.now, 3000u);
}

INSTANTIATE_TEST_SUITE_P(StunCheck, StunQuickScenario,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         RowName);

// Behind a port-restricted NAT that does not hairpin (the change requests and the hairpinned
// request go unanswered): when test I and the change-IP-and-port request are sent, and when the
// run ends, by the server's round trip.
struct QuickTimingRow {
    const char* name;
    std::uint64_t rttMs = 0;
    int drop = 0;
    Server server = Server::Rfc5780;
    std::vector<std::uint64_t> testISends;
    std::vector<std::uint64_t> changeSends;
    std::uint64_t endMs;
};

// clang-format off
const QuickTimingRow kQuickTimingRows[] = {
    // 3 x RTT below the 100 ms floor.
    {.name = "FloorAtZeroRtt", .testISends = {0}, .changeSends = {0, 100, 200, 300, 400, 500}, .endMs = 600},
    // 3 x 50 ms; the hairpinned request starts one round trip after the change requests.
    {.name = "ThreeRoundTrips", .rttMs = 50, .testISends = {0}, .changeSends = {50, 200, 350, 500, 650, 800}, .endMs = 1000},
    // 3 x 300 ms is more than the 2 s cap allows for six transmissions: 333 ms.
    {.name = "CappedLongRtt", .rttMs = 300, .testISends = {0}, .changeSends = {300, 633, 966, 1299, 1632, 1965}, .endMs = 2598},
    // Test I's first transmission is lost: the round trip counts from the one answered.
    {.name = "MeasuredFromTheLastTransmission", .rttMs = 40, .drop = 1, .testISends = {0, 500}, .changeSends = {540, 660, 780, 900, 1020, 1140}, .endMs = 1300},
    {.name = "SilentServer", .server = Server::Silent, .testISends = {0, 500, 1000, 1500, 2000, 2500}, .changeSends = {}, .endMs = 3000},
};
// clang-format on

class StunQuickTimingTest : public StunCheckTest,
                            public ::testing::WithParamInterface<QuickTimingRow> {};

TEST_P(StunQuickTimingTest, WaitsFollowTheRoundTrip) {
    const QuickTimingRow& r = GetParam();
    world.filtering = B::AddressAndPortDependent;
    world.server = r.server;
    world.rttMs = r.rttMs;
    world.dropRequests = r.drop;
    const StunOutcome o = Run(std::nullopt, false, {}, true);
    std::vector<std::uint64_t> testI;
    std::vector<std::uint64_t> change;
    for (const Sent& s : world.sent) {
        if (s.socket == 1 && s.to == kPrimary)
            testI.push_back(s.atMs);
        if (s.msg.changeFlags == (kStunChangeIp | kStunChangePort))
            change.push_back(s.atMs);
    }
    EXPECT_EQ(testI, r.testISends);
    EXPECT_EQ(change, r.changeSends);
    EXPECT_EQ(world.now, r.endMs);
    EXPECT_TRUE(o.finished);
    if (r.server == Server::Rfc5780) {
        EXPECT_EQ(o.filtering, B::AddressAndPortDependent);
        EXPECT_EQ(o.hairpinning, false);
    }
}

INSTANTIATE_TEST_SUITE_P(StunCheck, StunQuickTimingTest, ::testing::ValuesIn(kQuickTimingRows),
                         [](const ::testing::TestParamInfo<QuickTimingRow>& p) {
                             return p.param.name;
                         });

// After test I every request that depends on no other answer goes out at once, each test on its
// own socket, and the log says so.
TEST_F(StunCheckTest, QuickModeSendsTheTestsAtOnceEachOnItsOwnSocket) {
    world.mapping = B::AddressAndPortDependent;
    world.filtering = B::AddressAndPortDependent;
    world.rttMs = 20;
    const StunOutcome o = Run(std::nullopt, false, {}, true);
    EXPECT_EQ(o.mapping, B::AddressAndPortDependent);
    struct First {
        std::uint64_t atMs;
        int socket;
        Ipv4Endpoint to;
        std::uint32_t change;
        bool operator==(const First&) const = default;
    };
    const Ipv4Endpoint hairTo{kPublic, 40004};  // the hairpinning socket's mapping
    const std::vector<First> want = {
        {0, 1, kPrimary, 0},
        {20, 1, {kOther.address, kPrimary.port}, 0},
        {20, 1, kOther, 0},
        {20, 2, kPrimary, 0},
        {20, 3, kPrimary, 0},
        {20, 3, kPrimary, kStunChangeIp | kStunChangePort},
        {20, 3, kPrimary, kStunChangePort},
        {40, 2, hairTo, 0},
    };
    std::vector<First> got;
    std::set<std::array<std::uint8_t, 12>> ids;
    for (const Sent& s : world.sent) {
        if (ids.insert(s.msg.transactionId).second)
            got.push_back({s.atMs, s.socket, s.to, s.msg.changeFlags});
    }
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(got[i] == want[i])
            << i << ": at " << got[i].atMs << " socket " << got[i].socket;
    EXPECT_NE(log.Text().find("Quick mode: "), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("Round trip 20 ms: quick mode retransmits every 100 ms, 6 "
                              "transmissions, and gives up after 0.6 s"),
              std::string::npos)
        << log.Text();
}

// A server that answers every request rttMs late and loses nothing: quick mode finds what the
// full run finds on any path up to 2 s, and says when it waits longer than usual. The fault this
// pins: a round trip taken from the latest transmission of test I made every later request give
// up before its answer (a 1 s path read as "NO RFC 5780 SUPPORT").
TEST_F(StunCheckTest, QuickModeKeepsItsVerdictsOnSlowPaths) {
    for (const std::uint64_t rtt : {500, 760, 1000, 1500, 2000}) {
        for (const B filtering : {EI, APD}) {
            const auto run = [&](bool quick) {
                world = CFakeStunWorld{};
                world.mapping = B::AddressDependent;
                world.filtering = filtering;
                world.rttMs = rtt;
                return Run(std::nullopt, false, {}, quick);
            };
            const StunOutcome full = run(false);
            EXPECT_EQ(full.rfc5780, true) << rtt;
            EXPECT_EQ(run(true), full) << rtt << " ms\n" << log.Text();
        }
    }
    EXPECT_NE(log.Text().find("A slow path: each test may wait up to"), std::string::npos);
}

// A timer call 700 ms late right after test I's answer: the requests already sent keep their
// tries (each goes out again, none is given up at its first late call).
TEST_F(StunCheckTest, QuickModeLateTimerCostsNoTries) {
    world.filtering = APD;
    CStunCheck check(world, [this] { return world.now; });
    check.SetLocalAddressTest([](const Endpoint&) { return CStunCheck::LocalMatch::Other; });
    check.Start({.server = kPrimary, .server2 = {}, .serverName = "", .timing = {}, .quick = true});
    world.now = 0;
    world.Deliver(check);  // test I's answer: every later request goes out at 0
    const std::size_t before = world.sent.size();
    world.now = 700;
    check.OnTimer(world.now);
    world.Deliver(check);
    EXPECT_GT(world.sent.size(), before);
    world.Pump(check);
    EXPECT_EQ(check.Outcome().filtering, APD);
}

// A flood of junk on a test's socket is counted, not logged a line each (2 500 datagrams used to
// print 9 368 lines), and the verdicts stand.
TEST_F(StunCheckTest, JunkIsCountedNotLoggedLineByLine) {
    world.filtering = APD;
    CStunCheck check(world, [this] { return world.now; });
    check.SetLocalAddressTest([](const Endpoint&) { return CStunCheck::LocalMatch::Other; });
    check.Start({.server = kPrimary, .server2 = {}, .serverName = "", .timing = {}});
    StunMessage other;
    other.cls = StunClass::Success;
    other.xorMapped = StunIpv4(kPublic, htons(1));
    std::vector<std::uint8_t> stun(128);
    stun.resize(EncodeStun(other, stun.data(), stun.size()));
    const std::vector<std::uint8_t> junk = {0x00, 0x08, 0x74, 0x77, 0x70, 0x02, 0, 0};
    for (int i = 0; i < 1250; ++i) {
        check.OnDatagram(1, kStranger, junk);
        check.OnDatagram(1, kPrimary, stun);  // another transaction's answer
    }
    world.Pump(check);
    EXPECT_EQ(check.Outcome().filtering, APD);
    EXPECT_LT(std::count(log.Text().begin(), log.Text().end(), '\n'), 80) << log.Text();
    EXPECT_NE(log.Text().find("Dropped 2500 datagrams"), std::string::npos) << log.Text();
}

// Over IPv6 the mapped address is this computer's own, or ends in the interface identifier of one
// (prefix translation keeps it), or neither (NAT66); over IPv4 only the first is asked.
TEST_F(StunCheckTest, Ipv6MappedAddressAgainstTheLocalAddresses) {
    using M = CStunCheck::LocalMatch;
    for (const M match : {M::Own, M::SameInterfaceId, M::Other}) {
        for (const bool ipv6 : {false, true}) {
            world = CFakeStunWorld{};
            world.ipv6 = ipv6;
            CStunCheck check(world, [this] { return world.now; });
            check.SetLocalAddressTest([match](const Endpoint&) { return match; });
            check.Start(
                {.server = world.Ours(kPrimary), .server2 = {}, .serverName = "", .timing = {}});
            world.Pump(check);
            const StunOutcome& o = check.Outcome();
            EXPECT_EQ(o.mappedIsLocal, match == M::Own);
            EXPECT_EQ(o.mappedKeepsInterfaceId,
                      ipv6 && match != M::Own ? std::optional<bool>(match == M::SameInterfaceId)
                                              : std::nullopt);
        }
    }
}

}  // namespace
