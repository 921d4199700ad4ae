#include "core/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { m_log.SetOutputWindow(&m_target); }
    void TearDown() override { SetLocalTimeSource({}); }

    static void PinClock(int hour, int minute, int second) {
        SetLocalTimeSource([=] { return LocalTimeOfDay{hour, minute, second}; });
    }

    CLogOutput m_log;
    CStringLogTarget m_target;
};

TEST_F(LogTest, TimedLinePrefixHasTwoDigitFields) {
    struct Case {
        int hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {9, 5, 7, "09:05:07 --- Start NAT Check...\r\n"},
        {23, 59, 59, "23:59:59 --- Start NAT Check...\r\n"},
        {0, 0, 0, "00:00:00 --- Start NAT Check...\r\n"},
    };
    for (const Case& c : cases) {
        m_target.Clear();
        PinClock(c.hour, c.minute, c.second);
        m_log.WriteTimedLine("Start NAT Check...");
        EXPECT_EQ(m_target.Text(), c.expected) << c.hour << ":" << c.minute << ":" << c.second;
    }
}

// The formatted message is passed on as an argument of %s; formatting it again as a format
// would eat or misread its percent signs.
TEST_F(LogTest, PercentSignInMessageIsFormattedOnce) {
    PinClock(12, 0, 0);
    m_log.WriteTimedLine("loss 50%% of %d", 8);
    m_log.WriteTimedLine("%s", "100% %d %s %n");
    m_log.WriteLine("%s", "25% %s");
    EXPECT_EQ(m_target.Text(),
              "12:00:00 --- loss 50% of 8\r\n"
              "12:00:00 --- 100% %d %s %n\r\n"
              "25% %s\r\n");
}

TEST_F(LogTest, EmptyFormatWritesExactlyALineEnd) {
    m_log.WriteLine("");
    EXPECT_EQ(m_target.Text(), "\r\n");
}

TEST(LogUnbound, WritesAreDroppedWithoutFailing) {
    CLogOutput log;
    EXPECT_EQ(log.AppendText("lost"), 0);
    log.WriteLine("lost %d", 1);
    log.WriteTimedLine("lost %s", "too");

    CStringLogTarget target;
    log.SetOutputWindow(&target);
    EXPECT_TRUE(target.Text().empty()) << "earlier writes must not be kept for later";
    EXPECT_EQ(log.AppendText("kept"), 1);
    log.SetOutputWindow(nullptr);
    log.WriteLine("lost again");
    EXPECT_EQ(target.Text(), "kept");
}

// A user's selection or caret in the middle must neither receive the line nor be overwritten.
TEST_F(LogTest, NextLineGoesToTheEndWhateverTheUserSelected) {
    const std::string before = "first line\r\nsecond line\r\n";
    m_target.SetText(before);
    m_target.Select(3, 15);
    m_log.WriteLine("third");
    EXPECT_EQ(m_target.Text(), before + "third\r\n");

    m_target.SetEmptySelection(0);
    m_log.WriteLine("fourth");
    EXPECT_EQ(m_target.Text(), before + "third\r\nfourth\r\n");
}

TEST_F(LogTest, OverlongTextIsCutButKeepsItsLineEnd) {
    struct Case {
        std::size_t length;
        std::size_t kept;
    };
    const Case cases[] = {{508, 508}, {509, 509}, {510, 509}, {511, 509}, {600, 509}, {5000, 509}};
    for (const Case& c : cases) {
        m_target.Clear();
        const std::string text(c.length, 'a');
        m_log.WriteLine("%s", text.c_str());
        EXPECT_EQ(m_target.Text(), std::string(c.kept, 'a') + "\r\n") << "length " << c.length;
    }
}

TEST_F(LogTest, OverlongTimedMessageKeepsPrefixAndLineEnd) {
    PinClock(9, 5, 7);
    const std::string text(700, 'b');
    m_log.WriteTimedLine("%s", text.c_str());
    // 13 characters of prefix, then as much of the message as fits in 509.
    EXPECT_EQ(m_target.Text(), "09:05:07 --- " + std::string(509 - 13, 'b') + "\r\n");
}

TEST_F(LogTest, StreamingTargetReportsEachAppendedLine) {
    std::vector<std::string> pieces;
    m_target.SetOnAppend([&](const std::string& piece) { pieces.push_back(piece); });
    m_log.WriteLine("a");
    m_log.WriteLine("");
    m_log.WriteLine("b %d", 2);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a\r\n", "\r\n", "b 2\r\n"}));
    EXPECT_EQ(m_target.Text(), "a\r\n\r\nb 2\r\n");
}

}  // namespace
