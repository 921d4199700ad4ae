#pragma once
// The engine's thread of the command-line client: runs posted jobs one at a time in posting order,
// and a periodic tick, on the thread that calls Run (the main thread). It sleeps on a condition
// variable between events; nothing polls.
//
// Threads: Post, Quit and Interrupt from any thread (not from a signal handler: they lock);
// SetOnTick, SetAfterEach, Run and DiscardPending on the loop thread only.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>

#include "core/thread_annotations.h"
#include "engine/notify_target.h"

class CEngineLoop : public INotifyTarget {
public:
    explicit CEngineLoop(std::chrono::milliseconds tickPeriod);
    CEngineLoop(const CEngineLoop&) = delete;
    CEngineLoop& operator=(const CEngineLoop&) = delete;

    // Queues fn to run on the loop thread after everything posted before it. Never runs it inline,
    // even when called on the loop thread.
    void Post(std::function<void()> fn) override EXCLUDES(m_mutex);

    // Called once per period, first one period after Run starts.
    void SetOnTick(std::function<void()> fn) { m_onTick = std::move(fn); }
    // Called after every job and every tick: where the client notices that a check has ended.
    void SetAfterEach(std::function<void()> fn) { m_afterEach = std::move(fn); }

    // Runs jobs and ticks until Quit or Interrupt. Returns 0 after Quit, or the signal number
    // given to Interrupt. An interrupt wins over queued jobs and a pending Quit. Called once.
    int Run() EXCLUDES(m_mutex);
    // Ends Run after the job or tick in progress; jobs still queued stay queued.
    void Quit() EXCLUDES(m_mutex);
    // Like Quit, but records why; the first interrupt's signal number is kept.
    void Interrupt(int signo) EXCLUDES(m_mutex);

    // Destroys the jobs still queued without running them; returns how many there were. For after
    // the network module has stopped, when nobody waits for them any more.
    std::size_t DiscardPending() EXCLUDES(m_mutex);

private:
    // What Run does next: the tick, a job, or end with Run's return value.
    struct Event {
        enum { kTick, kJob, kEnd } kind = kTick;
        std::function<void()> job;  // kJob
        int result = 0;             // kEnd
    };
    // Waits for the next event; moves nextTick on when it is the tick.
    Event WaitForNext(std::chrono::steady_clock::time_point& nextTick) EXCLUDES(m_mutex);

    const std::chrono::milliseconds m_period;
    std::function<void()> m_onTick;
    std::function<void()> m_afterEach;

    // One lock. Order: CSignalRelay's lock may be held when Interrupt takes this one; this one is
    // a leaf, never held while a job, the tick or the after-each hook runs.
    Mutex m_mutex;
    std::condition_variable m_wake;  // signalled by Post, Quit, Interrupt
    std::deque<std::function<void()>> m_jobs GUARDED_BY(m_mutex);
    bool m_quit GUARDED_BY(m_mutex) = false;
    int m_signal GUARDED_BY(m_mutex) = 0;  // 0 = not interrupted
};
