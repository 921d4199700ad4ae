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

// The user's own settings directory, with a trailing separator: $XDG_CONFIG_HOME/gatewise/, else
// $HOME/.config/gatewise/ (Windows: %APPDATA%\Gatewise\); empty when neither can be named. It
// may not exist yet.
std::string UserSettingsDirectory();
