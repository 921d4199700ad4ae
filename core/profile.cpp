#include "core/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

// The profile file's only platform seam: POSIX open/read/write/fsync/rename.

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

enum class ReadResult { kOk, kMissing, kFailed };

const char* FileKind(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

ProfileFileState Refused(ProfileAccess access, std::string reason) {
    ProfileFileState state;
    state.access = access;
    state.reason = std::move(reason);
    return state;
}

// A stat or open that failed with err: a file that is not there, or one that cannot be read.
ProfileFileState FailedWith(int err) {
    if (err == ENOENT || err == ENOTDIR)
        return Refused(ProfileAccess::kMissing, "does not exist");
    return Refused(ProfileAccess::kUnreadable,
                   std::string("cannot be read: ") + std::strerror(err));
}

// Why a file of that kind and size is never read; nullopt for a regular file of at most 1 MiB.
std::optional<ProfileFileState> Judge(const struct stat& st) {
    if (!S_ISREG(st.st_mode))
        return Refused(ProfileAccess::kNotRegular,
                       std::string("is ") + FileKind(st.st_mode) + ", not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > kMaxProfileBytes)
        return Refused(ProfileAccess::kTooLarge, "is larger than 1 MiB");
    return std::nullopt;
}

// The state of the file and, when readable, its descriptor (the caller closes it).
ProfileFileState OpenProfile(const std::string& path, int& fd) {
    fd = -1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return FailedWith(errno);
    // A device or FIFO is never opened: opening one can block or have side effects.
    if (auto refused = Judge(st))
        return *refused;
    // Non-blocking, in case a FIFO took the file's place since the stat.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return FailedWith(errno);
    std::optional<ProfileFileState> refused;
    if (::fstat(fd, &st) != 0) {
        refused = Refused(ProfileAccess::kUnreadable,
                          std::string("cannot be read: ") + std::strerror(errno));
    } else {
        refused = Judge(st);
    }
    if (refused) {
        ::close(fd);
        fd = -1;
        return *refused;
    }
    return {};
}

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = -1;
    const ProfileFileState state = OpenProfile(path, fd);
    if (state.access == ProfileAccess::kMissing)
        return ReadResult::kMissing;
    if (state.access != ProfileAccess::kReadable)
        return ReadResult::kFailed;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return ReadResult::kFailed;
        }
        out.append(chunk, static_cast<std::size_t>(n));
        // A file that grows while it is read is cut off at the bound, not followed.
        if (out.size() > kMaxProfileBytes) {
            ::close(fd);
            out.clear();
            return ReadResult::kFailed;
        }
    }
    ::close(fd);
    return ReadResult::kOk;
}

}  // namespace

ProfileFileState CheckProfileFile(const std::string& path) {
    int fd = -1;
    ProfileFileState state = OpenProfile(path, fd);
    if (fd >= 0)
        ::close(fd);
    return state;
}

namespace {

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

// The file a write must replace: a symbolic link is followed so the link itself survives.
std::string WriteTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return path;
    return resolved;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes a temporary beside target, flushes it to disk and renames it over target, so a reader
// sees either the old file or the new one, never half of one.
bool ReplaceFile(const std::string& target, const std::string& data) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string temp = dir + "." + base + ".tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));

    // 0666 less the umask for a new file, as any editor would create it.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = true;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0)
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Makes the rename itself durable; the data is already safe, so a failure here is ignored.
    const int dirFd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace

std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path) {
    std::string data;
    if (ReadWholeFile(path, data) != ReadResult::kOk)
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
    const std::string target = WriteTarget(path);
    std::string data;
    // A file that exists but cannot be read is never replaced by one holding only these keys.
    if (ReadWholeFile(target, data) == ReadResult::kFailed)
        return false;
    std::vector<Line> lines = SplitLines(data);
    const std::string eol = LineEndOf(lines);
    for (const ProfileEntry& entry : entries)
        SetEntry(lines, section, entry.key, entry.value, eol);
    return ReplaceFile(target, Join(lines));
}
