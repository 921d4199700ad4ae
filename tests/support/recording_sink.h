#pragma once
// A receive sink that records what the dispatch thread hands over. Built with a closed gate it
// stands for an engine that is busy: each delivery waits (bounded) until the test opens the gate,
// so the received queue fills as it would behind a slow user-interface thread. It notes whether
// two deliveries ever overlapped.
//
// Threads: OnReceive on the dispatch thread; CancelDelivery and everything else on any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <vector>

#include "core/thread_annotations.h"
#include "net/message_sink.h"

namespace gwtest {

class RecordingSink : public IReceiveSink {
public:
    enum class Gate { Open, Closed };
    explicit RecordingSink(Gate gate = Gate::Open) : m_open(gate == Gate::Open) {}

    void OnReceive(const ReceivedMessage* msg) override EXCLUDES(m_mutex);
    // Notes the cancel and opens the gate, as a cancelled delivery stops waiting for the engine.
    void CancelDelivery() override EXCLUDES(m_mutex);

    void Open() EXCLUDES(m_mutex);
    // True once at least count messages arrived, false after timeout.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout) EXCLUDES(m_mutex);
    std::vector<ReceivedMessage> Messages() const EXCLUDES(m_mutex);
    bool Cancelled() const EXCLUDES(m_mutex);
    bool Overlapped() const EXCLUDES(m_mutex);

private:
    std::atomic<int> m_inside{0};  // deliveries under way
    mutable Mutex m_mutex;         // a leaf: the sink takes no other lock
    std::condition_variable m_changed;
    bool m_open GUARDED_BY(m_mutex);
    bool m_cancelled GUARDED_BY(m_mutex) = false;
    bool m_overlapped GUARDED_BY(m_mutex) = false;
    std::vector<ReceivedMessage> m_messages GUARDED_BY(m_mutex);
};

}  // namespace gwtest
