#include "core/exe_path.h"

#include <vector>

#include "core/win_util.h"

std::string ExecutableDirectory() {
    // GetModuleFileNameW cuts the path to the buffer without saying so, except that a full buffer
    // means "try a bigger one". Long paths (past 260 characters) work; 32768 is the system's limit.
    for (DWORD size = 512; size <= 65536; size *= 2) {
        std::vector<wchar_t> buffer(size);
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (n == 0)
            return {};
        if (n < size) {
            const std::string path = NarrowToUtf8(std::wstring(buffer.data(), n));
            const std::size_t slash = path.find_last_of("\\/");
            if (slash == std::string::npos)
                return {};
            return path.substr(0, slash + 1);
        }
    }
    return {};
}
