// The summary block, the presenter and the e-mail report link.

#include <gtest/gtest.h>

#include <ostream>

#include "core/settings.h"
#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

const std::string kStars(81, '*');

// A check that ends with three verdict lines: FULL CONE with loopback, then a silent allocation
// server (UNKNOWN rule) and no answer for socket 4.
class SummaryTest : public ProberTest {
protected:
    void RunToSummary() {
        prober.StartFilterCheck();
        Server1Binding();
        Deliver(Message(0x7477700C, kMapped, kMappedPort));
        ChangeAck();
        ChangeReply();
        Tick(13);
        mark = Mark();
        Tick(13);
        ASSERT_EQ(prober.Step(), StepIdle);
    }
    std::size_t mark = 0;
};

TEST_F(SummaryTest, FramedBlockInTheLog) {
    RunToSummary();
    const std::vector<std::string> expected = {
        "09:05:26 --- I can't receive any response from STUN Server, NAT Check stop!",
        "",
        kStars,
        "        NAT Detect Result Summarize",
        "",
        "NAT INCOMING PACKAGES FILTER :    FULL CONE",
        "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)",
        "PORT ALLOCATION RULE :    UNKNOWN",
        "",
        kStars,
        "",
        "Press F5 to start...",
    };
    EXPECT_EQ(LinesSince(mark), expected);
    // The presenter gets the lines as logged (upper case).
    EXPECT_EQ(presenter.shownLines, prober.ResultLines());
}

TEST_F(SummaryTest, ReportLinkByteForByte) {
    RunToSummary();
    ASSERT_EQ(presenter.links.size(), 1u);
    EXPECT_EQ(presenter.links[0],
              "mailto:lab@tarnwick.test?subject= Report&body=The Test result is:%0a%0a"
              "NAT INCOMING PACKAGES FILTER :    FULL CONE%0a"
              "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)%0a"
              "PORT ALLOCATION RULE :    UNKNOWN%0a"
              "%0a%0a%0a");
    EXPECT_EQ(prober.BuildReportLink(), presenter.links[0]);
}

TEST_F(SummaryTest, RecipientGoesInUnescaped) {
    WriteSettings("[Setting]\nREPORT=Net Lab <lab+nat@tarnwick.test>?cc=x&y\n");
    RunToSummary();
    ASSERT_EQ(presenter.links.size(), 1u);
    EXPECT_EQ(presenter.links[0].rfind(
                  "mailto:Net Lab <lab+nat@tarnwick.test>?cc=x&y?subject= Report&body=", 0),
              0u);
}

// A recipient beyond ASCII is percent-encoded once, byte by byte from its UTF-8.
TEST_F(SummaryTest, NonAsciiRecipientIsEncodedOnceFromUtf8) {
    struct Row {
        const char* file;  // the REPORT value as UTF-8 bytes
        const char* link;  // how the link starts
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.file = "J\xC3\xBCrgen <j@tarnwick.test>", .link = "mailto:J%C3%BCrgen <j@tarnwick.test>?"},
        {.file = "\xE5\x90\x8D@tarnwick.test", .link = "mailto:%E5%90%8D@tarnwick.test?"},
        {.file = "\xF0\x9F\x93\xA7@x.test", .link = "mailto:%F0%9F%93%A7@x.test?"},
    };
    // clang-format on
    for (const Row& row : rows) {
        WriteSettings(std::string("[Setting]\nREPORT=") + row.file + "\n");
        presenter.links.clear();
        RunToSummary();
        ASSERT_EQ(presenter.links.size(), 1u) << row.link;
        EXPECT_EQ(presenter.links[0].rfind(row.link, 0), 0u) << presenter.links[0];
    }
}

TEST_F(SummaryTest, MissingReportKeyGivesTheSupportAddress) {
    WriteSettings("[Setting]\nSTUN1_IP=127.0.0.10\n");
    RunToSummary();
    ASSERT_EQ(presenter.links.size(), 1u);
    EXPECT_EQ(presenter.links[0].rfind(std::string("mailto:") + kMakerSupportAddress +
                                           "?subject= Report&body=The Test result is:%0a%0a",
                                       0),
              0u);
}

struct PresenterRow {
    const char* name;
    bool ok;
    bool ticked;
    bool linkOpened;
};

void PrintTo(const PresenterRow& row, std::ostream* os) {
    *os << row.name;
}

class SummaryPresenterTest : public SummaryTest,
                             public ::testing::WithParamInterface<PresenterRow> {};

TEST_P(SummaryPresenterTest, OnlyOkWithTheBoxTickedOpensTheLink) {
    presenter.pressOk = GetParam().ok;
    presenter.tickReport = GetParam().ticked;
    RunToSummary();
    EXPECT_EQ(presenter.shown, 1);
    EXPECT_EQ(presenter.links.size(), GetParam().linkOpened ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Buttons, SummaryPresenterTest,
                         ::testing::Values(PresenterRow{"OkTicked", true, true, true},
                                           PresenterRow{"OkUnticked", true, false, false},
                                           PresenterRow{"CancelTicked", false, true, false},
                                           PresenterRow{"CancelUnticked", false, false, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SummaryTest, NoPresenterCountsAsCancel) {
    prober.SetResultPresenter(nullptr);
    RunToSummary();
    EXPECT_EQ(presenter.shown, 0);
    EXPECT_TRUE(presenter.links.empty());
    EXPECT_EQ(LinesSince(mark).back(), "Press F5 to start...");
}

TEST_F(SummaryTest, SingleUnknownLine) {
    prober.StartFilterCheck();
    Tick(13);
    EXPECT_EQ(presenter.shownLines,
              std::vector<std::string>{"NAT INCOMING PACKAGES FILTER :    UNKNOWN"});
    ASSERT_EQ(presenter.links.size(), 1u);
    EXPECT_EQ(presenter.links[0],
              "mailto:lab@tarnwick.test?subject= Report&body=The Test result is:%0a%0a"
              "NAT INCOMING PACKAGES FILTER :    UNKNOWN%0a%0a%0a%0a");
}

}  // namespace
}  // namespace enginetest
