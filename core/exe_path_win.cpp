#include "core/exe_path.h"

#include <cstdlib>

#include "core/exe_path_shared.h"
#include "core/win_util.h"

std::string ExecutableDirectory() {
    // Long paths (past 260 characters) work; 32768 is the system's limit.
    const std::optional<std::wstring> path =
        exe_path::ReadGrowing<wchar_t>(65536, [](wchar_t* buffer, std::size_t size) {
            const DWORD n = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(size));
            return n == 0 ? -1L : static_cast<long>(n);
        });
    return path ? exe_path::DirectoryPart(NarrowToUtf8(*path), "\\/") : std::string();
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
