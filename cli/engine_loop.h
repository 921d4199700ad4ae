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
#include <mutex>

#include "engine/notify_target.h"

class CEngineLoop : public INotifyTarget {
public:
    explicit CEngineLoop(std::chrono::milliseconds tickPeriod);
    CEngineLoop(const CEngineLoop&) = delete;
    CEngineLoop& operator=(const CEngineLoop&) = delete;

    // Queues fn to run on the loop thread after everything posted before it. Never runs it inline,
    // even when called on the loop thread.
    void Post(std::function<void()> fn) override;

    // Called once per period, first one period after Run starts.
    void SetOnTick(std::function<void()> fn) { m_onTick = std::move(fn); }
    // Called after every job and every tick: where the client notices that a check has ended.
    void SetAfterEach(std::function<void()> fn) { m_afterEach = std::move(fn); }

    // Runs jobs and ticks until Quit or Interrupt. Returns 0 after Quit, or the signal number
    // given to Interrupt. An interrupt wins over queued jobs and a pending Quit. Called once.
    int Run();
    // Ends Run after the job or tick in progress; jobs still queued stay queued.
    void Quit();
    // Like Quit, but records why; the first interrupt's signal number is kept.
    void Interrupt(int signo);

    // Destroys the jobs still queued without running them; returns how many there were. For after
    // the network module has stopped, when nobody waits for them any more.
    std::size_t DiscardPending();

private:
    const std::chrono::milliseconds m_period;
    std::function<void()> m_onTick;
    std::function<void()> m_afterEach;

    // One lock, a leaf: never held while a job, the tick or the after-each hook runs.
    std::mutex m_mutex;
    std::condition_variable m_wake;            // signalled by Post, Quit and Interrupt
    std::deque<std::function<void()>> m_jobs;  // guarded by m_mutex
    bool m_quit = false;                       // guarded by m_mutex
    int m_signal = 0;                          // guarded by m_mutex; 0 = not interrupted
};
