#include "cli/json_output.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>

namespace {

// An outcome whose five verdicts were all written.
CheckOutcome Verdicts(std::int32_t filter, bool loopback, std::int32_t alloc, bool exceptional,
                      bool multiClientGood) {
    CheckOutcome o;
    o.filterType = filter;
    o.loopback = loopback;
    o.allocRule = alloc;
    o.exceptional = exceptional;
    o.multiClientGood = multiClientGood;
    return o;
}

TEST(JsonOutput, UntestedVerdictsAreNullNotFalse) {
    CheckOutcome o;
    o.filterType = FilterUnknown;
    EXPECT_EQ(
        FormatOutcomeJson(kStatusFinished, o, {"NAT INCOMING PACKAGES FILTER :    UNKNOWN"}, 650,
                          {.frontEnd = FrontEnd::Cli, .settingsPath = "/etc/STUN.ini"}),
        R"j({"status":"finished","filter":{"code":0,"text":"UNKNOWN"},"loopback":null,)j"
        R"j("allocation":null,"exceptional":null,"multiClient":null,"mapped":null,)j"
        R"j("ports":{"allocA":null,"allocB":null,"allocC":null,"except1":null,)j"
        R"j("except2":null,"port9802":null,"friendPort9802":null},"friend":null,)j"
        R"j("lines":["NAT INCOMING PACKAGES FILTER :    UNKNOWN"],"durationMs":650,)j"
        R"j("mapping":null,"filtering":null,"hairpinning":null,)j"
        R"j("p2p":{"rating":null,"nat":null,"portPreservation":null,"severalCopies":null,)j"
        R"j("text":"No server answered. Check the servers in '/etc/STUN.ini' (or give )j"
        R"j(--server1 and --server2), or run gatewise-cli --stun HOST against a public STUN )j"
        R"j(server. The check could not determine how the NAT maps and filters packets. )j"
        R"j(Peer-to-peer rating: not determined.",)j"
        R"j("compatible":{"open":null,"fullCone":null,"restricted":null,"portRestricted":null,)j"
        R"j("symmetric":null}}})j");
}

TEST(JsonOutput, FullCheckShowsEveryVerdictAndPortInHostOrder) {
    CheckOutcome o = Verdicts(FilterPortRestricted, true, AllocPortSensitive, false, true);
    o.mappedIp = inet_addr("203.0.113.7");
    o.mappedPort = htons(40001);  // network order in the outcome, host order in the output
    o.allocPortA = 40001;
    o.allocPortB = 40002;
    o.allocPortC = 40003;
    o.exceptPort1 = 50001;
    o.exceptPort2 = 50002;
    o.friendSockMappedPort = 9802;
    o.friendReportedPort = 61000;
    o.friendIp = inet_addr("192.168.1.20");
    const std::vector<std::string> lines = {
        "NAT INCOMING PACKAGES FILTER :    PORT RESTRICTED",
        "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)",
        "PORT ALLOCATION RULE :    PORT SENSITIVE SYMMETRIC NAT",
        "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR.",
        "GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It"};
    EXPECT_EQ(
        FormatOutcomeJson(kStatusFinished, o, lines, 41234),
        R"j({"status":"finished","filter":{"code":4,"text":"PORT RESTRICTED"},)j"
        R"j("loopback":{"code":true,"text":"YES(GOOD FOR PEER-TO-PEER)"},)j"
        R"j("allocation":{"code":3,"text":"PORT SENSITIVE SYMMETRIC NAT"},)j"
        R"j("exceptional":{"code":false,"text":"NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR."},)j"
        R"j("multiClient":{"code":true,"text":"GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It"},)j"
        R"j("mapped":{"address":"203.0.113.7","port":40001},)j"
        R"j("ports":{"allocA":40001,"allocB":40002,"allocC":40003,"except1":50001,)j"
        R"j("except2":50002,"port9802":9802,"friendPort9802":61000},"friend":"192.168.1.20",)j"
        R"j("lines":["NAT INCOMING PACKAGES FILTER :    PORT RESTRICTED",)j"
        R"j("UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)",)j"
        R"j("PORT ALLOCATION RULE :    PORT SENSITIVE SYMMETRIC NAT",)j"
        R"j("NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR.",)j"
        R"j("GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It"],"durationMs":41234,)j"
        R"j("mapping":"address-and-port-dependent","filtering":"address-and-port-dependent",)j"
        R"j("hairpinning":true,"p2p":{"rating":"hard","nat":true,"portPreservation":true,)j"
        R"j("severalCopies":true,"text":"The NAT gives each destination address and port a new )j"
        R"j(public port (address-and-port-dependent mapping), so a peer cannot learn the port )j"
        R"j(in advance. It lets in packets only from addresses and ports this computer has sent )j"
        R"j(to (address-and-port-dependent filtering). Peer-to-peer rating: hard. Its public )j"
        R"j(port cannot be predicted. A direct UDP connection can be expected with open, full )j"
        R"j(cone and restricted peers, not with port restricted and symmetric peers: those need )j"
        R"j(a relay. Hairpinning: yes; computers behind this NAT reach each other at their )j"
        R"j(public addresses. Port preservation: yes; the NAT kept a local port as the public )j"
        R"j(port. Several copies behind this NAT: each got its own public port.",)j"
        R"j("compatible":{"open":true,"fullCone":true,"restricted":true,"portRestricted":false,)j"
        R"j("symmetric":false}}})j");
}

TEST(JsonOutput, NegativeAnswersKeepTheirOwnTexts) {
    const CheckOutcome o = Verdicts(FilterSymmetric, false, AllocUnknown, true, false);
    const std::string j = FormatOutcomeJson(kStatusInterrupted, o, {}, 0);
    EXPECT_NE(j.find(R"j("status":"interrupted")j"), std::string::npos);
    EXPECT_NE(j.find(R"j("loopback":{"code":false,"text":"NO"})j"), std::string::npos);
    EXPECT_NE(j.find(R"j("allocation":{"code":0,"text":"UNKNOWN"})j"), std::string::npos);
    EXPECT_NE(
        j.find(
            R"j("exceptional":{"code":true,"text":"NAT PORT ALLOCATE RULE HAS EXCEPTIONAL BEHAVIOR."})j"),
        std::string::npos);
    EXPECT_NE(
        j.find(
            R"j("multiClient":{"code":false,"text":"MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT"})j"),
        std::string::npos);
    EXPECT_NE(j.find(R"j("lines":[])j"), std::string::npos);
}

// A friend address of 0.0.0.0 is a value the engine may report; it is not "none".
TEST(JsonOutput, ZeroFriendAddressIsShownNotNull) {
    CheckOutcome o;
    o.friendIp = 0;
    EXPECT_NE(FormatOutcomeJson(kStatusFinished, o, {}, 0).find(R"j("friend":"0.0.0.0")j"),
              std::string::npos);
}

// Log text is 8-bit and may hold anything the settings file held; the output stays valid JSON.
TEST(JsonOutput, StringsAreEscaped) {
    EXPECT_EQ(JsonString("plain"), R"j("plain")j");
    EXPECT_EQ(JsonString("q\"b\\s"), R"j("q\"b\\s")j");
    EXPECT_EQ(JsonString("a\r\nb\tc"), R"j("a\r\nb\tc")j");
    EXPECT_EQ(JsonString(std::string("\x01\x7f\xe9", 3)), R"j("\u0001\u007f\u00e9")j");
    EXPECT_EQ(JsonString(std::string("\0", 1)), R"j("\u0000")j");
}

// The peer-to-peer fields, one row per verdict combination the lab's NATs give (and the firewall
// the check reads as SYMMETRIC): exact fragments, since scripts match them.
TEST(JsonOutput, PeerToPeerFieldsFollowTheVerdicts) {
    struct Case {
        const char* name;
        std::int32_t filter;
        std::optional<std::int32_t> alloc;
        std::optional<bool> mappedIsLocal;
        const char* behaviours;  // mapping to hairpinning
        const char* head;        // rating to severalCopies
        const char* compatible;
    };
    const char* kAll =
        R"j({"open":true,"fullCone":true,"restricted":true,"portRestricted":true,"symmetric":true})j";
    const char* kNotSym =
        R"j({"open":true,"fullCone":true,"restricted":true,"portRestricted":true,"symmetric":false})j";
    const char* kEasyOnly =
        R"j({"open":true,"fullCone":true,"restricted":true,"portRestricted":false,"symmetric":false})j";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "open", .filter = FilterOpen, .alloc = {}, .mappedIsLocal = true, .behaviours = R"j("mapping":"endpoint-independent","filtering":"endpoint-independent","hairpinning":null)j", .head = R"j({"rating":"easy","nat":false,"portPreservation":null,"severalCopies":null)j", .compatible = kAll},
        {.name = "full cone", .filter = FilterFullCone, .alloc = AllocNotSymmetric, .mappedIsLocal = false, .behaviours = R"j("mapping":"endpoint-independent","filtering":"endpoint-independent","hairpinning":false)j", .head = R"j({"rating":"easy","nat":true,"portPreservation":null,"severalCopies":null)j", .compatible = kAll},
        {.name = "restricted", .filter = FilterIpRestricted, .alloc = AllocNotSymmetric, .mappedIsLocal = false, .behaviours = R"j("mapping":"endpoint-independent","filtering":"address-dependent","hairpinning":false)j", .head = R"j({"rating":"moderate","nat":true,)j", .compatible = kAll},
        {.name = "port restricted", .filter = FilterPortRestricted, .alloc = AllocNotSymmetric, .mappedIsLocal = false, .behaviours = R"j("mapping":"endpoint-independent","filtering":"address-and-port-dependent","hairpinning":false)j", .head = R"j({"rating":"moderate","nat":true,)j", .compatible = kNotSym},
        {.name = "port-sensitive symmetric", .filter = FilterSymmetric, .alloc = AllocPortSensitive, .mappedIsLocal = false, .behaviours = R"j("mapping":"address-and-port-dependent","filtering":null,"hairpinning":false)j", .head = R"j({"rating":"hard","nat":true,)j", .compatible = kEasyOnly},
        {.name = "address-sensitive symmetric", .filter = FilterSymmetric, .alloc = AllocAddressSensitive, .mappedIsLocal = false, .behaviours = R"j("mapping":"address-dependent","filtering":null,"hairpinning":false)j", .head = R"j({"rating":"hard","nat":true,)j", .compatible = kEasyOnly},
        {.name = "public address behind a firewall", .filter = FilterSymmetric, .alloc = AllocNotSymmetric, .mappedIsLocal = true, .behaviours = R"j("mapping":"endpoint-independent","filtering":"address-and-port-dependent","hairpinning":null)j", .head = R"j({"rating":"moderate","nat":false,)j", .compatible = kNotSym},
    };
    // clang-format on
    for (const Case& c : cases) {
        CheckOutcome o;
        o.filterType = c.filter;
        o.allocRule = c.alloc;
        if (c.filter != FilterOpen)
            o.loopback = false;
        const std::string j =
            FormatOutcomeJson(kStatusFinished, o, {}, 0, {.mappedIsLocal = c.mappedIsLocal});
        EXPECT_NE(j.find(std::string("\"durationMs\":0,") + c.behaviours + ",\"p2p\":" + c.head),
                  std::string::npos)
            << c.name << "\n"
            << j;
        EXPECT_NE(j.find(std::string(",\"compatible\":") + c.compatible + "}}"), std::string::npos)
            << c.name << "\n"
            << j;
        EXPECT_EQ(j.back(), '}') << c.name;
    }
}

// A run that gave no verdict says why in the text, first, as the block does.
TEST(JsonOutput, EachStatusExplainsAMissingVerdictInTheText) {
    struct Row {
        const char* status;
        CheckEnd end;
        const char* textStart;
    };
    const Row rows[] = {
        {kStatusFinished, CheckEnd::Summary, "No server answered. "},
        {kStatusInterrupted, CheckEnd::Stopped, "The check was stopped before it finished. "},
        {kStatusSocketsFailed, CheckEnd::SocketsTaken, "The UDP sockets could not be opened"},
        {kStatusInvalidSettings, CheckEnd::InvalidSettings, "No check was started: "},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CheckEndOfStatus(row.status), row.end) << row.status;
        const CheckFacts facts{.end = row.end, .frontEnd = FrontEnd::Cli};
        const std::string j = FormatOutcomeJson(row.status, CheckOutcome{}, {}, 0, facts);
        EXPECT_NE(j.find(std::string("\"text\":\"") + row.textStart), std::string::npos)
            << row.status << "\n"
            << j;
        EXPECT_EQ(P2pBlockText(MeaningOfCheck({}, facts)).find(row.textStart),
                  std::string("\nWhat this means for peer-to-peer\n\n").size())
            << row.status;
    }
}

TEST(JsonOutput, PeerToPeerBlockFollowsABlankLineAndEndsEachLine) {
    CheckOutcome o;
    o.filterType = FilterFullCone;
    o.allocRule = AllocNotSymmetric;
    o.loopback = true;
    const std::string block = P2pBlockText(MeaningOfCheck(o));
    EXPECT_EQ(
        block.rfind("\nWhat this means for peer-to-peer\n\nThe NAT keeps one public address", 0),
        0u)
        << block;
    EXPECT_NE(block.find("Peer-to-peer rating: easy. Peers can reach its public address directly. "
                         "A direct UDP connection can be expected with every kind of peer.\n"),
              std::string::npos)
        << block;
    EXPECT_NE(
        block.find("\n\nDirect UDP connection with a peer that is:\n    open                yes\n"),
        std::string::npos)
        << block;
    const std::string last = "\n    symmetric           yes\n";
    EXPECT_EQ(block.substr(block.size() - last.size()), last) << block;
}

}  // namespace
