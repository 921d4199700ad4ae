#include "core/profile_file.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/profile.h"
#include "core/profile_file_shared.h"
#include "core/win_util.h"

// The profile file's Windows calls: attributes, CreateFileW/ReadFile/WriteFile, FlushFileBuffers
// and MoveFileExW.

namespace {

using profile_file::JudgeSize;
using profile_file::Refused;

// A look or an open that failed with err: a file that is not there, or one that cannot be read.
ProfileFileState FailedWith(DWORD err) {
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
        return profile_file::Missing();
    return profile_file::Unreadable(SystemErrorText(err));
}

// The state of the file and, when readable, its handle (the caller closes it). The attributes
// come first: a directory, a device or a pipe is never opened, as opening one can block or
// connect to a server.
ProfileFileState OpenProfile(const std::string& path, HANDLE& file) {
    file = INVALID_HANDLE_VALUE;
    const std::wstring wide = WidenUtf8(path);
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (wide.empty() || !::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &attributes))
        return FailedWith(wide.empty() ? ERROR_FILE_NOT_FOUND : ::GetLastError());
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Refused(ProfileAccess::kNotRegular, "is a directory, not a regular file");
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return Refused(ProfileAccess::kNotRegular, "is a device, not a regular file");
    const std::uint64_t size =
        (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
    if (auto refused = JudgeSize(size))
        return *refused;
    file = ::CreateFileW(wide.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FailedWith(::GetLastError());
    // What was opened is judged, in case something else took the file's place since the look.
    std::optional<ProfileFileState> refused;
    LARGE_INTEGER opened{};
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        refused = Refused(ProfileAccess::kNotRegular, "is not a plain file");
    } else if (!::GetFileSizeEx(file, &opened)) {
        refused = profile_file::Unreadable(SystemErrorText(::GetLastError()));
    } else {
        refused = JudgeSize(static_cast<std::uint64_t>(opened.QuadPart));
    }
    if (refused) {
        ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        return *refused;
    }
    return {};
}

bool WriteAll(HANDLE file, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        // WriteFile takes a 32-bit count; profile files stay far below that, but a loop costs
        // nothing.
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

}  // namespace

ProfileReadResult ReadProfileFile(const std::string& path, std::string& out) {
    out.clear();
    HANDLE file = INVALID_HANDLE_VALUE;
    const ProfileFileState state = OpenProfile(path, file);
    if (state.access != ProfileAccess::kReadable)
        return profile_file::NotReadResult(state);
    const bool ok = profile_file::ReadBounded(
        [file](char* buf, std::size_t cap) -> long {
            DWORD n = 0;
            if (!::ReadFile(file, buf, static_cast<DWORD>(cap), &n, nullptr))
                return -1;
            return static_cast<long>(n);
        },
        out);
    ::CloseHandle(file);
    return ok ? ProfileReadResult::kOk : ProfileReadResult::kFailed;
}

ProfileFileState CheckProfileFile(const std::string& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    ProfileFileState state = OpenProfile(path, file);
    if (file != INVALID_HANDLE_VALUE)
        ::CloseHandle(file);
    return state;
}

std::string ProfileWriteTarget(const std::string& path) {
    const std::wstring wide = WidenUtf8(path);
    const DWORD attributes =
        wide.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return path;
    // A symbolic link: the final path of what it names (no access asked, so any file opens).
    const HANDLE file =
        ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return path;
    // 32767 characters is the longest path the system has; on the heap, not a worker's stack.
    std::vector<wchar_t> resolved(32768);
    const DWORD n = ::GetFinalPathNameByHandleW(
        file, resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    ::CloseHandle(file);
    if (n == 0 || n >= resolved.size())
        return path;
    return NarrowToUtf8(std::wstring(resolved.data(), n));
}

bool ReplaceProfileFile(const std::string& target, const std::string& data) {
    const std::string temp = profile_file::TempPathBeside(target, "\\/", ::GetCurrentProcessId());
    const std::wstring wideTemp = WidenUtf8(temp);
    const std::wstring wideTarget = WidenUtf8(target);
    if (wideTemp.empty() || wideTarget.empty())
        return false;

    // The new file takes the folder's inherited permissions, as any editor's would.
    const HANDLE file = ::CreateFileW(wideTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD error = ERROR_SUCCESS;
    const auto failed = [&error] {
        if (error == ERROR_SUCCESS)
            error = ::GetLastError();
        return false;
    };
    bool ok = (WriteAll(file, data) && ::FlushFileBuffers(file)) || failed();
    ok = (::CloseHandle(file) || failed()) && ok;
    // WRITE_THROUGH: the rename itself is on disk when the call returns.
    ok = ok && (::MoveFileExW(wideTemp.c_str(), wideTarget.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
                failed());
    if (!ok) {
        ::DeleteFileW(wideTemp.c_str());
        ::SetLastError(error);  // the failed call's reason, not the clean-up's
        return false;
    }
    return true;
}

void ClearProfileError() {
    ::SetLastError(ERROR_SUCCESS);
}

int LastProfileError() {
    return static_cast<int>(::GetLastError());
}

std::string ProfileErrorText(int code) {
    return SystemErrorText(static_cast<DWORD>(code));
}
