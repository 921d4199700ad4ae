#pragma once
// What /proc says of this process: open descriptors and its threads, by the names the worker
// threads give themselves. Linux only; any thread.

#include <chrono>
#include <map>
#include <string>

namespace gwtest {

int OpenDescriptors();
int RunningThreads();
// Context switches (voluntary + involuntary) of this process's threads, by thread name.
std::map<std::string, long> SwitchesByThread();
// Scheduler states ('S' = asleep in a wait), one character per thread called name.
std::string ThreadStates(const std::string& name);
// True once no thread called name is listed, within bound. A thread just joined may still be
// listed for a moment: the kernel wakes the joiner before it has finished the thread's exit.
bool NoThreadCalled(const std::string& name, std::chrono::milliseconds bound);

}  // namespace gwtest
