#pragma once
// A profile (INI) file, read and written one key at a time with the semantics of the classic
// profile functions: section and key names compare case-insensitively, values are trimmed of
// surrounding blanks, a missing file, section or key yields the default, and writing one key keeps
// every other line of the file. Any thread, but callers serialise writes to one file.

#include <cstddef>
#include <string>
#include <vector>

// The largest profile file read, in bytes. Settings files are a few hundred bytes; anything
// bigger than this is not one, and reading it would only cost memory.
inline constexpr std::size_t kMaxProfileBytes = std::size_t{1} << 20;

// Whether a profile file can be read. Only a regular file of at most kMaxProfileBytes is: a FIFO
// would block the reader until a writer comes, a device could stream without end.
enum class ProfileAccess { kReadable, kMissing, kNotRegular, kTooLarge, kUnreadable };
struct ProfileFileState {
    ProfileAccess access = ProfileAccess::kReadable;
    // Why it cannot be read, e.g. "is a FIFO, not a regular file"; empty when readable.
    std::string reason;
};
// Looks at the file without ever blocking: stat, then open non-blocking and fstat the open file,
// so a file swapped between the two looks is judged by what was opened.
ProfileFileState CheckProfileFile(const std::string& path);

// Reads section/key from the file at path. A file CheckProfileFile refuses reads as missing.
// At most bufferSize - 1 characters are returned (the
// classic functions fill a buffer of that size and cut the value to fit).
std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path);

// Sets section/key to value, creating the file and the section when missing. The file is replaced
// atomically (a temporary beside it, renamed over it), so a failure never leaves half a file.
// Returns false when the file cannot be written.
bool ProfileWriteString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path);

// One key and its value for ProfileWriteStrings.
struct ProfileEntry {
    std::string key;
    std::string value;
};
// Sets every entry's key in section, in order, exactly as that many ProfileWriteString calls
// would, but with one replacement of the file: a reader sees all of them or none. Returns false,
// writing nothing, when any entry cannot be written or the file cannot be.
bool ProfileWriteStrings(const std::string& section, const std::vector<ProfileEntry>& entries,
                         const std::string& path);
