// What the client keeps of its log for --log: all of it normally, a bounded part under a flood.
#include "cli/log_keeper.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>

namespace {

struct KeepCase {
    const char* name;
    bool keep = true;
    std::size_t cap = 0;
    int linesBefore = 0;  // before the check starts ("Press F5 to start..." and the like)
    bool checkStarts = true;
    int floodLines = 0;  // between the check's first and last line
    // Expected: the whole text, or (when the cap bites) whether each part survives.
    bool everything = true;
    bool beforeKept = true;
};

void PrintTo(const KeepCase& row, std::ostream* os) {
    *os << row.name;
}

class LogKeeper : public ::testing::TestWithParam<KeepCase> {};

std::string Line(const std::string& text) {
    return text + "\r\n";
}

TEST_P(LogKeeper, KeepsTheCheckWithinTheCap) {
    const KeepCase& c = GetParam();
    CLogKeeper keeper(c.keep, c.cap);
    std::size_t streamed = 0;
    keeper.SetOnAppend([&streamed](const std::string& piece) { streamed += piece.size(); });
    std::string all;
    auto append = [&](const std::string& line) {
        all += line;
        keeper.ReplaceSelectionNoUndo(line.c_str());
        // The log always appends at the length it is told.
        EXPECT_EQ(keeper.TextLength(), all.size());
        if (c.keep) {
            EXPECT_LE(keeper.Text().size(), c.cap + line.size());
        }
    };
    for (int i = 0; i < c.linesBefore; ++i)
        append(Line("before " + std::to_string(i)));
    if (c.checkStarts)
        keeper.MarkCheckStart();
    append(Line("11:23:07 --- Start NAT Check..."));
    for (int i = 0; i < c.floodLines; ++i)
        append(Line("11:23:08 --- flood datagram " + std::to_string(i)));
    append(Line("        NAT Detect Result Summarize"));

    EXPECT_EQ(streamed, all.size()) << "every piece is streamed, kept or not";
    if (!c.keep) {
        EXPECT_EQ(keeper.Text(), "");
        return;
    }
    const std::string& kept = keeper.Text();
    if (c.everything) {
        EXPECT_EQ(kept, all);
        EXPECT_EQ(keeper.DroppedBytes(), 0u);
        return;
    }
    EXPECT_LE(kept.size(), c.cap);
    EXPECT_EQ(keeper.DroppedBytes(), all.size() - kept.size());
    EXPECT_EQ(kept.find("before 0\r\n") == 0, c.beforeKept);
    EXPECT_NE(kept.find("Start NAT Check...\r\n"), std::string::npos) << "the check's start";
    EXPECT_TRUE(kept.ends_with("Result Summarize\r\n")) << "the newest lines";
    // Whole lines only: every line kept is one of those written.
    std::size_t at = 0;
    while (at < kept.size()) {
        const std::size_t end = kept.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = kept.substr(at, end + 2 - at);
        EXPECT_NE(all.find(line), std::string::npos) << line;
        EXPECT_TRUE(at == 0 || kept.compare(at - 2, 2, "\r\n") == 0);
        at = end + 2;
    }
}

// One row per line:
// clang-format off
const KeepCase kKeepCases[] = {
    {.name = "AnOrdinaryCheckIsKeptWhole", .cap = 4096, .linesBefore = 5, .floodLines = 20},
    {.name = "WithoutLogFileNothingIsKept", .keep = false, .cap = 4096, .linesBefore = 5, .floodLines = 5000},
    {.name = "TextBeforeTheCheckGoesFirst", .cap = 4096, .linesBefore = 300, .floodLines = 20, .everything = false, .beforeKept = false},
    {.name = "AFloodKeepsTheStartAndTheNewest", .cap = 4096, .linesBefore = 5, .floodLines = 100000, .everything = false, .beforeKept = false},
    // --respond runs no check: the banner and the newest lines are kept.
    {.name = "RespondModeKeepsBannerAndNewest", .cap = 4096, .linesBefore = 5, .checkStarts = false, .floodLines = 100000, .everything = false, .beforeKept = true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cli, LogKeeper, ::testing::ValuesIn(kKeepCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
