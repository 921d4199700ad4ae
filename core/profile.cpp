#include "core/profile.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/profile_file.h"

namespace {

// One line of the file with the line end it had, so a rewrite keeps every untouched byte.
struct Line {
    std::string text;
    std::string end;  // "\r\n", "\n"; for a last line "\r" (cut short) or "" (none)
};

// A line after which another may follow: a lone CR would join the next line to this one.
bool EndsComplete(const Line& line) {
    return line.end == "\r\n" || line.end == "\n";
}

// Gives the last line a line end before another line is put after it. A lone CR becomes CR LF
// whatever the file's convention, so the text before it reads the same afterwards.
void CompleteLine(Line& line, const std::string& eol) {
    if (line.end == "\r")
        line.end = "\r\n";
    else if (!EndsComplete(line))
        line.end = eol;
}

std::vector<Line> SplitLines(const std::string& data) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < data.size()) {
        const std::size_t nl = data.find('\n', start);
        if (nl == std::string::npos) {
            // A last line cut between CR and LF: the CR ends the line, it is no part of a value.
            std::string text = data.substr(start);
            const bool cr = !text.empty() && text.back() == '\r';
            if (cr)
                text.pop_back();
            lines.push_back({std::move(text), cr ? "\r" : ""});
            break;
        }
        const bool crlf = nl > start && data[nl - 1] == '\r';
        const std::size_t textEnd = crlf ? nl - 1 : nl;
        lines.push_back({data.substr(start, textEnd - start), crlf ? "\r\n" : "\n"});
        start = nl + 1;
    }
    return lines;
}

std::string Join(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& line : lines)
        out += line.text + line.end;
    return out;
}

// The convention of the file's first line end; "\r\n" for a new or single-line file.
std::string LineEndOf(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (EndsComplete(line))
            return line.end;
    }
    return "\r\n";
}

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return false;
    }
    return true;
}

bool IsComment(std::string_view line) {
    const std::string_view t = Trim(line);
    return !t.empty() && t.front() == ';';
}

// "[name]" with optional blanks around; a missing ']' takes the rest of the line as the name.
bool ParseSection(std::string_view line, std::string_view& name) {
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[')
        return false;
    const std::size_t close = t.find(']');
    name = Trim(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return true;
}

bool ParseKey(std::string_view line, std::string_view& key, std::string_view& value) {
    if (IsComment(line))
        return false;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return !key.empty();
}

// Index of the first header of the section, or lines.size().
std::size_t FindSection(const std::vector<Line>& lines, std::string_view section) {
    std::string_view name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (ParseSection(lines[i].text, name) && EqualsNoCase(name, section))
            return i;
    }
    return lines.size();
}

// One past the last line of the section whose header is at index header.
std::size_t SectionEnd(const std::vector<Line>& lines, std::size_t header) {
    std::string_view name;
    std::size_t i = header + 1;
    while (i < lines.size() && !ParseSection(lines[i].text, name))
        ++i;
    return i;
}

// A C buffer of bufferSize bytes holds bufferSize - 1 characters and ends at the first NUL.
std::string CutToBuffer(std::string_view text, std::size_t bufferSize) {
    if (bufferSize == 0)
        return {};
    text = text.substr(0, text.find('\0'));
    return std::string(text.substr(0, bufferSize - 1));
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path) {
    std::string data;
    if (ReadProfileFile(path, data) != ProfileReadResult::kOk)
        return CutToBuffer(defaultValue, bufferSize);
    const std::vector<Line> lines = SplitLines(data);
    const std::size_t header = FindSection(lines, section);
    if (header == lines.size())
        return CutToBuffer(defaultValue, bufferSize);
    const std::size_t end = SectionEnd(lines, header);
    std::string_view k;
    std::string_view v;
    for (std::size_t i = header + 1; i < end; ++i) {
        if (ParseKey(lines[i].text, k, v) && EqualsNoCase(k, key))
            return CutToBuffer(v, bufferSize);
    }
    return CutToBuffer(defaultValue, bufferSize);
}

namespace {

// A line break in any part would smuggle extra lines (keys, sections) into the file; a key with
// '=', blanks around it or the start of a comment or section would not read back as itself.
bool WritableEntry(const std::string& section, const std::string& key, const std::string& value) {
    return !section.empty() && !key.empty() && !HasLineBreakOrNul(section) &&
           !HasLineBreakOrNul(key) && !HasLineBreakOrNul(value) &&
           section.find(']') == std::string::npos && key.find('=') == std::string::npos &&
           Trim(key).size() == key.size() && key.front() != ';' && key.front() != '[';
}

// A new section at the end of the file, after a blank line unless the file ends in one.
void AppendSection(std::vector<Line>& lines, const std::string& section, const std::string& entry,
                   const std::string& eol) {
    if (!lines.empty()) {
        CompleteLine(lines.back(), eol);
        if (!Trim(lines.back().text).empty())
            lines.push_back({"", eol});
    }
    lines.push_back({"[" + section + "]", eol});
    lines.push_back({entry, eol});
}

// Sets key to value in the lines in memory, as ProfileWriteString sets it in the file.
void SetEntry(std::vector<Line>& lines, const std::string& section, const std::string& key,
              const std::string& value, const std::string& eol) {
    const std::size_t header = FindSection(lines, section);
    if (header == lines.size()) {
        AppendSection(lines, section, key + "=" + value, eol);
        return;
    }
    const std::size_t end = SectionEnd(lines, header);
    std::string_view k;
    std::string_view v;
    std::size_t last = header;  // last line that carries content: the new key goes after it
    for (std::size_t i = header + 1; i < end; ++i) {
        if (ParseKey(lines[i].text, k, v) && EqualsNoCase(k, key)) {
            lines[i].text = std::string(k) + "=" + value;
            return;
        }
        if (!Trim(lines[i].text).empty() && !IsComment(lines[i].text))
            last = i;
    }
    CompleteLine(lines[last], eol);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last) + 1, {key + "=" + value, eol});
}

}  // namespace

bool ProfileWriteString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path) {
    return ProfileWriteStrings(section, {{key, value}}, path);
}

bool ProfileWriteStrings(const std::string& section, const std::vector<ProfileEntry>& entries,
                         const std::string& path) {
    // One entry that cannot be written refuses them all: the file never holds half a change.
    for (const ProfileEntry& entry : entries) {
        if (!WritableEntry(section, entry.key, entry.value))
            return false;
    }
    const std::string target = ProfileWriteTarget(path);
    std::string data;
    // A file that exists but cannot be read is never replaced by one holding only these keys.
    if (ReadProfileFile(target, data) == ProfileReadResult::kFailed)
        return false;
    std::vector<Line> lines = SplitLines(data);
    const std::string eol = LineEndOf(lines);
    for (const ProfileEntry& entry : entries)
        SetEntry(lines, section, entry.key, entry.value, eol);
    return ReplaceProfileFile(target, Join(lines));
}
