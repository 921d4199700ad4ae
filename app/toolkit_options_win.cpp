#include "app/toolkit_options.h"

#include <QByteArray>
#include <QtGlobal>

#include "core/win_util.h"

namespace {

// wine's ntdll has an export of its own that Windows' has not.
bool RunsUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

void ChooseToolkitOptions() {
    // Under wine the Windows platform's DirectWrite font engine draws no text in line edits (the
    // settings dialog's addresses and ports stay blank); FreeType, built into Qt, draws it.
    // On Windows itself DirectWrite stays. A platform named by the user is left alone.
    if (RunsUnderWine() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "windows:fontengine=freetype");
}
