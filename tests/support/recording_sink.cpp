#include "tests/support/recording_sink.h"

namespace gwtest {

using std::chrono::milliseconds;

void RecordingSink::OnReceive(const ReceivedMessage* msg) {
    const int inside = ++m_inside;
    {
        MutexLock lock(m_mutex);
        if (inside > 1)
            m_overlapped = true;
        // Bounded: a test that forgets to open the gate still ends.
        lock.WaitFor(m_changed, milliseconds(15000), [this]() REQUIRES(m_mutex) { return m_open; });
        m_messages.push_back(*msg);
        --m_inside;
    }
    m_changed.notify_all();
}

void RecordingSink::CancelDelivery() {
    {
        MutexLock lock(m_mutex);
        m_cancelled = true;
        m_open = true;
    }
    m_changed.notify_all();
}

void RecordingSink::Open() {
    {
        MutexLock lock(m_mutex);
        m_open = true;
    }
    m_changed.notify_all();
}

bool RecordingSink::WaitFor(std::size_t count, milliseconds timeout) {
    MutexLock lock(m_mutex);
    return lock.WaitFor(m_changed, timeout,
                        [&]() REQUIRES(m_mutex) { return m_messages.size() >= count; });
}

std::vector<ReceivedMessage> RecordingSink::Messages() const {
    MutexLock lock(m_mutex);
    return m_messages;
}

bool RecordingSink::Cancelled() const {
    MutexLock lock(m_mutex);
    return m_cancelled;
}

bool RecordingSink::Overlapped() const {
    MutexLock lock(m_mutex);
    return m_overlapped;
}

}  // namespace gwtest
