#include "tests/support/job_queue.h"

namespace gwtest {

void JobQueue::Post(std::function<void()> job) {
    {
        MutexLock lock(m_mutex);
        m_jobs.push_back(std::move(job));
        ++m_posted;
    }
    m_changed.notify_all();
}

std::optional<std::function<void()>> JobQueue::Take(std::chrono::milliseconds timeout) {
    MutexLock lock(m_mutex);
    if (!lock.WaitFor(m_changed, timeout, [this]() REQUIRES(m_mutex) { return !m_jobs.empty(); }))
        return std::nullopt;
    auto job = std::move(m_jobs.front());
    m_jobs.pop_front();
    return job;
}

int JobQueue::Posted() const {
    MutexLock lock(m_mutex);
    return m_posted;
}

void JobQueue::RunAll() {
    while (auto job = Take(std::chrono::milliseconds(0)))
        (*job)();
}

}  // namespace gwtest
