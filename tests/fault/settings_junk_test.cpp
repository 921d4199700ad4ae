// STUN.ini as people and broken disks leave it: binary bytes, very long lines, a missing
// section, repeated sections and keys, a last line cut short. Loading never crashes, reads the
// first occurrence, falls back to the defaults, and a later save keeps what it does not own.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "core/profile.h"
#include "core/settings.h"
#include "tests/core/temp_dir.h"

namespace {

std::uint32_t Ip(const char* dotted) {
    return ::inet_addr(dotted);
}

struct JunkRow {
    const char* name;
    std::string file;
    // Expected, in network order; the defaults are 192.168.0.55:70 and 192.168.0.97:1170.
    const char* server1;
    std::uint16_t port1;
    const char* server2;
    std::uint16_t port2;
    const char* friendIp;
    bool complete;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const JunkRow& row, std::ostream* os) {
    *os << row.name;
}

class SettingsJunk : public ::testing::TestWithParam<JunkRow> {};

TEST_P(SettingsJunk, LoadsByTheProfileRules) {
    const JunkRow& row = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.File("STUN.ini");
    WriteBytes(path, row.file);
    StunSettings s;
    EXPECT_EQ(LoadSettings(s, path), row.complete);
    EXPECT_EQ(s.server1Ip, Ip(row.server1));
    EXPECT_EQ(s.server1Port, htons(row.port1));
    EXPECT_EQ(s.server2Ip, Ip(row.server2));
    EXPECT_EQ(s.server2Port, htons(row.port2));
    EXPECT_EQ(s.friendIp, Ip(row.friendIp));
}

const std::string kBinary = [] {
    std::string b;
    for (int i = 0; i < 256; ++i)
        b += static_cast<char>(i);
    return b;
}();

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsJunk,
    ::testing::Values(
        JunkRow{"BinaryOnly", kBinary + kBinary, "192.168.0.55", 70, "192.168.0.97", 1170,
                "0.0.0.0", true},
        // Bytes before the section and inside a value: the line still parses up to its end.
        JunkRow{"BinaryAroundGoodLines",
                kBinary + "\n[Setting]\nSTUN1_IP=127.0.0.10\nSTUN1_PORT=7000\xff\xfe\n" + kBinary,
                "127.0.0.10", 7000, "192.168.0.97", 1170, "0.0.0.0", true},
        // A NUL ends the value as it ends a C buffer.
        JunkRow{"NulInsideAValue", std::string("[Setting]\nSTUN2_IP=127.0.0.20\0junk\n", 34),
                "192.168.0.55", 70, "127.0.0.20", 1170, "0.0.0.0", true},
        // A comment line of most of the largest file read (1 MiB); a port of 52 characters is
        // cut to its first 49 (48 zeros and a 7); an address with 10000 characters of junk is no
        // address.
        JunkRow{"VeryLongLines",
                "[Setting]\n; " + std::string((1 << 20) - 20000, 'x') + "\nSTUN1_IP=127.0.0.1" +
                    std::string(10000, 'y') + "\nSTUN1_PORT=" + std::string(48, '0') +
                    "7000\nSTUN2_PORT=7100\n",
                "255.255.255.255", 7, "192.168.0.97", 7100, "0.0.0.0", true},
        JunkRow{"MissingSection",
                "STUN1_IP=127.0.0.10\nSTUN1_PORT=7000\n[Other]\nSTUN2_IP=1.2.3.4\n", "192.168.0.55",
                70, "192.168.0.97", 1170, "0.0.0.0", true},
        // The first [Setting] section counts, and in it the first of a repeated key.
        JunkRow{"DuplicateKeysAndSections",
                "[setting]\nstun1_ip = 127.0.0.1\nSTUN1_IP=127.0.0.2\nFRIEND_IP=127.0.0.3\n"
                "[Setting]\nSTUN1_IP=127.0.0.4\nSTUN2_IP=127.0.0.5\n",
                "127.0.0.1", 70, "192.168.0.97", 1170, "127.0.0.3", true},
        JunkRow{"ZeroPortIsIncomplete", "[Setting]\nSTUN2_PORT=0\n", "192.168.0.55", 70,
                "192.168.0.97", 0, "0.0.0.0", false},
        // Found by fuzzing: a file whose last line was cut between CR and LF.
        JunkRow{"LastLineCutBetweenCrAndLf", "[Setting]\nSTUN1_PORT=7000\r", "192.168.0.55", 7000,
                "192.168.0.97", 1170, "0.0.0.0", true}),
    [](const auto& p) { return std::string(p.param.name); });

// Found by fuzzing: with the last line cut between CR and LF, the CR was read as part of the
// value, and a later save of another key (which completes that line) silently changed it.
TEST(SettingsJunkWrite, LastLineCutBetweenCrAndLfReadsTheSameBeforeAndAfterASave) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.File("STUN.ini");
    WriteBytes(path, "[Setting]\nREPORT = me@lab.test  \r");
    EXPECT_EQ(LoadReportRecipient(path), "me@lab.test");
    ASSERT_TRUE(ProfileWriteString("Setting", "STUN1_PORT", "7000", path));
    EXPECT_EQ(LoadReportRecipient(path), "me@lab.test");
    // The cut line end is completed as CR LF, the new key takes the file's own.
    EXPECT_EQ(ReadBytes(path), "[Setting]\nREPORT = me@lab.test  \r\nSTUN1_PORT=7000\n");
}

// Found by fuzzing, after the fix above: a last line ending in two CRs keeps the first in its
// value (as a complete line with CR CR LF does); completing the line must not take it away.
TEST(SettingsJunkWrite, LastLineEndingInTwoCrsReadsTheSameAfterASave) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.File("STUN.ini");
    WriteBytes(path, "[Setting]\nFRIEND_IP = 10.0.0.1\r\r");
    const std::string before = ProfileGetString("Setting", "FRIEND_IP", "", 50, path);
    ASSERT_TRUE(ProfileWriteString("Setting", "STUN1_PORT", "7000", path));
    EXPECT_EQ(ProfileGetString("Setting", "FRIEND_IP", "", 50, path), before);
    EXPECT_EQ(ProfileGetString("Setting", "STUN1_PORT", "", 50, path), "7000");
}

// A file cut short keeps its CR when nothing is appended after it.
TEST(SettingsJunkWrite, LoneCrOfTheLastLineSurvivesAnEditElsewhere) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.File("STUN.ini");
    WriteBytes(path, "[Setting]\r\nSTUN1_PORT=1\r\n[Other]\r\nx=1\r");
    ASSERT_TRUE(ProfileWriteString("Setting", "STUN1_PORT", "2", path));
    EXPECT_EQ(ReadBytes(path), "[Setting]\r\nSTUN1_PORT=2\r\n[Other]\r\nx=1\r");
    EXPECT_EQ(ProfileGetString("Other", "x", "", 50, path), "1");
}

// Saving into a junk file rewrites the five keys and leaves every other byte where it was.
TEST(SettingsJunkWrite, SaveIntoABinaryFileKeepsTheJunk) {
    TempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.File("STUN.ini");
    const std::string junk = kBinary + "\n";
    WriteBytes(path, junk);
    SaveSettings(0x7F00000A, 7000, 0x7F000014, 7100, 0, path);
    const std::string after = ReadBytes(path);
    EXPECT_EQ(after.substr(0, junk.size()), junk);
    StunSettings s;
    EXPECT_TRUE(LoadSettings(s, path));
    EXPECT_EQ(s.server1Ip, Ip("127.0.0.10"));
    EXPECT_EQ(s.server2Port, htons(7100));
}

}  // namespace
