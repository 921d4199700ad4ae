#pragma once
// SIGINT and SIGTERM for the command-line client, without code in a signal handler: both signals
// are blocked in every thread and a thread of this class takes them with sigwait. Platform seam
// (POSIX signals); the rest of the client never touches signals.
//
// Threads: BlockStopSignals, Start, Stop and the destructor on the main thread; the callback runs
// on the watcher's own thread.

#include <atomic>
#include <functional>
#include <thread>

// Blocks SIGINT and SIGTERM in the calling thread, and ignores SIGPIPE (a closed stdout then fails
// a write instead of killing the process). Call first in main, before any other thread exists, so
// every thread inherits the mask; a signal that arrives before Start then waits instead of killing.
bool BlockStopSignals();

class CSignalWatcher {
public:
    CSignalWatcher() = default;
    ~CSignalWatcher() { Stop(); }
    CSignalWatcher(const CSignalWatcher&) = delete;
    CSignalWatcher& operator=(const CSignalWatcher&) = delete;

    // Starts the watcher; onSignal(signo) runs on its thread for every SIGINT or SIGTERM until
    // Stop. False when the thread cannot be started.
    bool Start(std::function<void(int)> onSignal);
    // Ends the watcher's thread and waits for it; no callback runs after Stop returns.
    void Stop();

private:
    std::function<void(int)> m_onSignal;  // set before the thread starts, then read-only
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};
