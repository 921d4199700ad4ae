#include "core/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.Ok()); }

    std::string Ini() const { return m_dir.File("test.ini"); }
    std::string Get(const std::string& section, const std::string& key,
                    const std::string& def = "DEF", std::size_t size = 260) const {
        return ProfileGetString(section, key, def, size, Ini());
    }
    std::size_t EntryCount() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.Path()))
            ++n;
        return n;
    }

    TempDir m_dir;
};

// A file, one key of it and what to expect: the value read, or for a write, the file after.
struct ProfileCase {
    const char* why;
    std::string file;  // the file's bytes (before a write)
    const char* section;
    const char* key;
    std::string expected;
    const char* value = "";  // writes: what is written
};

TEST_F(ProfileTest, ReadRules) {
    const ProfileCase cases[] = {
        {"names compare case-insensitively", "[setting]\r\nstun1_ip=1.2.3.4\r\n", "Setting",
         "STUN1_IP", "1.2.3.4"},
        {"blanks and tabs around key and value go", "[S]\r\n \t K \t=\t  a  b \t \r\n", "S", "K",
         "a  b"},
        {"blanks inside the brackets go", "[  S \t]\r\nK=v\r\n", "s", "k", "v"},
        {"CR of a CRLF file is not part of the value", "[S]\r\nK=v\r\n", "S", "K", "v"},
        {"LF-only file", "[S]\nK=v\n", "S", "K", "v"},
        {"no newline at the end", "[S]\nK=v", "S", "K", "v"},
        {"first of duplicate keys wins", "[S]\nK=first\nK=second\n", "S", "K", "first"},
        {"first of duplicate sections wins", "[S]\nK=first\n[s]\nK=second\n", "S", "K", "first"},
        {"an empty value is a value", "[S]\nK=\n", "S", "K", ""},
        {"only the first '=' splits", "[S]\nK=a=b\n", "S", "K", "a=b"},
        {"missing key", "[S]\nOther=1\n", "S", "K", "DEF"},
        {"missing section", "[Other]\nK=1\n", "S", "K", "DEF"},
        {"empty file", "", "S", "K", "DEF"},
        {"key of another section", "[S]\nA=1\n[T]\nK=2\n", "S", "K", "DEF"},
        {"keys before any section belong to none", "K=loose\n[S]\nA=1\n", "S", "K", "DEF"},
        {"a commented key is no key", "[S]\n;K=commented\n  ; K=too\nK=real\n", "S", "K", "real"},
        {"only a comment", "[S]\n;K=commented\n", "S", "K", "DEF"},
        {"a prefix is not the key", "[S]\nKEY=1\n", "S", "K", "DEF"},
        {"a prefix is not the section", "[Settings]\nK=1\n", "Setting", "K", "DEF"},
        {"binary junk around", std::string("\x00\xff\x01\x7fjunk\n[S]\nK=v\n\xfe\xfe\x00", 20), "S",
         "K", "v"},
        {"a NUL ends the value as in a C buffer", std::string("[S]\nK=ab\0cd\n", 12), "S", "K",
         "ab"},
        {"junk without brackets or '='", "\x01\x02\x03\n[S]\nnonsense line\nK=v", "S", "K", "v"},
    };
    for (const ProfileCase& c : cases) {
        WriteBytes(Ini(), c.file);
        EXPECT_EQ(Get(c.section, c.key), c.expected) << c.why;
    }
}

TEST_F(ProfileTest, MissingFileGivesDefaultAndCreatesNothing) {
    EXPECT_EQ(Get("S", "K", "fallback"), "fallback");
    EXPECT_FALSE(fs::exists(Ini()));
    EXPECT_EQ(ProfileGetString("S", "K", "fallback", 50, m_dir.File("no/such/dir.ini")),
              "fallback");
}

// A directory where the file should be cannot be read: the default, and no crash.
TEST_F(ProfileTest, UnreadablePathGivesDefault) {
    fs::create_directory(Ini());
    EXPECT_EQ(Get("S", "K", "fallback"), "fallback");
}

TEST_F(ProfileTest, ValueAndDefaultAreCutToBufferSizeLessOne) {
    WriteBytes(Ini(), "[S]\nK=abcdef\n");
    EXPECT_EQ(Get("S", "K", "", 4), "abc");
    EXPECT_EQ(Get("S", "K", "", 7), "abcdef");
    EXPECT_EQ(Get("S", "K", "", 1), "");
    EXPECT_EQ(Get("S", "K", "", 0), "");
    EXPECT_EQ(Get("S", "missing", "uvwxyz", 3), "uv");
    EXPECT_EQ(Get("S", "missing", "uvwxyz", 0), "");
}

TEST_F(ProfileTest, VeryLongLinesAreReadWhole) {
    // Two lines of half a MiB each: the longest that fit in the largest file read (1 MiB).
    const std::string longLine((kMaxProfileBytes / 2) - 16, 'x');
    WriteBytes(Ini(), longLine + "\n[S]\nA=" + longLine + "\nK=v\n");
    EXPECT_EQ(Get("S", "K"), "v");
    EXPECT_EQ(Get("S", "A", "", 260), std::string(259, 'x'));
    EXPECT_EQ(Get("S", "A", "", longLine.size() + 1), longLine);
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
    ASSERT_TRUE(ProfileWriteString("Setting", "STUN1_IP", "1.2.3.4", Ini()));
    EXPECT_EQ(ReadBytes(Ini()), "[Setting]\r\nSTUN1_IP=1.2.3.4\r\n");
    ASSERT_TRUE(ProfileWriteString("Setting", "STUN1_PORT", "70", Ini()));
    EXPECT_EQ(ReadBytes(Ini()), "[Setting]\r\nSTUN1_IP=1.2.3.4\r\nSTUN1_PORT=70\r\n");
}

TEST_F(ProfileTest, WriteKeepsEveryOtherLine) {
    // One row per line:
    // clang-format off
    const ProfileCase cases[] = {
        {.why = "replaces in place, keeping the file's spelling of the key", .file = "; top comment\r\n[A]\r\nx=1\r\n[setting]\r\n  stun1_ip = 9.9.9.9 \r\nother=2\r\n\r\n[B]\r\ny=3\r\n", .section = "Setting", .key = "STUN1_IP", .expected = "; top comment\r\n[A]\r\nx=1\r\n[setting]\r\nstun1_ip=1.2.3.4\r\nother=2\r\n\r\n[B]\r\ny=3\r\n", .value = "1.2.3.4"},
        {.why = "appends after the section's last key, before blank lines and the next section", .file = "[S]\r\na=1\r\n; note\r\n\r\n[T]\r\nb=2\r\n", .section = "S", .key = "k", .expected = "[S]\r\na=1\r\nk=v\r\n; note\r\n\r\n[T]\r\nb=2\r\n", .value = "v"},
        {.why = "appends right after an empty section's header", .file = "[S]\r\n[T]\r\nb=2\r\n", .section = "S", .key = "k", .expected = "[S]\r\nk=v\r\n[T]\r\nb=2\r\n", .value = "v"},
        {.why = "only the first of duplicate keys changes", .file = "[S]\nk=1\nk=2\n", .section = "S", .key = "K", .expected = "[S]\nk=3\nk=2\n", .value = "3"},
        {.why = "appends a new section after a blank line", .file = "[A]\r\nx=1\r\n", .section = "S", .key = "k", .expected = "[A]\r\nx=1\r\n\r\n[S]\r\nk=v\r\n", .value = "v"},
        {.why = "no trailing newline is completed, then appended", .file = "[A]\r\nx=1", .section = "S", .key = "k", .expected = "[A]\r\nx=1\r\n\r\n[S]\r\nk=v\r\n", .value = "v"},
        {.why = "no trailing newline in the same section", .file = "[S]\nx=1", .section = "S", .key = "k", .expected = "[S]\nx=1\nk=v\n", .value = "v"},
        {.why = "an LF file stays LF", .file = "[S]\nA=1\n", .section = "S", .key = "B", .expected = "[S]\nA=1\nB=2\n", .value = "2"},
        {.why = "a one-line file gets CRLF", .file = "[S]", .section = "S", .key = "B", .expected = "[S]\r\nB=2\r\n", .value = "2"},
        {.why = "binary junk survives byte for byte", .file = std::string("\x00\xff\n[S]\nk=1\n\x01\x02", 13), .section = "S", .key = "k", .expected = std::string("\x00\xff\n[S]\nk=2\n\x01\x02", 13), .value = "2"},
        {.why = "an empty value is written", .file = "[S]\nk=1\n", .section = "S", .key = "k", .expected = "[S]\nk=\n", .value = ""},
    };
    // clang-format on
    for (const ProfileCase& c : cases) {
        WriteBytes(Ini(), c.file);
        ASSERT_TRUE(ProfileWriteString(c.section, c.key, c.value, Ini())) << c.why;
        EXPECT_EQ(ReadBytes(Ini()), c.expected) << c.why;
        EXPECT_EQ(Get(c.section, c.key), c.value) << c.why;
    }
}

// Several keys in one write end exactly as one write per key would, in one replacement.
TEST_F(ProfileTest, WriteStringsMatchesOneWritePerKeyInOneReplacement) {
    struct Case {
        const char* why;
        std::string file;  // empty: no file
        std::vector<ProfileEntry> entries;
    };
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.why = "no file: section and keys in order", .file = "", .entries = {{"A", "1"}, {"B", "2"}, {"C", "3"}}},
        {.why = "in place and appended, others kept", .file = "; c\r\n[x]\r\nq=0\r\n[S]\r\nb = old \r\n;n\r\n\r\n[T]\r\nA=t\r\n", .entries = {{"A", "1"}, {"B", "2"}, {"C", ""}}},
        {.why = "LF file without a last line end", .file = "[S]\nA=0", .entries = {{"B", "2"}, {"A", "1"}}},
        {.why = "new section after another", .file = "[T]\r\nk=v", .entries = {{"A", "1"}, {"B", "2"}}},
        {.why = "the same key twice: the last value stays", .file = "[S]\n", .entries = {{"A", "1"}, {"a", "2"}}},
        {.why = "binary junk kept", .file = std::string("\x00\xff\n[S]\nA=1\n\x01", 12), .entries = {{"A", "9"}, {"Z", "8"}}},
    };
    // clang-format on
    const std::string oneByOne = m_dir.File("one-by-one.ini");
    for (const Case& c : cases) {
        std::remove(Ini().c_str());
        std::remove(oneByOne.c_str());
        if (!c.file.empty()) {
            WriteBytes(Ini(), c.file);
            WriteBytes(oneByOne, c.file);
        }
        for (const ProfileEntry& e : c.entries)
            ASSERT_TRUE(ProfileWriteString("S", e.key, e.value, oneByOne)) << c.why;
        bool ok = false;
#ifdef _WIN32  // no inotify: the content alone is compared
        ok = ProfileWriteStrings("S", c.entries, Ini());
#else
        EXPECT_EQ(CountReplacements(m_dir.Path(), "test.ini",
                                    [&] { ok = ProfileWriteStrings("S", c.entries, Ini()); }),
                  1)
            << c.why;
#endif
        EXPECT_TRUE(ok) << c.why;
        EXPECT_EQ(ReadBytes(Ini()), ReadBytes(oneByOne)) << c.why;
    }
}

TEST_F(ProfileTest, WriteStringsWritesNothingWhenOneEntryCannotBeWritten) {
    const std::string before = "[S]\r\nA=1\r\n";
    WriteBytes(Ini(), before);
    EXPECT_FALSE(ProfileWriteStrings("S", {{"A", "2"}, {"B", "x\ny=z"}}, Ini()));
    EXPECT_EQ(ReadBytes(Ini()), before);
    EXPECT_FALSE(ProfileWriteStrings("S", {{"A", "2"}}, m_dir.File("no/such/dir/x.ini")));
}

TEST_F(ProfileTest, WriteLeavesNoTemporaryFileBehind) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(ProfileWriteString("S", "K" + std::to_string(i % 4), std::to_string(i), Ini()));
    }
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(Get("S", "K3"), "19");
}

#ifndef _WIN32  // POSIX file modes
TEST_F(ProfileTest, WriteKeepsTheFileMode) {
    WriteBytes(Ini(), "[S]\nk=1\n");
    ASSERT_EQ(::chmod(Ini().c_str(), 0640), 0);
    ASSERT_TRUE(ProfileWriteString("S", "k", "2", Ini()));
    struct stat st {};
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}
#endif

#ifndef _WIN32  // symbolic links need privileges on Windows, and wine makes none
// Renaming over a symbolic link would replace the link with a copy; the target must change.
TEST_F(ProfileTest, WriteThroughSymlinkUpdatesTheTarget) {
    const std::string real = m_dir.File("real.ini");
    WriteBytes(real, "[S]\nk=1\n");
    fs::create_symlink(real, Ini());
    ASSERT_TRUE(ProfileWriteString("S", "k", "2", Ini()));
    EXPECT_TRUE(fs::is_symlink(Ini()));
    EXPECT_EQ(ReadBytes(real), "[S]\nk=2\n");
}
#endif

TEST_F(ProfileTest, WriteFailsWhereNothingCanBeWritten) {
    EXPECT_FALSE(ProfileWriteString("S", "k", "v", m_dir.File("no/such/dir/x.ini")));
    // A path that exists but cannot be read must not be replaced by a file with one key.
    fs::create_directory(Ini());
    EXPECT_FALSE(ProfileWriteString("S", "k", "v", Ini()));
    EXPECT_TRUE(fs::is_directory(Ini()));
    EXPECT_EQ(EntryCount(), 1u) << "no temporary left behind";
}

// Only a regular file of at most 1 MiB is read: a FIFO would block the reader until some writer
// came, a device could stream without end. Such a file reads as missing and is never replaced.
TEST_F(ProfileTest, NonRegularAndHugeFilesAreRefusedWithoutBlocking) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;  // null: path is a FIFO
        const char* path;                                   // null: the test's Ini()
        ProfileAccess access;
        const char* reason;
    };
    const std::string big = "[S]\nK=v\n" + std::string(kMaxProfileBytes, ';');
    const Case cases[] = {
#ifndef _WIN32  // FIFOs and /dev are POSIX
        {"fifo", nullptr, nullptr, ProfileAccess::kNotRegular, "is a FIFO, not a regular file"},
#endif
        {"directory", [](const std::string& p) { fs::create_directory(p); }, nullptr,
         ProfileAccess::kNotRegular, "is a directory, not a regular file"},
#ifndef _WIN32
        {"device", nullptr, "/dev/zero", ProfileAccess::kNotRegular,
         "is a character device, not a regular file"},
#endif
        {"over 1 MiB", [&big](const std::string& p) { WriteBytes(p, big); }, nullptr,
         ProfileAccess::kTooLarge, "is larger than 1 MiB"},
        {"1 MiB exactly",
         [](const std::string& p) {
             WriteBytes(p, "[S]\nK=v\n" + std::string(kMaxProfileBytes - 9, ';'));
         },
         nullptr, ProfileAccess::kReadable, ""},
    };
    for (const Case& c : cases) {
        const std::string path = c.path ? c.path : m_dir.File(std::string("f-") + c.name);
#ifndef _WIN32
        const bool fifo = c.make == nullptr && c.path == nullptr;
        std::unique_ptr<FifoGuard> guard;
        if (fifo) {
            guard = std::make_unique<FifoGuard>(path);
            ASSERT_TRUE(guard->Made());
        } else if (c.make) {
            c.make(path);
        }
#else
        if (c.make)
            c.make(path);
#endif
        const auto start = std::chrono::steady_clock::now();
        const ProfileFileState state = CheckProfileFile(path);
        EXPECT_EQ(state.access, c.access) << c.name;
        EXPECT_EQ(state.reason, c.reason) << c.name;
        const bool readable = c.access == ProfileAccess::kReadable;
        EXPECT_EQ(ProfileGetString("S", "K", "DEF", 50, path), readable ? "v" : "DEF") << c.name;
        if (!c.path) {
            EXPECT_EQ(ProfileWriteString("S", "K", "w", path), readable) << c.name;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
#ifndef _WIN32
        if (guard) {
            EXPECT_FALSE(guard->Rescued()) << "the reader blocked on the FIFO";
            guard.reset();
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
        }
#endif
    }
}

// A line break in a name or value would add keys or sections nobody asked for.
TEST_F(ProfileTest, WriteRefusesNamesAndValuesThatBreakTheLineStructure) {
    const std::string before = "[S]\r\nk=1\r\n";
    struct Case {
        std::string section, key, value;
    };
    const Case cases[] = {
        {"S", "k", "v\r\n[Setting]\r\nSTUN1_IP=6.6.6.6"},
        {"S", "k", "v\nx=y"},
        {"S", "k", std::string("a\0b", 3)},
        {"S", "k=j", "v"},
        {"S", "k\n", "v"},
        {"S", "", "v"},
        {"S", " k", "v"},
        {"S", ";k", "v"},
        {"S", "[k", "v"},
        {"", "k", "v"},
        {"S]", "k", "v"},
        {"S\r\n", "k", "v"},
    };
    for (const Case& c : cases) {
        WriteBytes(Ini(), before);
        EXPECT_FALSE(ProfileWriteString(c.section, c.key, c.value, Ini()))
            << "[" << c.section << "] " << c.key;
        EXPECT_EQ(ReadBytes(Ini()), before);
    }
}

}  // namespace
