// CPortMapProbe against a recording fake gateway: answers are queued one millisecond after the
// request they answer, time is an explicit number of milliseconds, nothing leaves the process.

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/log.h"
#include "net/address_text.h"
#include "standard/portmap_probe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint32_t kGateway = *ParseIpv4("192.168.77.1");
const std::uint32_t kStranger = *ParseIpv4("192.168.77.9");
const Endpoint kPortMapAt = Ipv4Endpoint{kGateway, kPortMapServerPort};

// Which of the probe's four searches a datagram was, from where it went and what it holds.
enum Kind { kNatPmp, kPcp, kSsdpUnicast, kSsdpMulticast, kKinds };

struct Answer {
    Kind to;  // answers the first request of this kind
    Endpoint from;
    Bytes bytes;
};

Bytes NatPmpExternal(std::uint8_t result, const char* external = "203.0.113.5") {
    Bytes b = {0, 128, 0, result, 0, 0, 1, 0};
    const std::uint32_t a = *ParseIpv4(external);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
    b.insert(b.end(), p, p + 4);
    return b;
}
Bytes PcpAnnounce(std::uint8_t result) {
    Bytes b = {2, 0x80, 0, result, 0, 0, 0, 0, 0, 0, 1, 0};
    b.resize(24, 0);
    return b;
}
// What a NAT-PMP-only gateway answers to a PCP request (RFC 6887 section 9).
const Bytes kNatPmpUnsupportedVersion = {0, 0x80, 0, 1, 0, 0, 1, 0};
Bytes SsdpReply(const std::string& location) {
    const std::string s =
        "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + std::string(kSsdpIgdType) +
        "\r\nLOCATION: " + location + "\r\n\r\n";
    return Bytes(s.begin(), s.end());
}
const std::string kLocation = "http://192.168.77.1:5000/rootDesc.xml";

// A gateway that answers as its answers say, and records every request. Test thread only.
class CFakeGateway : public IStunTransport {
public:
    std::vector<Answer> answers;
    std::uint64_t now = 0;
    std::map<Kind, std::vector<std::uint64_t>> sentAt;
    int opened = 0, closed = 0;

    int Open() override { return ++opened; }
    void Close(int) override { ++closed; }
    bool Send(int socket, const Endpoint& to, std::span<const std::uint8_t> bytes) override {
        const Kind kind = KindOf(to, bytes);
        if (kind == kKinds) {
            ADD_FAILURE() << "sent to " << FormatEndpoint(to);
            return true;
        }
        const bool first = sentAt[kind].empty();
        sentAt[kind].push_back(now);
        for (const Answer& a : answers) {
            if (first && a.to == kind)
                m_queue.push_back({now + 1, socket, a.from, a.bytes});
        }
        return true;
    }

    // Delivers the queued answers and moves time to the probe's deadlines until it ends.
    void Pump(CPortMapProbe& probe) {
        for (int i = 0; i < 1000 && probe.Running(); ++i) {
            const auto deadline = probe.NextDeadline();
            ASSERT_TRUE(deadline.has_value());
            if (!m_queue.empty() && m_queue.front().atMs <= *deadline) {
                const Delivery d = m_queue.front();
                m_queue.pop_front();
                now = std::max(now, d.atMs);
                probe.OnDatagram(d.socket, d.from, d.bytes);
                continue;
            }
            now = std::max(now, *deadline);
            probe.OnTimer(now);
        }
        ASSERT_FALSE(probe.Running());
    }

private:
    static Kind KindOf(const Endpoint& to, std::span<const std::uint8_t> b) {
        if (to == kPortMapAt && !b.empty())
            return b[0] == kPcpVersion ? kPcp : kNatPmp;
        if (to == Endpoint(Ipv4Endpoint{kGateway, kSsdpPort}))
            return kSsdpUnicast;
        if (to == Endpoint(Ipv4Endpoint{kSsdpMulticastNet, kSsdpPort}))
            return kSsdpMulticast;
        return kKinds;
    }
    struct Delivery {
        std::uint64_t atMs;
        int socket;
        Endpoint from;
        Bytes bytes;
    };
    std::deque<Delivery> m_queue;
};

class PortMapProbeTest : public ::testing::Test {
protected:
    void SetUp() override { theLog.SetOutputWindow(&log); }
    void TearDown() override { theLog.SetOutputWindow(nullptr); }
    PortMapDiscovery Run(std::uint64_t budgetMs = 2000) {
        CPortMapProbe probe(gateway);
        PortMapProbeConfig config;
        config.gatewayNet = kGateway;
        config.clientNet = *ParseIpv4("192.168.77.20");
        config.budgetMs = budgetMs;
        probe.Start(config, 0);
        gateway.Pump(probe);
        EXPECT_EQ(gateway.closed, gateway.opened);
        return probe.Outcome();
    }
    CFakeGateway gateway;
    CStringLogTarget log;
};

struct ProbeCase {
    const char* name;
    std::vector<Answer> answers;
    std::uint64_t endsAtMs;
    bool natPmp = false, pcp = false, natPmpOnly = false;
    bool unicast = false, multicast = false;
    const char* logged = "";
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
    *os << c.name;
}

Endpoint From(std::uint32_t address, std::uint16_t port) {
    return Ipv4Endpoint{address, port};
}

// One row per line:
// clang-format off
const ProbeCase kCases[] = {
    // Everything answers at 1 ms: the probe ends then, not at its budget.
    {.name = "AllThreeAnswer", .answers = {{kNatPmp, kPortMapAt, NatPmpExternal(0)}, {kPcp, kPortMapAt, PcpAnnounce(0)}, {kSsdpUnicast, From(kGateway, 1900), SsdpReply(kLocation)}, {kSsdpMulticast, From(kGateway, 1900), SsdpReply(kLocation)}}, .endsAtMs = 1, .natPmp = true, .pcp = true, .unicast = true, .multicast = true},
    // Nothing answers: every part gives up at the 2 s budget, well within 3 s.
    {.name = "NothingAnswers", .answers = {}, .endsAtMs = 2000, .logged = "UPnP: no answer to either search within 2.0 s"},
    // A device answers a search from whatever port it likes.
    {.name = "SsdpFromAnotherPort", .answers = {{kSsdpUnicast, From(kGateway, 40123), SsdpReply(kLocation)}, {kSsdpMulticast, From(kGateway, 40124), SsdpReply(kLocation)}}, .endsAtMs = 2000, .unicast = true, .multicast = true},
    {.name = "MulticastOnlyRouter", .answers = {{kSsdpMulticast, From(kGateway, 1900), SsdpReply(kLocation)}}, .endsAtMs = 2000, .multicast = true, .logged = "answered only the multicast search"},
    {.name = "UnicastOnlyRouter", .answers = {{kSsdpUnicast, From(kGateway, 1900), SsdpReply(kLocation)}}, .endsAtMs = 2000, .unicast = true, .logged = "answered only the unicast search"},
    // NAT-PMP and PCP count only from the gateway's port 5351; SSDP only from the gateway, naming it.
    {.name = "WrongSourcesIgnored", .answers = {{kNatPmp, From(kGateway, 5352), NatPmpExternal(0)}, {kPcp, From(kStranger, kPortMapServerPort), PcpAnnounce(0)}, {kSsdpUnicast, From(kStranger, 1900), SsdpReply(kLocation)}, {kSsdpMulticast, From(kGateway, 1900), SsdpReply("http://192.168.77.9:5000/rootDesc.xml")}}, .endsAtMs = 2000, .logged = "only the gateway's own is used"},
    // A NAT-PMP-only gateway answers PCP with NAT-PMP's UNSUPP_VERSION: PCP is not present.
    {.name = "NatPmpOnlyGateway", .answers = {{kNatPmp, kPortMapAt, NatPmpExternal(0)}, {kPcp, kPortMapAt, kNatPmpUnsupportedVersion}}, .endsAtMs = 2000, .natPmp = true, .natPmpOnly = true, .logged = "it speaks NAT-PMP only"},
    // A refusal is still an answer: the service is there.
    {.name = "RefusalsArePresence", .answers = {{kNatPmp, kPortMapAt, NatPmpExternal(3)}, {kPcp, kPortMapAt, PcpAnnounce(8)}}, .endsAtMs = 2000, .natPmp = true, .pcp = true, .logged = "PCP: the gateway answered NO_RESOURCES (result code 8)"},
    // Bytes that are no answer at all leave the part waiting.
    {.name = "GarbageIgnored", .answers = {{kNatPmp, kPortMapAt, {1, 2, 3}}, {kPcp, kPortMapAt, {2, 0x80}}, {kSsdpUnicast, From(kGateway, 1900), {'H', 'T', 'T', 'P'}}}, .endsAtMs = 2000},
};
// clang-format on

class PortMapProbeCases : public PortMapProbeTest,
                          public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(PortMapProbeCases, FindsWhatTheGatewayOffers) {
    const ProbeCase& c = GetParam();
    gateway.answers = c.answers;
    const PortMapDiscovery d = Run();
    EXPECT_TRUE(d.finished);
    EXPECT_EQ(gateway.now, c.endsAtMs);
    EXPECT_EQ(d.natPmpPresent, c.natPmp);
    EXPECT_EQ(d.pcpPresent, c.pcp);
    EXPECT_EQ(d.pcpNatPmpOnly, c.natPmpOnly);
    EXPECT_EQ(d.ssdpUnicast, c.unicast);
    EXPECT_EQ(d.ssdpMulticast, c.multicast);
    EXPECT_EQ(d.ssdp.has_value(), c.unicast || c.multicast);
    if (d.ssdp) {
        EXPECT_EQ(d.ssdp->location, kLocation);
    }
    if (c.natPmp && d.natPmpResult == 0) {
        EXPECT_EQ(d.natPmpExternalNet, *ParseIpv4("203.0.113.5"));
    }
    EXPECT_NE(log.Text().find(c.logged), std::string::npos) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Probe, PortMapProbeCases, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

// NAT-PMP and PCP retransmit after 250 ms, doubling (RFC 6886 section 3.1); SSDP every 500 ms;
// every part stops at the budget, whichever it is.
TEST_F(PortMapProbeTest, EachProtocolRetransmitsWithinTheBudget) {
    Run(2000);
    const std::vector<std::uint64_t> doubling = {0, 250, 750, 1750};
    const std::vector<std::uint64_t> steady = {0, 500, 1000, 1500};
    EXPECT_EQ(gateway.sentAt[kNatPmp], doubling);
    EXPECT_EQ(gateway.sentAt[kPcp], doubling);
    EXPECT_EQ(gateway.sentAt[kSsdpUnicast], steady);
    EXPECT_EQ(gateway.sentAt[kSsdpMulticast], steady);
    EXPECT_NE(log.Text().find("NAT-PMP: no answer within 2.0 s"), std::string::npos);
    EXPECT_NE(log.Text().find("PCP: no answer within 2.0 s"), std::string::npos);

    gateway = CFakeGateway{};
    Run(600);
    EXPECT_EQ(gateway.now, 600u);
    EXPECT_EQ(gateway.sentAt[kNatPmp], (std::vector<std::uint64_t>{0, 250}));
    EXPECT_EQ(gateway.sentAt[kSsdpMulticast], (std::vector<std::uint64_t>{0, 500}));
}

// A part that answered sends no more; the others go on to the budget.
TEST_F(PortMapProbeTest, AnsweredPartStopsSending) {
    gateway.answers = {{kNatPmp, kPortMapAt, NatPmpExternal(0)}};
    Run();
    EXPECT_EQ(gateway.sentAt[kNatPmp], (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(gateway.sentAt[kPcp].size(), 4u);
}

// No socket, no probe: said once, nothing sent, nothing left open.
TEST_F(PortMapProbeTest, SocketFailureEndsAtOnce) {
    struct CNoSockets : CFakeGateway {
        int Open() override { return opened++ < 2 ? opened : -1; }
    } none;
    CPortMapProbe probe(none);
    PortMapProbeConfig config;
    config.gatewayNet = kGateway;
    probe.Start(config, 0);
    EXPECT_FALSE(probe.Running());
    EXPECT_TRUE(probe.Outcome().socketsFailed);
    EXPECT_FALSE(probe.Outcome().finished);
    EXPECT_TRUE(none.sentAt.empty());
    EXPECT_EQ(none.closed, 2);
}

}  // namespace
