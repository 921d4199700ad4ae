#pragma once
// SIGINT and SIGTERM end the program as they always did, but first let it finish what must not be
// left half done: a port mapping that the port-mapping check made is deleted. A second signal
// ends the program at once. Platform seam: quit_signals.cpp (POSIX signals) or
// quit_signals_win.cpp, where a window program has no console and so no console events, and the
// end of the session (logoff, shutdown) stands in. User-interface thread only.

#include <functional>

// Installs the handlers, once. When a signal comes, beforeQuit runs on the user-interface thread
// (from its event loop, a dialog's included); then the signal's default action ends the process.
// On Windows beforeQuit runs when the session ends, before the system ends the process.
void WatchQuitSignals(std::function<void()> beforeQuit);
