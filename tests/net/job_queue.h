#pragma once
// Test stand-in for the engine's thread: a queue of posted jobs that a test runs, or leaves
// unrun, by hand. Any thread may post; waits are bounded.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace nettest {

class JobQueue {
public:
    void Post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_jobs.push_back(std::move(job));
            ++m_posted;
        }
        m_changed.notify_all();
    }
    // Removes and returns the oldest job, waiting up to timeout for one.
    std::optional<std::function<void()>> Take(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [&] { return !m_jobs.empty(); })) {
            return std::nullopt;
        }
        auto job = std::move(m_jobs.front());
        m_jobs.pop_front();
        return job;
    }
    int Posted() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posted;
    }
    // Runs every job still queued (on the calling thread).
    void RunAll() {
        while (auto job = Take(std::chrono::milliseconds(0)))
            (*job)();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;  // guarded by m_mutex
    int m_posted = 0;                          // guarded by m_mutex
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

}  // namespace nettest
