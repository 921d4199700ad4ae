#pragma once
// A synchronous hand-over from the dispatch thread to the engine's thread that the network
// module's Stop can cancel, so Stop never waits forever on a delivery to the thread that calls it.
//
// Threads: Deliver on the dispatch thread; Cancel on any thread; the posted work runs on the
// engine's thread.

#include <functional>
#include <memory>

#include "core/thread_annotations.h"
#include "net/messages.h"

class CDeliveryHandshake {
public:
    using Handler = std::function<void(const ReceivedMessage*)>;
    using Poster = std::function<void(std::function<void()>)>;

    // Copies msg, posts a job through post and waits until the job has run handler on the engine's
    // thread, or until Cancel. A job that runs after a cancel does not call handler. Once
    // cancelled, every later Deliver returns at once without posting.
    void Deliver(const ReceivedMessage& msg, const Poster& post, const Handler& handler)
        EXCLUDES(m_mutex);
    void Cancel() EXCLUDES(m_mutex);
    bool Cancelled() const EXCLUDES(m_mutex);

private:
    // One delivery's state, shared by Deliver and the posted job, so a job that outlives its
    // Deliver (cancelled, or run late) still owns the message and the handler it uses.
    struct Job;

    // Lock order: m_mutex and a Job::mutex are never held together; neither is held while
    // posting or while the handler runs.
    mutable Mutex m_mutex;
    bool m_cancelled GUARDED_BY(m_mutex) = false;
    std::shared_ptr<Job> m_current GUARDED_BY(m_mutex);  // the delivery Deliver is waiting on
};
