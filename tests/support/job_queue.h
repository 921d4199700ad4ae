#pragma once
// Test stand-in for the engine's thread: a queue of posted jobs that a test runs, or leaves
// unrun, by hand; and polling with a bound. Any thread may post; waits are bounded.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

#include "core/thread_annotations.h"

namespace gwtest {

class JobQueue {
public:
    void Post(std::function<void()> job) EXCLUDES(m_mutex);
    // Removes and returns the oldest job, waiting up to timeout for one.
    std::optional<std::function<void()>> Take(std::chrono::milliseconds timeout) EXCLUDES(m_mutex);
    int Posted() const EXCLUDES(m_mutex);
    // Runs every job still queued (on the calling thread).
    void RunAll() EXCLUDES(m_mutex);

private:
    mutable Mutex m_mutex;  // a leaf; never held while a job runs
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs GUARDED_BY(m_mutex);
    int m_posted GUARDED_BY(m_mutex) = 0;
};

// Polls pred every 2 ms until it holds or timeout passes.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace gwtest
