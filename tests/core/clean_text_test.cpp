// Network text reaches a log or a terminal as printable ASCII, cut to a sane length.

#include "core/clean_text.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* name;
    std::string in;
    std::size_t max;
    std::string out;
};

TEST(CleanNetworkText, KeepsPrintableAsciiOnly) {
    const Row rows[] = {
        {"Plain", "Bad Request", 100, "Bad Request"},
        {"LineBreaksAndEscape", "Server Error\r\n\x1b[2J***", 100, "Server Error???[2J***"},
        {"TabAndDel", "a\tb\x7f", 100, "a?b?"},
        {"Utf8BytesEach",
         "Pr\xc3\xbc"
         "fung",
         100, "Pr??fung"},
        {"NulInside", std::string("a\0b", 3), 100, "a?b"},
        {"CutAtTheLimit", "abcdefgh", 5, "abcde..."},
        {"ExactlyTheLimit", "abcde", 5, "abcde"},
        {"Empty", "", 5, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(CleanNetworkText(r.in, r.max), r.out) << r.name;
}

}  // namespace
