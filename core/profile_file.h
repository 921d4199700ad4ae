#pragma once
// The profile file's platform seam: reading a whole file without ever blocking, and replacing one
// atomically. profile_file.cpp (POSIX) or profile_file_win.cpp; CheckProfileFile (profile.h)
// lives there too. Any thread.

#include <string>

enum class ProfileReadResult { kOk, kMissing, kFailed };

// The whole file at path into out, when CheckProfileFile would call it readable; a file that
// grows past kMaxProfileBytes while it is read fails.
ProfileReadResult ReadProfileFile(const std::string& path, std::string& out);

// The file a write to path must replace: a symbolic link is followed so the link survives.
std::string ProfileWriteTarget(const std::string& path);

// Writes data to a temporary beside target, flushes it to disk and renames it over target, so
// a reader sees either the old file or the new one. False, target untouched, on any failure.
bool ReplaceProfileFile(const std::string& target, const std::string& data);

// Why the last failed profile call of this thread failed: the system's own code (errno on POSIX,
// GetLastError() on Windows) and that system's text for it. Clear before a call whose failure
// is to be explained.
void ClearProfileError();
int LastProfileError();
std::string ProfileErrorText(int code);
