#include "net/delivery.h"

#include <utility>

struct CDeliveryHandshake::Job {
    enum class State { Pending, Running, Done, Cancelled };

    Job(const ReceivedMessage& m, const Handler& h) : msg(m), handler(h) {}

    const ReceivedMessage msg;  // the job's own copy: the dispatch thread's record may be gone
    const Handler handler;

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Pending;  // guarded by mutex
};

void CDeliveryHandshake::Deliver(const ReceivedMessage& msg, const Poster& post,
                                 const Handler& handler) {
    auto job = std::make_shared<Job>(msg, handler);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled)
            return;
        m_current = job;
    }

    post([job] {
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            if (job->state != Job::State::Pending)
                return;  // cancelled before it could run
            job->state = Job::State::Running;
        }
        if (job->handler)
            job->handler(&job->msg);
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            // A cancel that came while running has already released Deliver; keep its state.
            if (job->state == Job::State::Running)
                job->state = Job::State::Done;
        }
        job->changed.notify_all();
    });

    {
        std::unique_lock<std::mutex> lock(job->mutex);
        job->changed.wait(lock, [&] {
            return job->state == Job::State::Done || job->state == Job::State::Cancelled;
        });
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_current == job)
        m_current.reset();
}

void CDeliveryHandshake::Cancel() {
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        job = m_current;
    }
    if (!job)
        return;
    {
        std::lock_guard<std::mutex> lock(job->mutex);
        if (job->state == Job::State::Pending || job->state == Job::State::Running) {
            job->state = Job::State::Cancelled;
        }
    }
    job->changed.notify_all();
}

bool CDeliveryHandshake::Cancelled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}
