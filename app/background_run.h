#pragma once
// One run on a thread of its own beside the window (the standard STUN check, the mapping lifetime
// test, the port-mapping check): the thread, how to stop it and how far it is. The window has at
// most one at a time. Start, Join, Running and Progress on the user-interface thread; the body
// runs on the run's thread, and what it hands back runs on the user-interface thread after every
// line the run wrote (both go through the context object's event queue, in order).

#include <QElapsedTimer>
#include <QObject>
#include <functional>
#include <thread>
#include <utility>

#include "standard/stun_runner.h"

class CBackgroundRun {
public:
    // What the window needs of a runner while its thread runs; both callable from any thread.
    struct Control {
        std::function<void()> stop;  // cuts the run short
        // How far it is; empty: the time since the start against boundMs.
        std::function<StunRunProgress()> progress;
        std::uint64_t boundMs = 0;
    };
    // The body's result: what to do on the user-interface thread once the run is over.
    using Epilogue = std::function<void()>;

    CBackgroundRun() = default;
    CBackgroundRun(const CBackgroundRun&) = delete;
    CBackgroundRun& operator=(const CBackgroundRun&) = delete;
    ~CBackgroundRun() { Join(); }

    bool Running() const { return m_thread.joinable(); }
    // Starts body on a thread of its own. When it returns, its epilogue is queued to context; it
    // runs there after the thread is joined, unless the run was stopped (Join) before.
    void Start(QObject* context, Control control, std::function<Epilogue()> body);
    // Asks a running run to stop and waits for its thread (a runner's deletions and name lookups
    // in progress included); its epilogue is dropped. False when none ran.
    bool Join();
    // The progress bar's value and maximum, in seconds: the time since the start, and that plus
    // the most the run can still take (at least a second more).
    std::pair<int, int> ProgressSeconds() const;

private:
    std::thread m_thread;
    Control m_control;
    QElapsedTimer m_clock;
    unsigned m_run = 0;  // counts runs, so the late end of a stopped run is ignored
};
