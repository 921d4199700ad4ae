#pragma once
// A profile (INI) file, read and written one key at a time with the semantics of the classic
// profile functions: section and key names compare case-insensitively, values are trimmed of
// surrounding blanks, a missing file, section or key yields the default, and writing one key keeps
// every other line of the file. Any thread, but callers serialise writes to one file.

#include <cstddef>
#include <string>

// Reads section/key from the file at path. At most bufferSize - 1 characters are returned (the
// classic functions fill a buffer of that size and cut the value to fit).
std::string ProfileGetString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path);

// Sets section/key to value, creating the file and the section when missing. The file is replaced
// atomically (a temporary beside it, renamed over it), so a failure never leaves half a file.
// Returns false when the file cannot be written.
bool ProfileWriteString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path);
