// Paths and messages reach the log as the text they are: UTF-8 stays UTF-8, any other byte is
// the Latin-1 character it always was, and nothing comes out as malformed UTF-8.

#include "core/utf8_text.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* name;
    std::string in;
    bool valid;
    std::string out;
};

TEST(Utf8Text, ValidSequencesStayAndOtherBytesAreLatin1) {
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {"Empty", "", true, ""},
        {"Ascii", "STUN.ini\r\n", true, "STUN.ini\r\n"},
        {"NulIsAscii", std::string("a\0b", 3), true, std::string("a\0b", 3)},
        {"Utf8Umlaut", "/home/u/Pr\xc3\xbc" "fung", true, "/home/u/Pr\xc3\xbc" "fung"},
        {"ThreeAndFourBytes", "\xe2\x82\xac \xf0\x9f\x93\xa7", true, "\xe2\x82\xac \xf0\x9f\x93\xa7"},
        {"HighestCodePoint", "\xf4\x8f\xbf\xbf", true, "\xf4\x8f\xbf\xbf"},
        {"Latin1Umlaut", "Pr\xfc" "fung", false, "Pr\xc3\xbc" "fung"},
        {"StrayContinuation", "\x80", false, "\xc2\x80"},
        {"CutShortAtTheEnd", "ab\xc3", false, "ab\xc3\x83"},
        {"CutShortBeforeAscii", "\xe2\x82x", false, "\xc3\xa2\xc2\x82x"},
        {"OverlongSlash", "\xc0\xaf", false, "\xc3\x80\xc2\xaf"},
        {"OverlongThreeBytes", "\xe0\x80\xaf", false, "\xc3\xa0\xc2\x80\xc2\xaf"},
        {"Surrogate", "\xed\xa0\x80", false, "\xc3\xad\xc2\xa0\xc2\x80"},
        {"AboveU10FFFF", "\xf4\x90\x80\x80", false, "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
        {"F5NeverLeads", "\xf5", false, "\xc3\xb5"},
        {"MixedKeepsTheValidPart", "\xfc\xc3\xbc", false, "\xc3\xbc\xc3\xbc"},
    };
    // clang-format on
    for (const Row& r : rows) {
        EXPECT_EQ(IsValidUtf8(r.in), r.valid) << r.name;
        const std::string out = ToValidUtf8(r.in);
        EXPECT_EQ(out, r.out) << r.name;
        EXPECT_TRUE(IsValidUtf8(out)) << r.name;
    }
}

}  // namespace
