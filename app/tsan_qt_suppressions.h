#pragma once
// Included once by each program's main(). Under ThreadSanitizer only: Qt's own worker pool (image
// conversion and scaling while a window paints) synchronises through futexes inside the
// uninstrumented Qt libraries, which the sanitizer cannot see, so it reports those hand-overs as
// races. No code of ours runs on those threads; reports whose stacks lie in Qt are not ours.

#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:libQt6Gui.so.6\n"
           "race:libQt6Core.so.6\n";
}
#endif
