#pragma once
// Runs a program as a child process with a bounded wait, for end-to-end tests of the binaries.
// Any thread.

#include <chrono>
#include <string>
#include <vector>

namespace gwtest {

// Runs argv (argv[0] a path) with stdout and stderr to the files named, or inherited where a
// name is empty. Returns the exit status; -1 when the child was killed after bound or did not
// exit normally; -2 when it could not be started.
int RunBounded(const std::vector<std::string>& argv, std::chrono::milliseconds bound,
               const std::string& outPath = {}, const std::string& errPath = {});

}  // namespace gwtest
