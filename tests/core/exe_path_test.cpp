#include "core/exe_path.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs program with GATEWISE_PRINT_EXE_DIR set and returns what it prints; waits at most 10 s.
std::string RunProbe(const std::string& program) {
    int out[2];
    if (::pipe(out) != 0)
        return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);

    std::string envEntry = "GATEWISE_PRINT_EXE_DIR=1";
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.push_back(*e);
    env.push_back(envEntry.data());
    env.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return "spawn failed";
    }

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char chunk[4096];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    // The pipe closes a moment before the child can be reaped, so poll for its exit too.
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return "probe timed out";
        }
        ::usleep(2000);
    }
    return text;
}

TEST(ExePath, EndsWithSlashAndNamesTheBinarysDirectory) {
    const std::string dir = ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir, fs::canonical(CORE_TESTS_DIR).string() + "/");
}

// The old platform limit was 260 characters; a deeper install must still find its directory.
TEST(ExePath, WorksFromAPathLongerThan260Characters) {
    TempDir root(fs::canonical(CORE_TESTS_DIR).string());
    ASSERT_TRUE(root.Ok());
    std::string deep = root.Path();
    for (int i = 0; deep.size() < 600; ++i)
        deep += "/" + std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    const std::string copy = deep + "/core_tests_copy";
    std::error_code ec;
    // A hard link costs nothing; a copy serves where links are not allowed.
    fs::create_hard_link(fs::read_symlink("/proc/self/exe"), copy, ec);
    if (ec)
        fs::copy_file(fs::read_symlink("/proc/self/exe"), copy, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(RunProbe(copy), deep + "/");
}

// Settings go beside the executable only in the user's own directory. Root may write into any
// directory, so writability alone made /usr/bin root's settings directory under sudo.
TEST(ExePath, OnlyAnOwnWritableDirectoryIsTheUsers) {
    TempDir root;
    ASSERT_TRUE(root.Ok());
    const std::string own = root.File("own");
    const std::string other = root.File("other");
    const std::string readOnly = root.File("read-only");
    const std::string file = root.File("file");
    fs::create_directories(own);
    fs::create_directories(other);
    fs::create_directories(readOnly);
    WriteBytes(file, "");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0555), 0);
    // Another owner is only possible for root; for anyone else the directory stays their own.
    const bool rootUser = ::geteuid() == 0;
    if (rootUser) {
        ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
    }
    const struct {
        std::string dir;
        bool expected;
    } rows[] = {
        {own + "/", true},
        {other + "/", !rootUser},
        // Mode 0555 stops anyone but root from writing.
        {readOnly + "/", rootUser},
        {file + "/", false},
        {root.File("missing") + "/", false},
        {"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DirectoryIsUsers(row.dir), row.expected) << "'" << row.dir << "'";
}

// Sets or unsets one variable for a scope and puts back what was there.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        if (old != nullptr)
            m_old = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvGuard() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// The per-user directory, or why there is none to use. "@" stands for the test's folder, which
// holds a regular file "file" and a directory "cfg" with a regular file "cfg/gatewise".
TEST(ExePath, UserSettingsDirectoryOrWhyNone) {
    TempDir root;
    ASSERT_TRUE(root.Ok());
    WriteBytes(root.File("file"), "");
    fs::create_directories(root.File("cfg"));
    WriteBytes(root.File("cfg/gatewise"), "");
    const struct {
        const char* xdg;
        const char* home;
        const char* dir;
        const char* problem;
    } rows[] = {
        {"@", "/h", "@/gatewise/", ""},
        {"@/new/deeper", "/h", "@/new/deeper/gatewise/", ""},  // made at the first save
        {"", "@", "@/.config/gatewise/", ""},
        {"relative", "@", "@/.config/gatewise/", ""},
        {"@/file", "/h", "@/file/gatewise/", "'@/file' (from XDG_CONFIG_HOME) is not a directory"},
        {"@/file/sub", "/h", "@/file/sub/gatewise/",
         "'@/file' (from XDG_CONFIG_HOME) is not a directory"},
        {"@/cfg", "/h", "@/cfg/gatewise/",
         "'@/cfg/gatewise' (from XDG_CONFIG_HOME) is not a directory"},
        {nullptr, "@/file", "@/file/.config/gatewise/", "'@/file' (from HOME) is not a directory"},
        {nullptr, nullptr, "",
         "no per-user settings directory: XDG_CONFIG_HOME is not set and HOME is not set"},
        {"cfg", "home", "",
         "no per-user settings directory: XDG_CONFIG_HOME 'cfg' is not an absolute path and "
         "HOME 'home' is not an absolute path"},
    };
    const auto at = [&root](const char* text) {
        if (text == nullptr)
            return std::optional<std::string>();
        std::string s = text;
        for (std::size_t i = s.find('@'); i != std::string::npos; i = s.find('@', i + 1))
            s.replace(i, 1, root.Path());
        return std::optional<std::string>(s);
    };
    for (const auto& row : rows) {
        const auto xdg = at(row.xdg);
        const auto home = at(row.home);
        EnvGuard xdgGuard("XDG_CONFIG_HOME", xdg ? xdg->c_str() : nullptr);
        EnvGuard homeGuard("HOME", home ? home->c_str() : nullptr);
        const UserSettingsPlace place = FindUserSettingsDirectory();
        const std::string name =
            std::string(row.xdg ? row.xdg : "(unset)") + ", " + (row.home ? row.home : "(unset)");
        EXPECT_EQ(place.dir, *at(row.dir)) << name;
        EXPECT_EQ(place.problem, *at(row.problem)) << name;
        EXPECT_EQ(UserSettingsDirectory(), place.problem.empty() ? place.dir : "") << name;
    }
}

}  // namespace
