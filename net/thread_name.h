#pragma once
// Names the calling thread as tools show it (top -H, /proc/<pid>/task/<tid>/comm), so a
// measurement can tell the worker threads apart. thread_name.cpp (POSIX) or thread_name_win.cpp.
// Any thread, for itself.

// At most 15 characters are kept.
void SetCurrentThreadName(const char* name);
