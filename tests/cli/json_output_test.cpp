#include "cli/json_output.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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
        FormatOutcomeJson(kStatusFinished, o, {"NAT INCOMING PACKAGES FILTER :    UNKNOWN"}, 650),
        R"j({"status":"finished","filter":{"code":0,"text":"UNKNOWN"},"loopback":null,)j"
        R"j("allocation":null,"exceptional":null,"multiClient":null,"mapped":null,)j"
        R"j("ports":{"allocA":null,"allocB":null,"allocC":null,"except1":null,)j"
        R"j("except2":null,"port9802":null,"friendPort9802":null},"friend":null,)j"
        R"j("lines":["NAT INCOMING PACKAGES FILTER :    UNKNOWN"],"durationMs":650})j");
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
        R"j("GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It"],"durationMs":41234})j");
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

}  // namespace
