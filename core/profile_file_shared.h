#pragma once
// What profile_file.cpp (POSIX) and profile_file_win.cpp decide alike: the states a look at the
// file ends in, the size bound, the bounded read and the temporary's name. Included by those two
// files alone, so each holds only its system's calls. Any thread.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/profile.h"
#include "core/profile_file.h"

namespace profile_file {

inline ProfileFileState Refused(ProfileAccess access, std::string reason) {
    ProfileFileState state;
    state.access = access;
    state.reason = std::move(reason);
    return state;
}

// A look or an open that failed: the file is not there, or it cannot be read for why (the
// system's text).
inline ProfileFileState Missing() {
    return Refused(ProfileAccess::kMissing, "does not exist");
}
inline ProfileFileState Unreadable(const std::string& why) {
    return Refused(ProfileAccess::kUnreadable, "cannot be read: " + why);
}

// Why a file of that many bytes is never read; nullopt up to kMaxProfileBytes.
inline std::optional<ProfileFileState> JudgeSize(std::uint64_t bytes) {
    if (bytes > kMaxProfileBytes)
        return Refused(ProfileAccess::kTooLarge, "is larger than 1 MiB");
    return std::nullopt;
}

// What ReadProfileFile answers for a file the look did not find readable.
inline ProfileReadResult NotReadResult(const ProfileFileState& state) {
    return state.access == ProfileAccess::kMissing ? ProfileReadResult::kMissing
                                                   : ProfileReadResult::kFailed;
}

// Reads the open file into out through read(buffer, capacity), which returns the bytes read, 0
// at the end or -1 on failure. A file that grows while it is read is cut off at the bound, not
// followed. False, out emptied, on a failure or past the bound.
template <typename ReadFn>
bool ReadBounded(ReadFn&& read, std::string& out) {
    out.clear();
    char chunk[8192];
    for (;;) {
        const long n = read(chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0) {
            out.clear();
            return false;
        }
        out.append(chunk, static_cast<std::size_t>(n));
        if (out.size() > kMaxProfileBytes) {
            out.clear();
            return false;
        }
    }
}

// ".<name>.tmp.<pid>.<n>" in target's folder: separators are the characters that end a folder
// on this system. Unique within the process by the counter, across processes by pid.
inline std::string TempPathBeside(const std::string& target, const char* separators,
                                  unsigned long pid) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of(separators);
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + base + ".tmp." + std::to_string(pid) + "." +
           std::to_string(counter.fetch_add(1));
}

}  // namespace profile_file
