#pragma once
// Where the running executable lives, and where a user's own settings go. Platform seam: Linux
// reads /proc/self/exe and the XDG variables. Any thread.

#include <string>

// Directory of the running executable, with a trailing '/'; empty when it cannot be found.
std::string ExecutableDirectory();

// True when dir (a path ending in a separator) is this user's own: owned by the effective user
// and writable by it. Root may write anywhere, but /usr/bin is still nobody's own directory.
// Windows: writable by this process (owners there are groups as often as users).
bool DirectoryIsUsers(const std::string& dir);

// The user's own settings directory, with a trailing separator: $XDG_CONFIG_HOME/gatewise/ when
// that variable is an absolute path, else $HOME/.config/gatewise/ (Windows: %APPDATA%\Gatewise\).
// It may not exist yet; it cannot be used when neither variable names one, or when something
// along it is there but no directory (XDG_CONFIG_HOME naming a regular file).
struct UserSettingsPlace {
    std::string dir;      // empty when none can be named
    std::string problem;  // why dir cannot be used, for a message; empty when it can
};
UserSettingsPlace FindUserSettingsDirectory();
// FindUserSettingsDirectory().dir when it can be used, else empty.
std::string UserSettingsDirectory();
