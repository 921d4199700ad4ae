#include "net/delivery.h"

#include <condition_variable>
#include <utility>

struct CDeliveryHandshake::Job {
    enum class State { Pending, Running, Done, Cancelled };

    Job(const ReceivedMessage& m, const Handler& h) : msg(m), handler(h) {}

    const ReceivedMessage msg;  // the job's own copy: the dispatch thread's record may be gone
    const Handler handler;

    Mutex mutex;  // never held with CDeliveryHandshake::m_mutex
    std::condition_variable changed;
    State state GUARDED_BY(mutex) = State::Pending;
};

void CDeliveryHandshake::Deliver(const ReceivedMessage& msg, const Poster& post,
                                 const Handler& handler) {
    auto job = std::make_shared<Job>(msg, handler);
    {
        MutexLock lock(m_mutex);
        if (m_cancelled)
            return;
        m_current = job;
    }

    post([job] {
        {
            MutexLock lock(job->mutex);
            if (job->state != Job::State::Pending)
                return;  // cancelled before it could run
            job->state = Job::State::Running;
        }
        if (job->handler)
            job->handler(&job->msg);
        {
            MutexLock lock(job->mutex);
            // A cancel that came while running has already released Deliver; keep its state.
            if (job->state == Job::State::Running)
                job->state = Job::State::Done;
        }
        job->changed.notify_all();
    });

    {
        MutexLock lock(job->mutex);
        while (job->state != Job::State::Done && job->state != Job::State::Cancelled)
            lock.Wait(job->changed);
    }

    MutexLock lock(m_mutex);
    if (m_current == job)
        m_current.reset();
}

void CDeliveryHandshake::Cancel() {
    std::shared_ptr<Job> job;
    {
        MutexLock lock(m_mutex);
        m_cancelled = true;
        job = m_current;
    }
    if (!job)
        return;
    {
        MutexLock lock(job->mutex);
        if (job->state == Job::State::Pending || job->state == Job::State::Running) {
            job->state = Job::State::Cancelled;
        }
    }
    job->changed.notify_all();
}

bool CDeliveryHandshake::Cancelled() const {
    MutexLock lock(m_mutex);
    return m_cancelled;
}
