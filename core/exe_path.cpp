#include "core/exe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/exe_path_shared.h"

std::string ExecutableDirectory() {
    // Paths past the old 260-character limit work; 1 MiB bounds the loop.
    const std::optional<std::string> path =
        exe_path::ReadGrowing<char>(std::size_t{1} << 20, [](char* buffer, std::size_t size) {
            return static_cast<long>(::readlink("/proc/self/exe", buffer, size));
        });
    return path ? exe_path::DirectoryPart(*path, "/") : std::string();
}

bool DirectoryIsUsers(const std::string& dir) {
    if (dir.empty())
        return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

namespace {

// "HOME is not set", "HOME 'x' is not an absolute path": why a variable names no directory.
std::string NoDirectoryIn(const char* name, const char* value) {
    if (value == nullptr || value[0] == '\0')
        return std::string(name) + " is not set";
    return std::string(name) + " '" + value + "' is not an absolute path";
}

// The first leading part of dir (an absolute path ending in '/') that is there but no directory;
// empty when there is none. What is missing can be made at the first save; what cannot be
// looked at is left to the read, which says why.
std::string FirstNonDirectory(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        struct stat st {};
        if (::stat(part.c_str(), &st) != 0)
            return {};
        if (!S_ISDIR(st.st_mode))
            return part;
    }
    return {};
}

}  // namespace

UserSettingsPlace FindUserSettingsDirectory() {
    // Only an absolute directory counts; a relative one would follow the working directory. An
    // unusable XDG_CONFIG_HOME is no reason to look elsewhere: the user named it.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    const char* from = nullptr;
    if (config != nullptr && config[0] == '/') {
        base = config;
        from = "XDG_CONFIG_HOME";
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
        from = "HOME";
    } else {
        return {{},
                "no per-user settings directory: " + NoDirectoryIn("XDG_CONFIG_HOME", config) +
                    " and " + NoDirectoryIn("HOME", home)};
    }
    UserSettingsPlace place{base + "/gatewise/", {}};
    const std::string blocker = FirstNonDirectory(place.dir);
    if (!blocker.empty())
        place.problem = "'" + blocker + "' (from " + from + ") is not a directory";
    return place;
}

std::string UserSettingsDirectory() {
    UserSettingsPlace place = FindUserSettingsDirectory();
    return place.problem.empty() ? place.dir : std::string();
}
