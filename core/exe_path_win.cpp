#include "core/exe_path.h"

#include <cstdlib>
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

bool DirectoryIsUsers(const std::string& dir) {
    // Only writability counts here: a folder an elevated administrator makes belongs to the
    // Administrators group, not to the user, so its owner says little. The access functions read
    // only the read-only attribute, not the directory's permissions (Program Files), so the only
    // sure test is to make a file there; it goes when closed.
    if (dir.empty())
        return false;
    const std::wstring probe = WidenUtf8(dir + "gatewise-write-test.tmp");
    const HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    return true;
}

UserSettingsPlace FindUserSettingsDirectory() {
    const wchar_t* appData = ::_wgetenv(L"APPDATA");
    if (appData == nullptr || appData[0] == L'\0')
        return {{}, "no per-user settings directory: APPDATA is not set"};
    return {NarrowToUtf8(appData) + "\\Gatewise\\", {}};
}

std::string UserSettingsDirectory() {
    UserSettingsPlace place = FindUserSettingsDirectory();
    return place.problem.empty() ? place.dir : std::string();
}
