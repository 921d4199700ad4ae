#pragma once
// The server's one file of signal calls: signals.cpp (POSIX) or signals_win.cpp (console control
// events). Main thread only.

enum class ServerSignal { None, Stop, Report };

// Blocks SIGINT, SIGTERM, SIGHUP and SIGUSR1 in the calling thread and every thread it starts
// afterwards, so that only WaitForSignal sees them. Call before starting workers.
bool BlockServerSignals();
// Waits up to timeoutMs. SIGINT, SIGTERM and SIGHUP ask to stop; SIGUSR1 asks for the counters.
ServerSignal WaitForSignal(int timeoutMs);
