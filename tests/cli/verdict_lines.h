#pragma once
// What the end-to-end tests compare between two runs of gatewise-cli: the verdicts, not the log
// around them (ports and times differ from run to run).

#include <string>
#include <vector>

namespace gwtest {

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
