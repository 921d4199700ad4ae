#include "core/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/exe_path.h"
#include "core/host_resolver.h"
#include "core/log.h"
#include "core/sys_inet.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Host-order address from its four octets, first octet most significant.
constexpr std::uint32_t Host(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.Ok()); }
    std::string Ini() const { return m_dir.File("STUN.ini"); }

    TempDir m_dir;
};

TEST_F(SettingsTest, MissingFileLoadsDefaultsSucceedsAndCreatesNothing) {
    StunSettings s;
    s.friendIp = 12345;  // stale input must be cleared
    EXPECT_TRUE(LoadSettings(s, Ini()));
    EXPECT_EQ(s.server1Ip, htonl(Host(192, 168, 0, 55)));
    EXPECT_EQ(s.server1Port, htons(70));
    EXPECT_EQ(s.server2Ip, htonl(Host(192, 168, 0, 97)));
    EXPECT_EQ(s.server2Port, htons(1170));
    EXPECT_EQ(s.friendIp, 0u);
    EXPECT_FALSE(fs::exists(Ini()));
    EXPECT_EQ(LoadReportRecipient(Ini()), kMakerSupportAddress);
    EXPECT_FALSE(fs::exists(Ini()));
}

TEST_F(SettingsTest, PortTextLoadsAsLow16BitsOfAtoi) {
    struct Case {
        const char* text;
        std::uint16_t port;  // host order
        bool loads;
    };
    const Case cases[] = {
        {"3478", 3478, true},  {"65535", 65535, true}, {"65606", 70, true},  // 65536 + 70
        {"70000", 4464, true},                                               // 70000 - 65536
        {"-1", 65535, true},   {"65536", 0, false},    {"0", 0, false},      {"", 0, false},
        {"abc", 0, false},     {"12abc", 12, true},    {"  80  ", 80, true},
    };
    for (const Case& c : cases) {
        WriteBytes(Ini(), std::string("[Setting]\r\nSTUN2_PORT=") + c.text + "\r\n");
        StunSettings s;
        EXPECT_EQ(LoadSettings(s, Ini()), c.loads) << "'" << c.text << "'";
        EXPECT_EQ(ntohs(s.server2Port), c.port) << "'" << c.text << "'";
        EXPECT_EQ(ntohs(s.server1Port), 70) << "the other port keeps its default";
    }
}

TEST_F(SettingsTest, AddressTextLoadsThroughInetAddr) {
    struct Case {
        const char* key;
        const char* text;
        std::uint32_t expected;  // network order
        bool loads;
    };
    const Case cases[] = {
        {"FRIEND_IP", "0.0.0.0", 0, true},
        {"FRIEND_IP", "10.1.2.3", htonl(Host(10, 1, 2, 3)), true},
        {"STUN1_IP", "0.0.0.0", 0, false},
        {"STUN2_IP", "0.0.0.0", 0, false},
        {"STUN1_IP", "127.0.0.1", htonl(Host(127, 0, 0, 1)), true},
        // inet_addr's error value is all ones, which is not zero and so passes.
        {"STUN1_IP", "not an address", 0xFFFFFFFFu, true},
        {"STUN2_IP", "300.1.1.1", 0xFFFFFFFFu, true},
    };
    for (const Case& c : cases) {
        WriteBytes(Ini(), std::string("[Setting]\r\n") + c.key + "=" + c.text + "\r\n");
        StunSettings s;
        EXPECT_EQ(LoadSettings(s, Ini()), c.loads) << c.key << "=" << c.text;
        const std::string key = c.key;
        const std::uint32_t got = key == "FRIEND_IP"  ? s.friendIp
                                  : key == "STUN1_IP" ? s.server1Ip
                                                      : s.server2Ip;
        EXPECT_EQ(got, c.expected) << c.key << "=" << c.text;
    }
}

// The values are read into 50-byte buffers: the 50th character and beyond never count.
TEST_F(SettingsTest, ValuesAreCutAt49Characters) {
    const std::string port = std::string(47, '0') + "123";  // 50 characters
    const std::string report = std::string(300, 'r');
    WriteBytes(Ini(), "[Setting]\nSTUN1_PORT=" + port + "\nREPORT=" + report + "\n");
    StunSettings s;
    EXPECT_TRUE(LoadSettings(s, Ini()));
    EXPECT_EQ(ntohs(s.server1Port), 12);
    EXPECT_EQ(LoadReportRecipient(Ini()), std::string(259, 'r'));
}

TEST_F(SettingsTest, ReportRecipientComesFromTheFile) {
    WriteBytes(Ini(), "[setting]\r\nreport = noc@example.net \r\n");
    EXPECT_EQ(LoadReportRecipient(Ini()), "noc@example.net");
}

TEST_F(SettingsTest, SaveWritesDottedAddressesAndLow16BitPorts) {
    EXPECT_TRUE(SaveSettings(0xC0A80037u, 65606, 0xC0A80061u, 1170, 0, Ini()));
    EXPECT_EQ(ReadBytes(Ini()),
              "[Setting]\r\n"
              "STUN1_IP=192.168.0.55\r\n"
              "STUN1_PORT=70\r\n"
              "STUN2_IP=192.168.0.97\r\n"
              "STUN2_PORT=1170\r\n"
              "FRIEND_IP=0.0.0.0\r\n");

    // Octets above 127 must not come out negative.
    EXPECT_TRUE(SaveSettings(0xFFFFFFFFu, 0xFFFFFFFFu, Host(200, 128, 129, 255), 65536 + 65535,
                             Host(10, 0, 0, 9), Ini()));
    EXPECT_EQ(ReadBytes(Ini()),
              "[Setting]\r\n"
              "STUN1_IP=255.255.255.255\r\n"
              "STUN1_PORT=65535\r\n"
              "STUN2_IP=200.128.129.255\r\n"
              "STUN2_PORT=65535\r\n"
              "FRIEND_IP=10.0.0.9\r\n");
}

// The dialog's view of the file: each value as written, the defaults for missing keys, and the
// same text written back.
TEST_F(SettingsTest, TextsLoadAsWrittenAndSaveAsGiven) {
    WriteBytes(Ini(),
               "[Setting]\r\nSTUN1_IP= stun.example.net \r\nSTUN2_PORT=70000\r\n"
               "FRIEND_IP=127.1\r\n");
    const SettingsText text = LoadSettingsText(Ini());
    EXPECT_EQ(text, (SettingsText{.server1Ip = "stun.example.net",
                                  .server1Port = "70",
                                  .server2Ip = "192.168.0.97",
                                  .server2Port = "70000",
                                  .friendIp = "127.1"}));
    ASSERT_TRUE(SaveSettingsText(text, Ini()));
    EXPECT_EQ(ReadBytes(Ini()),
              "[Setting]\r\nSTUN1_IP=stun.example.net\r\nSTUN2_PORT=70000\r\n"
              "FRIEND_IP=127.1\r\nSTUN1_PORT=70\r\nSTUN2_IP=192.168.0.97\r\n");
    EXPECT_EQ(LoadSettingsText(Ini()), text);
}

TEST_F(SettingsTest, SaveKeepsReportUnknownKeysOtherSectionsAndComments) {
    // What the save must leave as it was, around the section's keys.
    const std::string head =
        "; written by hand\r\n"
        "[Other]\r\n"
        "STUN1_IP=must stay\r\n"
        "[Setting]\r\n"
        "REPORT=noc@example.net\r\n"
        "; servers\r\n";
    const std::string tail =
        "\r\n"
        "[Last]\r\n"
        "x=y\r\n";
    WriteBytes(Ini(), head + "STUN1_IP=1.1.1.1\r\nExtra=keep me\r\nSTUN2_PORT=9\r\n" + tail);
    ASSERT_TRUE(SaveSettings(Host(127, 0, 0, 1), 70, Host(127, 0, 0, 2), 1170, 0, Ini()));
    // Keys already there change in place; the missing ones follow the section's last key.
    EXPECT_EQ(ReadBytes(Ini()), head +
                                    "STUN1_IP=127.0.0.1\r\n"
                                    "Extra=keep me\r\n"
                                    "STUN2_PORT=1170\r\n"
                                    "STUN1_PORT=70\r\n"
                                    "STUN2_IP=127.0.0.2\r\n"
                                    "FRIEND_IP=0.0.0.0\r\n" +
                                    tail);
    EXPECT_EQ(LoadReportRecipient(Ini()), "noc@example.net");
}

TEST_F(SettingsTest, SaveReportsAFileThatCannotBeWritten) {
    EXPECT_FALSE(SaveSettings(1, 2, 3, 4, 5, m_dir.File("no/such/dir/STUN.ini")));
    EXPECT_FALSE(fs::exists(m_dir.File("no")));
}

#ifndef _WIN32  // counts replacements with inotify
// A check started while the dialog saves must never read some keys old and some new.
TEST_F(SettingsTest, SaveReplacesTheFileOnceForAllFiveKeys) {
    WriteBytes(Ini(), "[Setting]\r\nREPORT=noc@example.net\r\n");
    bool saved = false;
    EXPECT_EQ(CountReplacements(m_dir.Path(), "STUN.ini",
                                [&] {
                                    saved = SaveSettings(Host(127, 0, 0, 1), 70, Host(127, 0, 0, 2),
                                                         1170, 0, Ini());
                                }),
              1);
    EXPECT_TRUE(saved);
    StunSettings s;
    EXPECT_TRUE(LoadSettings(s, Ini()));
    EXPECT_EQ(s.server2Port, htons(1170));
    EXPECT_EQ(LoadReportRecipient(Ini()), "noc@example.net");
}
#endif

// Loading for a check: names looked up through a fake resolver (no query leaves the machine),
// the log bound to a string.
class SettingsForCheckTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        theLog.SetOutputWindow(&m_log);
        SetHostResolver([this](const std::string& name) {
            m_asked.push_back(name);
            HostLookup found;
            const auto known = m_names.find(name);
            if (known == m_names.end()) {
                found.error = "Name or service not known";
            } else {
                found.ok = true;
                found.addressNet = known->second;
            }
            return found;
        });
    }
    void TearDown() override {
        SetHostResolver({});
        theLog.SetOutputWindow(nullptr);
    }

    CStringLogTarget m_log;
    std::vector<std::string> m_asked;
    const std::map<std::string, std::uint32_t> m_names = {
        {"stun1.lab.test", htonl(Host(127, 0, 0, 2))},
        {"friend.lab.test", htonl(Host(127, 0, 0, 9))},
    };
};

TEST_F(SettingsForCheckTest, AddressesThatAreNoDottedQuadAreResolvedOrLoggedAndZero) {
    struct Case {
        const char* name;
        const char* server1;   // STUN1_IP's text
        const char* friendIp;  // FRIEND_IP's text
        AddressLookup lookup = {};
        std::uint32_t server1Ip = 0;  // network order
        std::uint32_t friendNet = 0;
        bool loads = false;
        std::vector<std::string> asked = {};
        std::string log = "";
        std::vector<std::string> unresolved = {};
    };
    const std::uint32_t kAllOnes = 0xFFFFFFFFu;
    const std::uint32_t kStun1 = htonl(Host(127, 0, 0, 2));
    const std::uint32_t kAt5 = htonl(Host(127, 0, 0, 5));
    const std::string kJunk = ": not a dotted IPv4 address or host name\r\n";
    const std::string kUnknown = ": Name or service not known\r\n";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "dotted quads: as LoadSettings, no lookup, no line", .server1 = "127.0.0.5", .friendIp = "0.0.0.0", .server1Ip = kAt5, .loads = true},
        {.name = "inet_addr's short forms stay as they were", .server1 = "127.1", .friendIp = "0x7f.1", .server1Ip = htonl(Host(127, 0, 0, 1)), .friendNet = htonl(Host(127, 0, 0, 1)), .loads = true},
        {.name = "the literal all-ones address is no name", .server1 = "255.255.255.255", .friendIp = "0.0.0.0", .server1Ip = kAllOnes, .loads = true},
        {.name = "host names resolve", .server1 = "stun1.lab.test", .friendIp = "friend.lab.test", .server1Ip = kStun1, .friendNet = htonl(Host(127, 0, 0, 9)), .loads = true, .asked = {"stun1.lab.test", "friend.lab.test"}},
        {.name = "an unknown server name is zero, said in the log", .server1 = "nowhere.lab.test", .friendIp = "0.0.0.0", .asked = {"nowhere.lab.test"}, .log = "Cannot resolve STUN Server1 address \"nowhere.lab.test\"" + kUnknown, .unresolved = {"STUN1_IP cannot be resolved"}},
        {.name = "an unknown friend is none; the check still runs", .server1 = "127.0.0.5", .friendIp = "gone.lab.test", .server1Ip = kAt5, .loads = true, .asked = {"gone.lab.test"}, .log = "Cannot resolve friend address \"gone.lab.test\"" + kUnknown, .unresolved = {"FRIEND_IP cannot be resolved"}},
        {.name = "junk is never a query", .server1 = "300.1.1.1", .friendIp = "a b", .log = "Cannot resolve STUN Server1 address \"300.1.1.1\"" + kJunk + "Cannot resolve friend address \"a b\"" + kJunk, .unresolved = {"STUN1_IP cannot be resolved", "FRIEND_IP cannot be resolved"}},
        {.name = "a value the caller replaces is neither looked up nor logged", .server1 = "nowhere.lab.test", .friendIp = "0.0.0.0", .lookup = {.server1 = false, .server2 = true, .friendAddress = true}, .server1Ip = kAllOnes, .loads = true},
    };
    // clang-format on
    for (const Case& c : cases) {
        WriteBytes(Ini(), std::string("[Setting]\r\nSTUN1_IP=") + c.server1 +
                              "\r\nSTUN1_PORT=3478\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=3479\r\n"
                              "FRIEND_IP=" +
                              c.friendIp + "\r\n");
        m_log.Clear();
        m_asked.clear();
        StunSettings s;
        std::vector<std::string> unresolved;
        EXPECT_EQ(ReadSettingsForCheck(s, Ini(), c.lookup, &unresolved),
                  c.loads ? SettingsLoad::kComplete : SettingsLoad::kIncomplete)
            << c.name;
        EXPECT_EQ(s.server1Ip, c.server1Ip) << c.name;
        EXPECT_EQ(s.friendIp, c.friendNet) << c.name;
        EXPECT_EQ(s.server2Ip, htonl(Host(127, 0, 0, 3))) << c.name;
        EXPECT_EQ(ntohs(s.server1Port), 3478) << c.name;
        EXPECT_EQ(m_asked, c.asked) << c.name;
        EXPECT_EQ(m_log.Text(), c.log) << c.name;
        EXPECT_EQ(unresolved, c.unresolved) << c.name;
    }
}

// A port that says no port plainly used to load as atoi's low 16 bits: "70000" probed port 4464.
// For a check it is zero with a line saying why; plain ports load as LoadSettings loads them.
TEST_F(SettingsForCheckTest, PortsThatAreNoPlainNumberAreLoggedAndZero) {
    struct Case {
        const char* text;  // STUN2_PORT's
        std::uint16_t port;
        std::string log = "";
        AddressLookup lookup = {};
    };
    const std::string kBad = "\": not a number from 1 to 65535\r\n";
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.text = "3479", .port = 3479},
        {.text = "065535", .port = 65535},
        {.text = "0", .port = 0},
        {.text = "70000", .port = 0, .log = "Cannot use STUN Server2 port \"70000" + kBad},
        {.text = "-1", .port = 0, .log = "Cannot use STUN Server2 port \"-1" + kBad},
        {.text = "+80", .port = 0, .log = "Cannot use STUN Server2 port \"+80" + kBad},
        {.text = "99999999999999999999", .port = 0, .log = "Cannot use STUN Server2 port \"99999999999999999999" + kBad},
        {.text = "12abc", .port = 0, .log = "Cannot use STUN Server2 port \"12abc" + kBad},
        {.text = "", .port = 0, .log = "Cannot use STUN Server2 port \"" + kBad},
        {.text = "70000", .port = 4464, .lookup = {.server1 = true, .server2 = false, .friendAddress = true}},
    };
    // clang-format on
    for (const Case& c : cases) {
        WriteBytes(Ini(), std::string("[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=3478\r\n"
                                      "STUN2_IP=127.0.0.3\r\nSTUN2_PORT=") +
                              c.text + "\r\n");
        m_log.Clear();
        StunSettings s;
        std::vector<std::string> problems;
        EXPECT_EQ(ReadSettingsForCheck(s, Ini(), c.lookup, &problems),
                  c.port != 0 ? SettingsLoad::kComplete : SettingsLoad::kIncomplete)
            << c.text;
        EXPECT_EQ(ntohs(s.server2Port), c.port) << c.text;
        EXPECT_EQ(ntohs(s.server1Port), 3478) << c.text;
        EXPECT_EQ(m_log.Text(), c.log) << c.text;
        EXPECT_EQ(problems,
                  c.log.empty()
                      ? std::vector<std::string>{}
                      : std::vector<std::string>{"STUN2_PORT is not a number from 1 to 65535"})
            << c.text;
    }
}

#ifndef _WIN32  // a FIFO stands for the unreadable file
// A settings file that is there but cannot be read must not silently become the built-in
// defaults (someone else's servers): nothing loads, and the log says why.
TEST_F(SettingsForCheckTest, UnreadableFileLoadsNothingAndSaysWhyWithoutBlocking) {
    {
        FifoGuard fifo(Ini());
        ASSERT_TRUE(fifo.Made());
        StunSettings s;
        EXPECT_FALSE(LoadSettingsForCheck(s, Ini()));
        EXPECT_EQ(ReadSettingsForCheck(s, Ini()), SettingsLoad::kUnreadable);
        EXPECT_FALSE(fifo.Rescued()) << "the read blocked on the FIFO";
        EXPECT_EQ(s.server1Ip, 0u);
        const std::string line =
            "Cannot read the settings file \"" + Ini() + "\": it is a FIFO, not a regular file\r\n";
        EXPECT_EQ(m_log.Text(), line + line);
    }
    // A missing file is not unreadable: the defaults apply, silently, as before.
    fs::remove(Ini());
    m_log.Clear();
    StunSettings s;
    EXPECT_TRUE(LoadSettingsForCheck(s, Ini()));
    EXPECT_EQ(s.server1Ip, htonl(Host(192, 168, 0, 55)));
    EXPECT_EQ(m_log.Text(), "");
}
#endif

// The one rule for "no check": any zero server address or port; the friend does not count.
TEST(SettingsRule, AZeroServerAddressOrPortMeansNoCheck) {
    struct Case {
        StunSettings settings;
        const char* zeroKeys;
    };
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.settings = {.server1Ip = 1, .server1Port = 2, .server2Ip = 3, .server2Port = 4, .friendIp = 0}, .zeroKeys = ""},
        {.settings = {.server1Ip = 0, .server1Port = 2, .server2Ip = 3, .server2Port = 4, .friendIp = 5}, .zeroKeys = "STUN1_IP"},
        {.settings = {.server1Ip = 1, .server1Port = 0, .server2Ip = 3, .server2Port = 0, .friendIp = 5}, .zeroKeys = "STUN1_PORT, STUN2_PORT"},
        {.settings = {.server1Ip = 1, .server1Port = 2, .server2Ip = 0, .server2Port = 4, .friendIp = 5}, .zeroKeys = "STUN2_IP"},
        {.settings = {}, .zeroKeys = "STUN1_IP, STUN1_PORT, STUN2_IP, STUN2_PORT"},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(ZeroSettingKeys(c.settings), c.zeroKeys);
        EXPECT_EQ(SettingsComplete(c.settings), *c.zeroKeys == '\0') << c.zeroKeys;
    }
}

// Either example address in either server's place; a neighbour of one is a real server.
TEST(SettingsRule, TheBuiltInExampleServersAreRecognisedInEitherPlace) {
    const std::uint32_t ex1 = htonl(Host(192, 168, 0, 55));
    const std::uint32_t ex2 = htonl(Host(192, 168, 0, 97));
    const std::uint32_t real = htonl(Host(192, 168, 0, 56));
    EXPECT_TRUE(UsesExampleServers({.server1Ip = ex1, .server2Ip = ex2}));
    EXPECT_TRUE(UsesExampleServers({.server1Ip = real, .server2Ip = ex1}));
    EXPECT_TRUE(UsesExampleServers({.server1Ip = ex2, .server2Ip = real}));
    EXPECT_FALSE(UsesExampleServers({.server1Ip = real, .server2Ip = real}));
}

TEST(HostResolver, OnlyTextShapedLikeAHostNameIsEverLookedUp) {
    struct Case {
        std::string text;
        bool name;
    };
    const Case cases[] = {
        {"localhost", true},
        {"stun.example.net", true},
        {"a-1.b2.test.", true},
        {"xn--bcher-kva.test", true},
        {"10.0.0.1", false},
        {"1.2.3", false},
        {"0x7f.1", true},  // a valid (odd) name; inet_addr reads it first anyway
        {"", false},
        {".", false},
        {"a..b", false},
        {".a", false},
        {"a b", false},
        {"a_b", false},
        {"a\nb", false},
        {std::string(64, 'a') + ".test", false},
        {std::string(63, 'a') + ".test", true},
        {std::string(254, 'a'), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LooksLikeHostName(c.text), c.name) << "'" << c.text << "'";
}

// The one real lookup the tests make: "localhost", answered from the machine itself.
TEST(HostResolver, LocalhostResolvesToLoopbackAndJunkIsRefusedWithoutALookup) {
    const HostLookup local = ResolveIpv4Host("localhost");
    ASSERT_TRUE(local.ok) << local.error;
    EXPECT_EQ(ntohl(local.addressNet) >> 24, 127u);
    const HostLookup junk = ResolveIpv4Host("not a name");
    EXPECT_FALSE(junk.ok);
    EXPECT_EQ(junk.error, "not a dotted IPv4 address or host name");
}

TEST(SettingsPath, DefaultPathIsBesideTheExecutable) {
    // The system's own separator at the end: "/" here, "\\" on Windows.
    const std::string dir = (fs::canonical(CORE_TESTS_DIR) / "").string();
    EXPECT_EQ(ExecutableDirectory(), dir);
    EXPECT_EQ(DefaultSettingsPath(), dir + "STUN.ini");
}

// An installed copy (its directory not the user's own, no file there yet) keeps its settings in
// the user's own directory; everything else beside the executable, as ever.
struct PlacesRow {
    const char* name;
    SettingsPlaces places;
    const char* path;
    const char* problem;
};
// One row per line:
// clang-format off
const PlacesRow kPlaces[] = {
    {.name = "OwnBuildTree", .places = {.executableDir = "/b/", .besideExists = false, .executableDirIsUsers = true, .userDir = "/h/.config/gatewise/", .userDirProblem = ""}, .path = "/b/STUN.ini", .problem = ""},
    {.name = "InstalledNoFileYet", .places = {.executableDir = "/usr/bin/", .besideExists = false, .executableDirIsUsers = false, .userDir = "/h/.config/gatewise/", .userDirProblem = ""}, .path = "/h/.config/gatewise/STUN.ini", .problem = ""},
    {.name = "InstalledWithAFileBeside", .places = {.executableDir = "/usr/bin/", .besideExists = true, .executableDirIsUsers = false, .userDir = "/h/.config/gatewise/", .userDirProblem = ""}, .path = "/usr/bin/STUN.ini", .problem = ""},
    {.name = "InstalledNoUserDirectory", .places = {.executableDir = "/usr/bin/", .besideExists = false, .executableDirIsUsers = false, .userDir = "", .userDirProblem = "HOME is not set"}, .path = "", .problem = "HOME is not set"},
    {.name = "InstalledUnusableUserDirectory", .places = {.executableDir = "/usr/bin/", .besideExists = false, .executableDirIsUsers = false, .userDir = "/f/gatewise/", .userDirProblem = "'/f' is not a directory"}, .path = "/f/gatewise/STUN.ini", .problem = "'/f' is not a directory"},
    {.name = "OwnBuildTreeUnusableUserDirectory", .places = {.executableDir = "/b/", .besideExists = false, .executableDirIsUsers = true, .userDir = "", .userDirProblem = "HOME is not set"}, .path = "/b/STUN.ini", .problem = ""},
    {.name = "NoExecutablePath", .places = {.executableDir = "", .besideExists = false, .executableDirIsUsers = false, .userDir = "/h/.config/gatewise/", .userDirProblem = ""}, .path = "STUN.ini", .problem = ""},
};
// clang-format on

TEST(SettingsPath, ChosenPerPlace) {
    for (const PlacesRow& row : kPlaces) {
        const SettingsPathChoice choice = ChooseSettingsPath(row.places);
        EXPECT_EQ(choice.path, row.path) << row.name;
        EXPECT_EQ(choice.problem, row.problem) << row.name;
    }
}

#ifndef _WIN32
// The first save into the user's settings directory makes it; a save elsewhere never makes one.
TEST(SettingsPath, SavingMakesOnlyTheUsersDirectory) {
    TempDir home;
    ASSERT_TRUE(home.Ok());
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("XDG_CONFIG_HOME", home.Path().c_str(), 1);
    const std::string user = UserSettingsDirectory() + "STUN.ini";
    EXPECT_EQ(user, home.Path() + "/gatewise/STUN.ini");
    EXPECT_TRUE(SaveSettings(1, 2, 3, 4, 0, user));
    EXPECT_TRUE(fs::is_regular_file(user));
    EXPECT_FALSE(SaveSettings(1, 2, 3, 4, 0, home.Path() + "/other/STUN.ini"));
    if (old != nullptr)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}
#endif

// Moves a STUN.ini beside the test binary out of the way and puts it back, whatever happens.
class BesideExecutableGuard {
public:
    BesideExecutableGuard() : m_path(DefaultSettingsPath()), m_saved(m_path + ".core-test-saved") {
        std::error_code ec;
        m_hadFile = fs::exists(m_path, ec);
        if (m_hadFile)
            fs::rename(m_path, m_saved, ec);
    }
    ~BesideExecutableGuard() {
        std::error_code ec;
        fs::remove(m_path, ec);
        if (m_hadFile)
            fs::rename(m_saved, m_path, ec);
    }
    BesideExecutableGuard(const BesideExecutableGuard&) = delete;
    BesideExecutableGuard& operator=(const BesideExecutableGuard&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_saved;
    bool m_hadFile = false;
};

class CwdGuard {
public:
    CwdGuard() : m_saved(fs::current_path()) {}
    ~CwdGuard() {
        std::error_code ec;
        fs::current_path(m_saved, ec);
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    fs::path m_saved;
};

// A STUN.ini in the current directory is a decoy: only the one beside the executable counts.
TEST(SettingsPath, EmptyPathReadsBesideTheExecutableFromAnyWorkingDirectory) {
    TempDir elsewhere;
    ASSERT_TRUE(elsewhere.Ok());
    WriteBytes(elsewhere.File("STUN.ini"),
               "[Setting]\r\nSTUN1_IP=127.9.9.9\r\nSTUN1_PORT=9\r\nREPORT=decoy@example.net\r\n");
    BesideExecutableGuard beside;
    CwdGuard cwd;
    ASSERT_EQ(::chdir(elsewhere.Path().c_str()), 0);

    StunSettings s;
    EXPECT_TRUE(LoadSettings(s));
    EXPECT_EQ(s.server1Ip, htonl(Host(192, 168, 0, 55))) << "no file beside: defaults";
    EXPECT_EQ(s.server1Port, htons(70));
    EXPECT_FALSE(fs::exists(beside.Path())) << "loading never creates the file";
    EXPECT_EQ(LoadReportRecipient(), kMakerSupportAddress);

    WriteBytes(beside.Path(), "[Setting]\r\nSTUN1_IP=127.0.0.5\r\nREPORT=ops@example.net\r\n");
    EXPECT_TRUE(LoadSettings(s));
    EXPECT_EQ(s.server1Ip, htonl(Host(127, 0, 0, 5)));
    EXPECT_EQ(LoadReportRecipient(), "ops@example.net");

    EXPECT_TRUE(SaveSettings(Host(127, 0, 0, 6), 7, Host(127, 0, 0, 8), 9, 0));
    EXPECT_TRUE(LoadSettings(s, beside.Path()));
    EXPECT_EQ(s.server1Ip, htonl(Host(127, 0, 0, 6)));
    EXPECT_EQ(ReadBytes(elsewhere.File("STUN.ini")),
              "[Setting]\r\nSTUN1_IP=127.9.9.9\r\nSTUN1_PORT=9\r\nREPORT=decoy@example.net\r\n")
        << "the decoy is untouched";
}

}  // namespace
