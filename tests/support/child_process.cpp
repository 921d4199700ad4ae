#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char** environ;

namespace gwtest {

int RunBounded(const std::vector<std::string>& argv, std::chrono::milliseconds bound,
               const std::string& outPath, const std::string& errPath) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
    if (!outPath.empty())
        posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), kWrite, 0644);
    if (!errPath.empty())
        posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), kWrite, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &files, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0)
        return -2;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace gwtest
