// What the client writes besides the engine: stdout line ends, the progress line, the presenter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_presenter.h"
#include "cli/console.h"
#include "engine/nat_prober.h"

namespace {

// Each piece goes through Convert in turn, then Flush twice. A piece ending in "\r" must not
// print it before knowing what follows; a lone one survives, at the latest in Flush.
TEST(LineEnds, CrLfBecomesLfAcrossPiecesAndLoneCarriageReturnsSurvive) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> converted;  // one per piece
        std::string flushed;
    };
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "CRLF split across pieces", .pieces = {"banner\r\n", "a\r\nb\r\n\r\n", "half\r", "\nnext"}, .converted = {"banner\n", "a\nb\n\n", "half", "\nnext"}, .flushed = ""},
        {.name = "lone CR", .pieces = {"x\ry", "end\r", "z", "tail\r"}, .converted = {"x\ry", "end", "\rz", "tail"}, .flushed = "\r"},
    };
    // clang-format on
    for (const Case& c : cases) {
        CLineEndConverter converter;
        std::vector<std::string> converted;
        for (const std::string& piece : c.pieces)
            converted.push_back(converter.Convert(piece));
        EXPECT_EQ(converted, c.converted) << c.name;
        EXPECT_EQ(converter.Flush(), c.flushed) << c.name;
        EXPECT_EQ(converter.Flush(), "") << c.name;
    }
}

struct Recorder {
    std::vector<std::string> writes;
    CProgressLine Line(bool enabled) {
        return CProgressLine([this](const std::string& s) { writes.push_back(s); }, enabled);
    }
};

TEST(Progress, RedrawsInPlaceAndBlanksOverALongerOldText) {
    Recorder r;
    CProgressLine line = r.Line(true);
    line.Show("abcdef");
    line.Show("abcdef");  // unchanged: not redrawn
    line.Show("xy");
    line.Clear();
    line.Clear();  // nothing shown: nothing written
    line.Show("q");
    EXPECT_EQ(r.writes, (std::vector<std::string>{"\rabcdef", "\rxy    ", "\r      \r", "\rq"}));
}

TEST(Progress, EmptyTextClearsTheLine) {
    Recorder r;
    CProgressLine line = r.Line(true);
    line.Show("abc");
    line.Show("");
    EXPECT_EQ(r.writes, (std::vector<std::string>{"\rabc", "\r   \r"}));
}

// Standard error redirected to a file or pipe gets no progress at all.
TEST(Progress, DisabledLineWritesNothing) {
    Recorder r;
    CProgressLine line = r.Line(false);
    line.Show("abc");
    line.Clear();
    EXPECT_TRUE(r.writes.empty());
}

TEST(Presenter, WithReportAnswersOkTickedAndPrintsTheLink) {
    std::vector<std::string> printed;
    CCliPresenter p(true, [&](const std::string& s) { printed.push_back(s); });
    bool send = false;
    EXPECT_TRUE(p.ShowResult({"NAT INCOMING PACKAGES FILTER :    OPEN"}, send));
    EXPECT_TRUE(send);
    p.OpenLink("mailto:a@b?subject= Report");
    EXPECT_EQ(printed, (std::vector<std::string>{"mailto:a@b?subject= Report"}));
}

TEST(Presenter, WithoutReportCountsAsCancelled) {
    CCliPresenter p(false, [](const std::string&) {});
    bool send = true;
    EXPECT_FALSE(p.ShowResult({"x"}, send));
    EXPECT_FALSE(send);
}

}  // namespace
