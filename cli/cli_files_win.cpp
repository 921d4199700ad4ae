#include "cli/cli_files.h"

#include "core/win_util.h"

namespace {

// The volume and file index of an existing file or folder (no access asked, so any opens).
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const std::wstring wide = WidenUtf8(path);
    if (wide.empty())
        return false;
    const HANDLE file =
        ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = ::GetFileInformationByHandle(file, &info) != 0;
    ::CloseHandle(file);
    return ok;
}

}  // namespace

bool SameExistingFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return FileIdentity(a, first) && FileIdentity(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

bool CreateEmptyLogFile(const std::string& path) {
    const std::wstring wide = WidenUtf8(path);
    if (wide.empty())
        return false;
    // CREATE_ALWAYS empties an existing file. Opening a pipe or a device never waits for a reader.
    const HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    return true;
}

bool StandardErrorIsTerminal() {
    // Only a console has a mode; a file, a pipe or NUL (which _isatty calls a terminal) has none.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
