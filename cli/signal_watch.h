#pragma once
// SIGINT and SIGTERM for the command-line client, without code in a signal handler: both signals
// are blocked in every thread and a thread of this class takes them with sigwait. Platform seam:
// signal_watch.cpp (POSIX signals) or signal_watch_win.cpp (console control events, delivered as
// SIGINT or SIGTERM); the rest of the client never touches signals.
//
// Threads: BlockStopSignals, Start, Stop and the destructor on the main thread; the callbacks run
// on the watcher's own thread. CSignalRelay: Deliver from the watcher, SetTarget from the main
// thread.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "core/thread_annotations.h"

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
    // Stop. When Stop has not come grace after the first signal (the process is stuck somewhere:
    // a blocking read, a slow name lookup), onOverdue(first signo) runs once on the watcher's
    // thread; the client ends the process there. No onOverdue: no deadline. False when the thread
    // cannot be started.
    bool Start(std::function<void(int)> onSignal, std::chrono::milliseconds grace = {},
               std::function<void(int)> onOverdue = {});
    // Ends the watcher's thread and waits for it; no callback runs after Stop returns.
    void Stop();

private:
    void Watch();  // the watcher's thread
    // The system's part, on the watcher's thread: the next SIGINT or SIGTERM (on Windows, the
    // console event standing in for one), waiting until deadline when given (nullptr: no
    // deadline). 0 or less at the deadline, on an interrupted wait, or once Stop has woken it.
    int NextSignal(const std::chrono::steady_clock::time_point* deadline);

    // Set before the thread starts, then read-only.
    std::function<void(int)> m_onSignal;
    std::function<void(int)> m_onOverdue;
    std::chrono::milliseconds m_grace{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// Hands a signal to whoever wants it now: the watcher starts before the run it interrupts exists
// (the command line is parsed, and may look up host names, in between), so a signal that comes
// while nobody is registered is kept and handed to the next target at once.
class CSignalRelay {
public:
    void Deliver(int signo) EXCLUDES(m_mutex);
    // Registers target (empty: none). A signal kept while there was none goes to it at once.
    void SetTarget(std::function<void(int)> target) EXCLUDES(m_mutex);
    // The first signal seen, 0 for none.
    int First() const EXCLUDES(m_mutex);

private:
    // Order: this lock, then the target's own (the run's CEngineLoop lock, taken by Interrupt
    // while this one is held); nothing is taken before this one.
    mutable Mutex m_mutex;
    std::function<void(int)> m_target GUARDED_BY(m_mutex);
    int m_kept GUARDED_BY(m_mutex) = 0;  // not yet handed to a target
    int m_first GUARDED_BY(m_mutex) = 0;
};
