#include "tests/support/proc_self.h"

#include <dirent.h>

#include <fstream>
#include <functional>
#include <thread>

namespace gwtest {
namespace {

// Calls visit with the name of every entry of dir but "." and "..".
void ForEachEntry(const char* dir, const std::function<void(const std::string&)>& visit) {
    DIR* d = opendir(dir);
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            visit(e->d_name);
    }
    closedir(d);
}

}  // namespace

int OpenDescriptors() {
    int n = 0;
    ForEachEntry("/proc/self/fd", [&](const std::string&) { ++n; });
    return n;
}

int RunningThreads() {
    int n = 0;
    ForEachEntry("/proc/self/task", [&](const std::string&) { ++n; });
    return n;
}

std::map<std::string, long> SwitchesByThread() {
    std::map<std::string, long> out;
    ForEachEntry("/proc/self/task", [&](const std::string& tid) {
        std::ifstream status("/proc/self/task/" + tid + "/status");
        std::string key, name;
        long value = 0, total = 0;
        while (status >> key) {
            if (key == "Name:") {
                status >> name;
            } else if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                total += value;
            } else {
                status.ignore(4096, '\n');
            }
        }
        out[name] += total;
    });
    return out;
}

std::string ThreadStates(const std::string& name) {
    std::string states;
    ForEachEntry("/proc/self/task", [&](const std::string& tid) {
        const std::string dir = "/proc/self/task/" + tid;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (comm != name)
            return;
        std::string stat;
        std::getline(std::ifstream(dir + "/stat"), stat);
        const std::size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size())
            states += stat[close + 2];
    });
    return states;
}

bool NoThreadCalled(const std::string& name, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!ThreadStates(name).empty()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace gwtest
