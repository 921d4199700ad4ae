#include "net/thread_name.h"

#include <string>

#include "core/win_util.h"

void SetCurrentThreadName(const char* name) {
    // SetThreadDescription came with Windows 10 1607: looked up, so older systems simply go
    // without names (a name is a convenience only).
    using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const SetDescriptionFn setDescription = [] {
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        const FARPROC proc =
            kernel == nullptr ? nullptr : ::GetProcAddress(kernel, "SetThreadDescription");
        // Through void (*)(): the one cast between function types the compiler accepts quietly.
        return reinterpret_cast<SetDescriptionFn>(reinterpret_cast<void (*)()>(proc));
    }();
    if (setDescription == nullptr || name == nullptr)
        return;
    // The same 15-character cut as on Linux, so both systems show the same names.
    const std::wstring wide = WidenUtf8(std::string(name).substr(0, 15));
    (void)setDescription(::GetCurrentThread(), wide.c_str());
}
