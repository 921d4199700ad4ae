// What the verdicts mean for peer-to-peer: one row per verdict combination of the check and of the
// standard STUN tests, the hole-punching matrix, and the text block.

#include "engine/p2p_meaning.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using B = StunBehaviour;

// The compatibility row as five characters in kPeerKinds order: y, n, or ? (not determined).
std::string Row(const P2pMeaning& m) {
    std::string row;
    for (PeerKind peer : kPeerKinds) {
        const std::optional<bool> c = m.CompatibleWith(peer);
        row += !c ? '?' : *c ? 'y' : 'n';
    }
    return row;
}

const char* Name(const std::optional<B>& b) {
    return b ? StunBehaviourName(*b) : "null";
}

const char* Name(const std::optional<P2pRating>& r) {
    return r ? P2pRatingName(*r) : "null";
}

struct Expected {
    const char* mapping;    // "null": not determined
    const char* filtering;  // "null": not determined
    const char* rating;     // "null": not determined
    const char* row;        // open, full cone, restricted, port restricted, symmetric
    std::optional<bool> nat;
};

void ExpectMeaning(const P2pMeaning& m, const Expected& e, const char* name) {
    EXPECT_STREQ(Name(m.mapping), e.mapping) << name;
    EXPECT_STREQ(Name(m.filtering), e.filtering) << name;
    EXPECT_STREQ(Name(m.rating), e.rating) << name;
    EXPECT_EQ(Row(m), e.row) << name;
    EXPECT_EQ(m.nat, e.nat) << name;
}

constexpr const char* EI = "endpoint-independent";
constexpr const char* AD = "address-dependent";
constexpr const char* APD = "address-and-port-dependent";

struct CheckCase {
    const char* name;
    std::optional<std::int32_t> filter;
    std::optional<std::int32_t> alloc;
    std::optional<bool> mappedIsLocal;  // CheckFacts; empty: inferred from the verdicts
    Expected want;
};

TEST(P2pMeaning, EachVerdictCombinationOfTheCheck) {
    // One row per line:
    // clang-format off
    const CheckCase cases[] = {
        {.name = "no verdict", .filter = {}, .alloc = {}, .mappedIsLocal = {}, .want = {.mapping = "null", .filtering = "null", .rating = "null", .row = "?????", .nat = {}}},
        {.name = "UNKNOWN", .filter = FilterUnknown, .alloc = {}, .mappedIsLocal = {}, .want = {.mapping = "null", .filtering = "null", .rating = "null", .row = "?????", .nat = {}}},
        {.name = "OPEN", .filter = FilterOpen, .alloc = {}, .mappedIsLocal = {}, .want = {.mapping = EI, .filtering = EI, .rating = "easy", .row = "yyyyy", .nat = false}},
        {.name = "FULL CONE, NOT SYMMETRIC", .filter = FilterFullCone, .alloc = AllocNotSymmetric, .mappedIsLocal = {}, .want = {.mapping = EI, .filtering = EI, .rating = "easy", .row = "yyyyy", .nat = true}},
        {.name = "FULL CONE, ADDRESS SENSITIVE", .filter = FilterFullCone, .alloc = AllocAddressSensitive, .mappedIsLocal = {}, .want = {.mapping = AD, .filtering = EI, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "FULL CONE, PORT SENSITIVE", .filter = FilterFullCone, .alloc = AllocPortSensitive, .mappedIsLocal = {}, .want = {.mapping = APD, .filtering = EI, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "FULL CONE, rule UNKNOWN", .filter = FilterFullCone, .alloc = AllocUnknown, .mappedIsLocal = {}, .want = {.mapping = "null", .filtering = EI, .rating = "null", .row = "?????", .nat = true}},
        {.name = "IP RESTRICTED, NOT SYMMETRIC", .filter = FilterIpRestricted, .alloc = AllocNotSymmetric, .mappedIsLocal = {}, .want = {.mapping = EI, .filtering = AD, .rating = "moderate", .row = "yyyyy", .nat = true}},
        {.name = "IP RESTRICTED, ADDRESS SENSITIVE", .filter = FilterIpRestricted, .alloc = AllocAddressSensitive, .mappedIsLocal = {}, .want = {.mapping = AD, .filtering = AD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "IP RESTRICTED, PORT SENSITIVE", .filter = FilterIpRestricted, .alloc = AllocPortSensitive, .mappedIsLocal = {}, .want = {.mapping = APD, .filtering = AD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "PORT RESTRICTED, NOT SYMMETRIC", .filter = FilterPortRestricted, .alloc = AllocNotSymmetric, .mappedIsLocal = {}, .want = {.mapping = EI, .filtering = APD, .rating = "moderate", .row = "yyyyn", .nat = true}},
        {.name = "PORT RESTRICTED, ADDRESS SENSITIVE", .filter = FilterPortRestricted, .alloc = AllocAddressSensitive, .mappedIsLocal = {}, .want = {.mapping = AD, .filtering = APD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "PORT RESTRICTED, PORT SENSITIVE", .filter = FilterPortRestricted, .alloc = AllocPortSensitive, .mappedIsLocal = {}, .want = {.mapping = APD, .filtering = APD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "PORT RESTRICTED, stopped before the rule", .filter = FilterPortRestricted, .alloc = {}, .mappedIsLocal = {}, .want = {.mapping = "null", .filtering = APD, .rating = "null", .row = "?????", .nat = true}},
        {.name = "SYMMETRIC, ADDRESS SENSITIVE", .filter = FilterSymmetric, .alloc = AllocAddressSensitive, .mappedIsLocal = {}, .want = {.mapping = AD, .filtering = "null", .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "SYMMETRIC, PORT SENSITIVE", .filter = FilterSymmetric, .alloc = AllocPortSensitive, .mappedIsLocal = {}, .want = {.mapping = APD, .filtering = "null", .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "SYMMETRIC, rule UNKNOWN: not EI, kind open", .filter = FilterSymmetric, .alloc = AllocUnknown, .mappedIsLocal = {}, .want = {.mapping = "null", .filtering = "null", .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "SYMMETRIC, NOT SYMMETRIC: a firewall", .filter = FilterSymmetric, .alloc = AllocNotSymmetric, .mappedIsLocal = {}, .want = {.mapping = EI, .filtering = APD, .rating = "moderate", .row = "yyyyn", .nat = false}},
        {.name = "SYMMETRIC, mapped address local", .filter = FilterSymmetric, .alloc = AllocUnknown, .mappedIsLocal = true, .want = {.mapping = EI, .filtering = APD, .rating = "moderate", .row = "yyyyn", .nat = false}},
        {.name = "SYMMETRIC, NOT SYMMETRIC, translated: contradiction", .filter = FilterSymmetric, .alloc = AllocNotSymmetric, .mappedIsLocal = false, .want = {.mapping = "null", .filtering = "null", .rating = "null", .row = "?????", .nat = true}},
    };
    // clang-format on
    for (const CheckCase& c : cases) {
        CheckOutcome o;
        o.filterType = c.filter;
        o.allocRule = c.alloc;
        ExpectMeaning(MeaningOfCheck(o, {.mappedIsLocal = c.mappedIsLocal}), c.want, c.name);
    }
}

struct StunCase {
    const char* name;
    std::optional<bool> mappedIsLocal;
    std::optional<B> mapping;
    std::optional<bool> mappingEndpointIndependent;  // filled from mapping when that is set
    std::optional<B> filtering;
    Expected want;
};

TEST(P2pMeaning, EachOutcomeOfTheStunTests) {
    // One row per line:
    // clang-format off
    const StunCase cases[] = {
        {.name = "no answer", .mappedIsLocal = {}, .mapping = {}, .mappingEndpointIndependent = {}, .filtering = {}, .want = {.mapping = "null", .filtering = "null", .rating = "null", .row = "?????", .nat = {}}},
        {.name = "no NAT, nothing filtered", .mappedIsLocal = true, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = B::EndpointIndependent, .want = {.mapping = EI, .filtering = EI, .rating = "easy", .row = "yyyyy", .nat = false}},
        {.name = "no NAT, firewall", .mappedIsLocal = true, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = B::AddressAndPortDependent, .want = {.mapping = EI, .filtering = APD, .rating = "moderate", .row = "yyyyn", .nat = false}},
        {.name = "no NAT, server without RFC 5780", .mappedIsLocal = true, .mapping = {}, .mappingEndpointIndependent = {}, .filtering = {}, .want = {.mapping = EI, .filtering = "null", .rating = "null", .row = "yyyy?", .nat = false}},
        {.name = "full cone", .mappedIsLocal = false, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = B::EndpointIndependent, .want = {.mapping = EI, .filtering = EI, .rating = "easy", .row = "yyyyy", .nat = true}},
        {.name = "restricted", .mappedIsLocal = false, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = B::AddressDependent, .want = {.mapping = EI, .filtering = AD, .rating = "moderate", .row = "yyyyy", .nat = true}},
        {.name = "port restricted", .mappedIsLocal = false, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = B::AddressAndPortDependent, .want = {.mapping = EI, .filtering = APD, .rating = "moderate", .row = "yyyyn", .nat = true}},
        {.name = "EI mapping, filtering unknown", .mappedIsLocal = false, .mapping = B::EndpointIndependent, .mappingEndpointIndependent = {}, .filtering = {}, .want = {.mapping = EI, .filtering = "null", .rating = "null", .row = "yyyy?", .nat = true}},
        {.name = "address-dependent mapping", .mappedIsLocal = false, .mapping = B::AddressDependent, .mappingEndpointIndependent = {}, .filtering = B::AddressDependent, .want = {.mapping = AD, .filtering = AD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "address-and-port-dependent mapping", .mappedIsLocal = false, .mapping = B::AddressAndPortDependent, .mappingEndpointIndependent = {}, .filtering = B::AddressAndPortDependent, .want = {.mapping = APD, .filtering = APD, .rating = "hard", .row = "yyynn", .nat = true}},
        {.name = "second server: not EI, kind open", .mappedIsLocal = false, .mapping = {}, .mappingEndpointIndependent = false, .filtering = {}, .want = {.mapping = "null", .filtering = "null", .rating = "hard", .row = "yyynn", .nat = true}},
    };
    // clang-format on
    for (const StunCase& c : cases) {
        StunOutcome o;
        o.mappedIsLocal = c.mappedIsLocal;
        o.mapping = c.mapping;
        o.mappingEndpointIndependent =
            c.mapping ? std::optional<bool>(*c.mapping == B::EndpointIndependent)
                      : c.mappingEndpointIndependent;
        o.filtering = c.filtering;
        ExpectMeaning(MeaningOfStun(o), c.want, c.name);
    }
}

// The well-known matrix: symmetric fails with port restricted and with symmetric, and it must not
// matter which side is which.
TEST(P2pMeaning, HolePunchingMatrixIsSymmetricInItsArguments) {
    const char* kRows[] = {"yyyyy", "yyyyy", "yyyyy", "yyyyn", "yyynn"};  // by kPeerKinds
    for (PeerKind a : kPeerKinds) {
        std::string row;
        for (PeerKind b : kPeerKinds) {
            row += DirectUdpWorks(a, b) ? 'y' : 'n';
            EXPECT_EQ(DirectUdpWorks(a, b), DirectUdpWorks(b, a));
        }
        EXPECT_EQ(row, kRows[static_cast<int>(a)]) << PeerKindName(a);
    }
}

struct DetailCase {
    const char* name;
    CheckOutcome outcome;
    std::optional<bool> hairpinning;
    std::optional<bool> portPreservation;
    std::optional<bool> severalCopies;
};

CheckOutcome Cone(std::int32_t alloc) {
    CheckOutcome o;
    o.filterType = FilterPortRestricted;
    o.allocRule = alloc;
    o.loopback = true;
    return o;
}

template <typename F>
CheckOutcome With(CheckOutcome o, F change) {
    change(o);
    return o;
}

TEST(P2pMeaning, HairpinningPortPreservationAndSeveralCopies) {
    const CheckOutcome ps = Cone(AllocPortSensitive);
    const CheckOutcome ns = Cone(AllocNotSymmetric);
    // One row per line:
    // clang-format off
    const DetailCase cases[] = {
        {.name = "no port seen", .outcome = ns, .hairpinning = true, .portPreservation = {}, .severalCopies = {}},
        {.name = "9802 kept", .outcome = With(ns, [](CheckOutcome& o) { o.friendSockMappedPort = 9802; }), .hairpinning = true, .portPreservation = true, .severalCopies = {}},
        {.name = "9802 moved", .outcome = With(ns, [](CheckOutcome& o) { o.friendSockMappedPort = 40000; o.multiClientGood = false; }), .hairpinning = true, .portPreservation = false, .severalCopies = false},
        {.name = "exceptional: ports kept", .outcome = With(ps, [](CheckOutcome& o) { o.exceptional = true; o.friendSockMappedPort = 40000; }), .hairpinning = true, .portPreservation = true, .severalCopies = {}},
        {.name = "no exceptional behaviour", .outcome = With(ps, [](CheckOutcome& o) { o.exceptional = false; o.loopback = false; o.multiClientGood = true; }), .hairpinning = false, .portPreservation = false, .severalCopies = true},
        {.name = "no NAT: no hairpinning question", .outcome = With(CheckOutcome{}, [](CheckOutcome& o) { o.filterType = FilterSymmetric; o.allocRule = AllocNotSymmetric; o.loopback = true; o.friendSockMappedPort = 9802; }), .hairpinning = {}, .portPreservation = {}, .severalCopies = {}},
    };
    // clang-format on
    for (const DetailCase& c : cases) {
        const P2pMeaning m = MeaningOfCheck(c.outcome);
        EXPECT_EQ(m.hairpinning, c.hairpinning) << c.name;
        EXPECT_EQ(m.portPreservation, c.portPreservation) << c.name;
        EXPECT_EQ(m.severalCopies, c.severalCopies) << c.name;
    }
    // A moved 9802 socket (tests move it) is compared with its own port, not with 9802.
    const CheckOutcome moved = With(ns, [](CheckOutcome& o) { o.friendSockMappedPort = 19802; });
    EXPECT_EQ(MeaningOfCheck(moved, {.mappedIsLocal = false, .port9802 = 19802}).portPreservation,
              true);
    // STUN: hairpinning only behind a NAT; the rest is never tested there.
    StunOutcome s;
    s.mappedIsLocal = false;
    s.hairpinning = false;
    EXPECT_EQ(MeaningOfStun(s).hairpinning, false);
    s.mappedIsLocal = true;
    EXPECT_EQ(MeaningOfStun(s).hairpinning, std::nullopt);
}

TEST(P2pMeaning, BlockForAPortRestrictedNat) {
    CheckOutcome o = Cone(AllocNotSymmetric);
    o.loopback = false;
    o.friendSockMappedPort = 9802;
    const std::vector<std::string> want = {
        "What this means for peer-to-peer",
        "",
        "The NAT keeps one public address and port for all destinations (endpoint-independent "
        "mapping).",
        "It lets in packets only from addresses and ports this computer has sent to "
        "(address-and-port-dependent filtering).",
        "Peer-to-peer rating: moderate. A direct connection needs hole punching (both sides "
        "sending at once). A direct UDP connection can be expected with open, full cone, "
        "restricted and port restricted peers, not with symmetric peers: those need a relay.",
        "Hairpinning: no; computers behind this NAT must use their local addresses to reach each "
        "other.",
        "Port preservation: yes; the NAT kept a local port as the public port.",
        "",
        "Direct UDP connection with a peer that is:",
        "    open                yes",
        "    full cone           yes",
        "    restricted          yes",
        "    port restricted     yes",
        "    symmetric           no (a relay is needed)",
    };
    EXPECT_EQ(P2pMeaningLines(MeaningOfCheck(o)), want);
}

// The sentences say "not determined" rather than guess, and the text joins them with blanks.
TEST(P2pMeaning, UndeterminedSaysSoInTheText) {
    CheckOutcome unknown;
    unknown.filterType = FilterUnknown;
    EXPECT_EQ(P2pText(MeaningOfCheck(unknown)),
              "No server answered. Check File > STUN Setting, or run File > Standard STUN Check "
              "against a public STUN server. The check could not determine how the NAT maps and "
              "filters packets. Peer-to-peer rating: not determined.");
    CheckOutcome sym;
    sym.filterType = FilterSymmetric;
    sym.allocRule = AllocAddressSensitive;
    sym.loopback = false;
    const std::vector<std::string> lines = P2pMeaningLines(MeaningOfCheck(sym));
    // The filter verdict SYMMETRIC is no filtering measured, and the block says so.
    EXPECT_EQ(lines.at(3),
              "A symmetric NAT's filtering is not measured by this check: its filter verdict says "
              "only that STUN Server2 saw another public port.");
    EXPECT_EQ(lines.at(4),
              "Peer-to-peer rating: hard. Its public port cannot be predicted. A direct UDP "
              "connection can be expected with open, full cone and restricted peers, not with "
              "port restricted and symmetric peers: those need a relay.");
    StunOutcome eiOnly;
    eiOnly.mappedIsLocal = false;
    eiOnly.mappingEndpointIndependent = false;
    EXPECT_EQ(P2pSentences(MeaningOfStun(eiOnly)).at(1), "What it lets in was not determined.");
    eiOnly = {};
    eiOnly.mappedIsLocal = false;
    eiOnly.mapping = B::EndpointIndependent;
    EXPECT_EQ(P2pMeaningLines(MeaningOfStun(eiOnly)).back(),
              "    symmetric           not determined");
}

struct EndCase {
    const char* name;
    std::optional<std::int32_t> filter;
    std::uint16_t mappedPort;  // 0: Server1 never reported the address
    std::optional<std::int32_t> silentServer;
    CheckEnd frontEndKnows;
    bool exampleServers;
    CheckEnd want;
};

// How a check ended, from what the front end knows and what the outcome says; every end but a
// summary with a verdict is explained first in the block, in the front end's own words.
TEST(P2pMeaning, EachWayACheckEndsWithoutAVerdictIsExplained) {
    using E = CheckEnd;
    // One row per line:
    // clang-format off
    const EndCase cases[] = {
        {.name = "verdict", .filter = FilterPortRestricted, .mappedPort = 1, .silentServer = {}, .frontEndKnows = E::Summary, .exampleServers = false, .want = E::Summary},
        {.name = "verdict, example servers", .filter = FilterOpen, .mappedPort = 1, .silentServer = {}, .frontEndKnows = E::Summary, .exampleServers = true, .want = E::Summary},
        {.name = "no server answered", .filter = FilterUnknown, .mappedPort = 0, .silentServer = 1, .frontEndKnows = E::Summary, .exampleServers = false, .want = E::NoServerAnswered},
        {.name = "Server1 silent after the address", .filter = FilterUnknown, .mappedPort = 1, .silentServer = 1, .frontEndKnows = E::Summary, .exampleServers = false, .want = E::Server1Silent},
        {.name = "Server2 silent", .filter = FilterUnknown, .mappedPort = 1, .silentServer = 2, .frontEndKnows = E::Summary, .exampleServers = false, .want = E::Server2Silent},
        {.name = "example servers", .filter = FilterUnknown, .mappedPort = 0, .silentServer = 1, .frontEndKnows = E::Summary, .exampleServers = true, .want = E::ExampleServers},
        {.name = "stopped before a verdict", .filter = {}, .mappedPort = 0, .silentServer = {}, .frontEndKnows = E::Stopped, .exampleServers = true, .want = E::Stopped},
        {.name = "stopped after a verdict", .filter = FilterFullCone, .mappedPort = 1, .silentServer = {}, .frontEndKnows = E::Stopped, .exampleServers = false, .want = E::Stopped},
        {.name = "sockets taken", .filter = {}, .mappedPort = 0, .silentServer = {}, .frontEndKnows = E::SocketsTaken, .exampleServers = false, .want = E::SocketsTaken},
        {.name = "invalid settings", .filter = {}, .mappedPort = 0, .silentServer = {}, .frontEndKnows = E::InvalidSettings, .exampleServers = false, .want = E::InvalidSettings},
    };
    // clang-format on
    for (const EndCase& c : cases) {
        CheckOutcome o;
        o.filterType = c.filter;
        o.mappedPort = c.mappedPort;
        o.silentServer = c.silentServer;
        for (const FrontEnd frontEnd : {FrontEnd::App, FrontEnd::Cli}) {
            const CheckFacts facts{.end = c.frontEndKnows,
                                   .exampleServers = c.exampleServers,
                                   .frontEnd = frontEnd,
                                   .settingsPath = "/tmp/STUN.ini"};
            EXPECT_EQ(EndOfCheck(o, facts), c.want) << c.name;
            const std::string text = CheckEndText(c.want, facts);
            const P2pMeaning m = MeaningOfCheck(o, facts);
            EXPECT_EQ(m.endText, text) << c.name;
            const std::vector<std::string> lines = P2pMeaningLines(m);
            if (c.want == E::Summary) {
                EXPECT_EQ(text, "") << c.name;
                EXPECT_NE(lines.at(2).find("NAT"), std::string::npos) << c.name;
                continue;
            }
            // First, under the heading; the JSON's text starts with it too.
            EXPECT_EQ(lines.at(2), text) << c.name;
            EXPECT_EQ(P2pText(m).rfind(text + " ", 0), 0u) << c.name;
            // The application points to its menus, the command line to its options and file.
            const bool app = frontEnd == FrontEnd::App;
            EXPECT_EQ(text.find("File >") != std::string::npos,
                      app && c.want != E::Stopped && c.want != E::SocketsTaken)
                << c.name << ": " << text;
            EXPECT_EQ(text.find("--") != std::string::npos ||
                          text.find("/tmp/STUN.ini") != std::string::npos,
                      !app && c.want != E::Stopped)
                << c.name << ": " << text;
        }
    }
}

// The application's words are in UndeterminedSaysSoInTheText.
TEST(P2pMeaning, CommandLineNextStepsNameItsSettingsFileAndOptions) {
    CheckOutcome o;
    o.filterType = FilterUnknown;
    EXPECT_EQ(
        MeaningOfCheck(o, {.frontEnd = FrontEnd::Cli, .settingsPath = "/etc/STUN.ini"}).endText,
        "No server answered. Check the servers in '/etc/STUN.ini' (or give --server1 and "
        "--server2), or run gatewise-cli --stun HOST against a public STUN server.");
    // No settings file could be chosen: no path to name.
    EXPECT_EQ(CheckEndText(CheckEnd::InvalidSettings, {.frontEnd = FrontEnd::Cli}),
              "No check was started: a server's address or port is zero, or its name could not "
              "be resolved. Set STUN1_IP, STUN1_PORT, STUN2_IP and STUN2_PORT in the settings "
              "file, or give --server1 and --server2.");
}

// The standard STUN tests over IPv6: no translation names the firewall's filtering; NAT66 and
// prefix translation are said first, then the NAT's behaviours as over IPv4.
TEST(P2pMeaning, Ipv6TranslationAndFirewall) {
    struct Case {
        const char* name;
        bool local;
        std::optional<bool> keepsInterfaceId;
        B filtering;
        std::optional<Ipv6Translation> want;
        const char* firstSentence;
    };
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "open firewall", .local = true, .keepsInterfaceId = std::nullopt, .filtering = B::EndpointIndependent, .want = Ipv6Translation::None, .firstSentence = "This computer's IPv6 address is public and not translated (no NAT66), and the firewall lets in packets from anyone to a port in use (endpoint-independent filtering): open to anyone."},
        {.name = "stateful firewall", .local = true, .keepsInterfaceId = std::nullopt, .filtering = B::AddressAndPortDependent, .want = Ipv6Translation::None, .firstSentence = "This computer's IPv6 address is public and not translated (no NAT66), but the firewall lets in packets only from addresses and ports it has sent to (address-and-port-dependent filtering): peers need hole punching."},
        {.name = "NAT66", .local = false, .keepsInterfaceId = false, .filtering = B::AddressAndPortDependent, .want = Ipv6Translation::Nat66, .firstSentence = "The IPv6 address is translated (NAT66): the public address differs from every address of this computer, in prefix and host part."},
        {.name = "prefix translation", .local = false, .keepsInterfaceId = true, .filtering = B::EndpointIndependent, .want = Ipv6Translation::Prefix, .firstSentence = "The IPv6 address is prefix-translated: the network prefix is replaced, the host part (the low 64 bits) kept."},
    };
    // clang-format on
    for (const Case& c : cases) {
        StunOutcome o;
        o.server = Endpoint::Ipv6({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 3478);
        o.mapped =
            Endpoint::Ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 4000);
        o.mappedIsLocal = c.local;
        o.mappedKeepsInterfaceId = c.keepsInterfaceId;
        o.mapping = B::EndpointIndependent;
        o.mappingEndpointIndependent = true;
        o.filtering = c.filtering;
        const P2pMeaning m = MeaningOfStun(o);
        EXPECT_EQ(m.ipv6, c.want) << c.name;
        EXPECT_EQ(m.nat, !c.local) << c.name;
        EXPECT_EQ(P2pSentences(m).front(), c.firstSentence) << c.name;
    }
    // Over IPv4 nothing of this is said.
    StunOutcome v4;
    v4.mapped = Ipv4Endpoint{0x0100000A, 4000};
    v4.mappedIsLocal = true;
    EXPECT_EQ(MeaningOfStun(v4).ipv6, std::nullopt);
}

}  // namespace
