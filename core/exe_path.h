#pragma once
// Where the running executable lives. Platform seam: Linux reads /proc/self/exe.

#include <string>

// Directory of the running executable, with a trailing '/'; empty when it cannot be found.
std::string ExecutableDirectory();
