#pragma once
// A synchronous hand-over from the dispatch thread to the engine's thread that the network
// module's Stop can cancel, so Stop never waits forever on a delivery to the thread that calls it.
//
// Threads: Deliver on the dispatch thread; Cancel on any thread; the posted work runs on the
// engine's thread.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "net/messages.h"

class CDeliveryHandshake {
public:
    using Handler = std::function<void(const ReceivedMessage*)>;
    using Poster = std::function<void(std::function<void()>)>;

    // Copies msg, posts a job through post and waits until the job has run handler on the engine's
    // thread, or until Cancel. A job that runs after a cancel does not call handler. Once
    // cancelled, every later Deliver returns at once without posting.
    void Deliver(const ReceivedMessage& msg, const Poster& post, const Handler& handler);
    void Cancel();
    bool Cancelled() const;

private:
    // (Filled in by the implementation.)
};
