#pragma once
// What the end-to-end tests compare between two runs of gatewise-cli: the verdicts, not the log
// around them (ports and times differ from run to run).

#include <chrono>
#include <string>
#include <vector>

#include "tests/core/temp_dir.h"
#include "tests/support/child_process.h"

namespace gwtest {

// One run of gatewise-cli through the end-to-end runner.
struct CliRun {
    int exit = -1;
    std::string out, err;
};

// Runs argv, the runner's command line told to write the client's output to dir's "out" and
// "err", within bound; the runner's own complaints follow the client's standard error.
inline CliRun RunThroughRunner(const std::vector<std::string>& argv, TempDir& dir,
                               std::chrono::seconds bound) {
    CliRun r;
    r.exit = RunBounded(argv, bound, dir.File("runner.out"), dir.File("runner.err"));
    r.out = ReadBytes(dir.File("out"));
    r.err = ReadBytes(dir.File("err")) + ReadBytes(dir.File("runner.err"));
    return r;
}

// The check's framed block: its verdict lines, between the heading and the closing row of
// asterisks; empty when there is no such block.
inline std::vector<std::string> SummaryLines(const std::string& out) {
    const std::string heading = "        NAT Detect Result Summarize\n\n";
    const std::size_t start = out.find(heading);
    if (start == std::string::npos)
        return {};
    const std::size_t end = out.find("\n\n" + std::string(81, '*'), start);
    std::vector<std::string> lines;
    std::size_t at = start + heading.size();
    while (at < end) {
        const std::size_t nl = out.find('\n', at);
        lines.push_back(out.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

// The verdict lines of a --stun run's JSON without the first (the mapped address: a fresh port
// each run), as JSON text; empty when there are none.
inline std::string StunVerdictLines(const std::string& out) {
    const std::size_t lines = out.find(R"j("lines":[")j");
    if (lines == std::string::npos)
        return {};
    const std::size_t second = out.find("\",\"", lines);
    const std::size_t end = out.find(']', lines);
    if (second == std::string::npos || end == std::string::npos || second > end)
        return {};
    return out.substr(second, end - second);
}

}  // namespace gwtest
