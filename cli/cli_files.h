#pragma once
// The client's own questions to the system about files and streams: the --log file before a run,
// and whether standard error is a terminal. Platform seam: cli_files.cpp (POSIX) or
// cli_files_win.cpp. Main thread.

#include <string>

// True when both paths name one existing file (by the same name, a symbolic or a hard link).
bool SameExistingFile(const std::string& a, const std::string& b);

// Creates path, or empties it, and closes it again; false when it cannot be written. Never
// blocks: a FIFO nobody reads fails instead of hanging the client.
bool CreateEmptyLogFile(const std::string& path);

// True when standard error is a terminal (a console window on Windows), where a progress line
// can be redrawn in place.
bool StandardErrorIsTerminal();
