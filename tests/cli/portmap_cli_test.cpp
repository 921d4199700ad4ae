// gatewise-cli --portmap: the JSON members for a fixed outcome, exact to the character, and the
// framed summary's verdict lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/portmap_cli.h"
#include "core/log.h"
#include "net/address_text.h"

namespace {

std::uint32_t A(const char* dotted) {
    return *ParseIpv4(dotted);
}

// A router behind a carrier NAT: all three answered, NAT-PMP and PCP refused to map, UPnP
// mapped a port that let nothing in; the hops name the carrier's router. Over IPv6 it opened a
// pinhole.
PortMapOutcome CarrierOutcome() {
    PortMapOutcome o;
    o.finished = true;
    o.upnpAvailable = true;
    o.gatewayNet = A("192.168.77.1");
    o.upnp.present = true;
    o.upnp.connected = true;
    o.upnp.externalNet = A("100.64.0.2");
    o.upnp.inbound = false;
    o.natPmp.present = true;
    o.natPmp.resultCode = 3;
    o.natPmp.result = "NETWORK_FAILURE";
    o.pcp.present = true;
    o.pcp.resultCode = 8;
    o.pcp.result = "NO_RESOURCES";
    o.ssdpMulticast = true;
    o.inbound = false;
    o.pcp6.gateway = ParseIpv6("fe80::1");
    o.pcp6.address = ParseIpv6("2001:db8:0:2::11");
    o.pcp6.present = true;
    o.pcp6.resultCode = 0;
    o.pcp6.result = "SUCCESS";
    o.pcp6.pinhole = Ipv6Endpoint{*o.pcp6.address, 40001};
    o.cleanup = {"UPnP: mapping of UDP port 40000 deleted"};
    o.layers.doubleNat = true;
    o.layers.cgnat = true;
    o.layers.gatewayExternal = A("100.64.0.2");
    o.layers.mapped = A("7.0.0.1");
    o.layers.reasons = {"the router's external address 100.64.0.2 is shared address space"};
    o.layers.hops = {A("192.168.77.1"), 0, A("100.64.0.1")};
    o.lines = {"NAT LAYERS :    TWO (CARRIER-GRADE)"};
    return o;
}

const std::string kCarrierMembers =
    R"j("portMapping":{"gateway":"192.168.77.1","protocols":"NAT-PMP, PCP, UPnP",)j"
    R"j("upnp":{"present":true,"connected":true,"externalAddress":"100.64.0.2","error":null,)j"
    R"j("inbound":false,"unicast":false,"multicast":true},)j"
    R"j("natPmp":{"present":true,"resultCode":{"code":3,"text":"NETWORK_FAILURE"},)j"
    R"j("externalAddress":null,"inbound":null},)j"
    R"j("pcp":{"present":true,"result":{"code":8,"text":"NO_RESOURCES"},"externalAddress":null,)j"
    R"j("inbound":null,"natPmpOnly":false},)j"
    R"j("pcp6":{"gateway":"fe80::1","address":"2001:db8:0:2::11","present":true,)j"
    R"j("result":{"code":0,"text":"SUCCESS"},"pinhole":"[2001:db8:0:2::11]:40001"},)j"
    R"j("inbound":false,)j"
    R"j("cleanup":["UPnP: mapping of UDP port 40000 deleted"]},)j"
    R"j("natLayers":{"doubleNat":true,"cgnat":true,"gatewayExternal":"100.64.0.2",)j"
    R"j("mapped":"7.0.0.1",)j"
    R"j("reasons":["the router's external address 100.64.0.2 is shared address space"],)j"
    R"j("hops":[{"ttl":1,"address":"192.168.77.1","class":"private (RFC 1918)"},)j"
    R"j({"ttl":2,"address":null,"class":null},)j"
    R"j({"ttl":3,"address":"100.64.0.1","class":"shared address space (RFC 6598)"}]})j";

TEST(PortMapJson, AloneObjectHasStatusMembersLinesAndDuration) {
    EXPECT_EQ(FormatPortMapJson("finished", CarrierOutcome(), 2345),
              R"j({"status":"finished",)j" + kCarrierMembers +
                  R"j(,"lines":["NAT LAYERS :    TWO (CARRIER-GRADE)"],"durationMs":2345})j");
}

// After the check or --stun the two members close the other run's object.
TEST(PortMapJson, MembersGoBeforeTheOtherObjectsClosingBrace) {
    std::string json = R"j({"status":"finished","p2p":{"rating":"easy"}})j";
    AddPortMapJsonMembers(json, CarrierOutcome());
    EXPECT_EQ(json, R"j({"status":"finished","p2p":{"rating":"easy"},)j" + kCarrierMembers + "}");
}

// Nothing known is null, never false; a build without UPnP names only what it asks.
TEST(PortMapJson, NothingKnownIsNull) {
    PortMapOutcome o;
    const std::string j = FormatPortMapJson("interrupted", o, 0);
    EXPECT_EQ(j, R"j({"status":"interrupted","portMapping":{"gateway":null,)j"
                 R"j("protocols":"NAT-PMP, PCP","upnp":{"present":false,"connected":null,)j"
                 R"j("externalAddress":null,"error":null,"inbound":null,"unicast":false,)j"
                 R"j("multicast":false},"natPmp":{"present":false,"resultCode":null,)j"
                 R"j("externalAddress":null,"inbound":null},"pcp":{"present":false,)j"
                 R"j("result":null,"externalAddress":null,"inbound":null,"natPmpOnly":false},)j"
                 R"j("pcp6":{"gateway":null,"address":null,"present":false,"result":null,)j"
                 R"j("pinhole":null},)j"
                 R"j("inbound":null,"cleanup":[]},"natLayers":{"doubleNat":null,"cgnat":null,)j"
                 R"j("gatewayExternal":null,"mapped":null,"reasons":[],"hops":[]},)j"
                 R"j("lines":[],"durationMs":0})j");
    EXPECT_EQ(PortMapMeaningAfter(o), "");  // not finished: no sentence
}

// The four verdict lines (five where there is an IPv6 router to ask PCP), framed in the log as the
// other summaries are.
TEST(PortMapSummary, FramedLinesFollowTheFacts) {
    struct Case {
        const char* name;
        PortMapOutcome outcome;
        std::vector<std::string> lines;
        std::optional<bool> inbound;
    };
    PortMapOutcome one = CarrierOutcome();
    one.natPmp.inbound = true;  // one protocol let a packet in: inbound yes
    one.layers = NatLayers{};
    one.layers.doubleNat = false;
    one.pcp6.pinhole.reset();
    one.pcp6.resultCode = 2;
    one.pcp6.result = "NOT_AUTHORIZED";
    PortMapOutcome noUpnp;  // no IPv6 router either: no line for PCP over IPv6
    noUpnp.natPmp.present = true;
    PortMapOutcome noPcp6;
    noPcp6.pcp6.gateway = ParseIpv6("fe80::1");
    // clang-format off
    const Case cases[] = {
        {"carrier", CarrierOutcome(), {"DEFAULT GATEWAY :    192.168.77.1", "PORT MAPPING :    UPnP YES, NAT-PMP YES, PCP YES", "INBOUND THROUGH MAPPING :    NO", "NAT LAYERS :    TWO (CARRIER-GRADE)", "PCP OVER IPV6 :    YES, PINHOLE OPENED"}, false},
        {"one layer, inbound, PCP over IPv6 refused", one, {"DEFAULT GATEWAY :    192.168.77.1", "PORT MAPPING :    UPnP YES, NAT-PMP YES, PCP YES", "INBOUND THROUGH MAPPING :    YES", "NAT LAYERS :    ONE", "PCP OVER IPV6 :    YES, NOT_AUTHORIZED"}, true},
        {"IPv6 router without PCP", noPcp6, {"DEFAULT GATEWAY :    NONE", "PORT MAPPING :    UPnP NOT ASKED (NOT IN THIS BUILD), NAT-PMP NO, PCP NO", "INBOUND THROUGH MAPPING :    NOT TRIED", "NAT LAYERS :    NOT DETERMINED", "PCP OVER IPV6 :    NO"}, std::nullopt},
        {"no gateway, no UPnP in the build", noUpnp, {"DEFAULT GATEWAY :    NONE", "PORT MAPPING :    UPnP NOT ASKED (NOT IN THIS BUILD), NAT-PMP YES, PCP NO", "INBOUND THROUGH MAPPING :    NOT TRIED", "NAT LAYERS :    NOT DETERMINED"}, std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        CStringLogTarget log;
        theLog.SetOutputWindow(&log);
        PortMapOutcome o = c.outcome;
        SummarizePortMap(o);
        theLog.SetOutputWindow(nullptr);
        EXPECT_EQ(o.lines, c.lines) << c.name;
        EXPECT_EQ(o.inbound, c.inbound) << c.name;
        // The log keeps the application's CR LF line ends.
        std::string framed = "\r\n" + std::string(81, '*') +
                             "\r\n        Port Mapping Check Result Summarize\r\n\r\n";
        for (const std::string& line : c.lines)
            framed += line + "\r\n";
        EXPECT_EQ(log.Text(), framed + "\r\n" + std::string(81, '*') + "\r\n") << c.name;
    }
}

TEST(PortMapMeaning, BlockAloneAndSentenceAfterAnotherRun) {
    const PortMapOutcome o = CarrierOutcome();
    const std::string sentence =
        "Your router can open ports (UPnP, NAT-PMP, PCP), but a carrier-grade NAT in front of "
        "it means opened ports cannot be reached from the internet.";
    EXPECT_EQ(PortMapMeaningBlock(o), "\nWhat this means for peer-to-peer\n\n" + sentence + "\n");
    EXPECT_EQ(PortMapMeaningAfter(o), "\n" + sentence + "\n");
}

// Nothing present: the sentence says whether there was a router to ask and what this build asks.
TEST(PortMapMeaning, NothingPresentSaysWhatWasAsked) {
    PortMapOutcome none;
    none.finished = true;
    EXPECT_EQ(PortMapMeaningSentence(none).rfind("No default gateway was found", 0), 0u);
    none.gatewayNet = 0x0101a8c0;
    EXPECT_NE(PortMapMeaningSentence(none).find("this build cannot ask UPnP"), std::string::npos);
    none.upnpAvailable = true;
    EXPECT_NE(PortMapMeaningSentence(none).find("(neither UPnP, NAT-PMP nor PCP answered)"),
              std::string::npos);
}

}  // namespace
