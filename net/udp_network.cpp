#include "net/udp_network.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "net/socket_layer.h"
#include "net/thread_name.h"
#include "net/tick.h"

namespace {

using std::chrono::milliseconds;

// How long the receive thread waits per round, for datagrams or, while paused, for SetPaused;
// Stop and SetPaused end the wait at once through the wake-up.
constexpr int kReceiveWaitMs = 1000;
constexpr milliseconds kPausedCheck{50};     // re-check while paused, only without a wake-up
constexpr milliseconds kRetransmitScan{50};  // period of the pending-table scan
constexpr int kWritableWaitUs = 1000;        // before each send
constexpr std::size_t kMaxReadSockets = 64;  // a read set's capacity on Windows

}  // namespace

void CUdpNetwork::SendEvent::Signal() {
    {
        MutexLock lock(mutex);
        signalled = true;
    }
    cv.notify_one();
}

void CUdpNetwork::SendEvent::Wait() {
    MutexLock lock(mutex);
    while (!signalled)
        lock.Wait(cv);
    signalled = false;  // auto-reset
}

CUdpNetwork::CUdpNetwork(IReceiveSink* sink, NetworkPorts ports)
    : m_sink(sink), m_ports(ports), m_tick(&GetTickCountMs), m_receiveBuffer(kReceiveBufferSize) {}

CUdpNetwork::~CUdpNetwork() {
    // The owner is meant to call Stop; if it did not, stopping here is the only way not to
    // leave threads running on a destroyed object.
    if (!m_stopCalled)
        Stop();
    MutexLock pending(m_pendingLock);
    m_pending.Clear();
}

void CUdpNetwork::SetTickSource(TickSource source) {
    m_tick = source ? std::move(source) : TickSource(&GetTickCountMs);
}

void CUdpNetwork::SetScanTrigger(ScanTrigger trigger) {
    m_scanTrigger = trigger;
}

bool CUdpNetwork::Start() {
    if (m_started)
        return false;  // an object is started once and never restarted
    m_started = true;
    m_stop = false;
    if (!OpenSockets())
        return false;
    m_receiveThread = std::thread(&CUdpNetwork::ReceiveThreadProc, this);
    m_dispatchThread = std::thread(&CUdpNetwork::DispatchThreadProc, this);
    m_sendThread = std::thread(&CUdpNetwork::SendThreadProc, this);
    if (m_scanTrigger == ScanTrigger::Thread)
        m_retransmitThread = std::thread(&CUdpNetwork::RetransmitThreadProc, this);
    return true;
}

void CUdpNetwork::SetPaused(bool paused) {
    m_paused = paused;
    m_receiveWakeup.Signal();  // the receive thread looks at the flag again at once
}

bool CUdpNetwork::Stop() {
    m_stopCalled = true;
    m_stop = true;
    m_receiveWakeup.Signal();
    m_sendEvent.Signal();
    // Taking each lock once orders the flag before the sleepers' next test of it, so neither
    // the dispatch thread nor the retransmit thread can miss the wake-up.
    { MutexLock lock(m_receivedLock); }
    m_receivedReady.notify_all();
    { MutexLock lock(m_pendingLock); }
    m_pendingWake.notify_all();
    if (m_sink != nullptr)
        m_sink->CancelDelivery();
    for (std::thread* t :
         {&m_receiveThread, &m_dispatchThread, &m_sendThread, &m_retransmitThread}) {
        if (t->joinable())
            t->join();
    }
    if (!m_socketsClosed) {
        for (SocketHandle s : m_sockets)
            CloseSocket(s);
        m_socketsClosed = true;
    }
    return true;
}

bool CUdpNetwork::OpenSockets() {
    for (int slot = 0; slot < kSocketSlots; ++slot) {
        // A slot that cannot be opened is skipped, so the later ones move down a place; Start then
        // fails on the count.
        const SocketHandle s = OpenUdpSocket(m_ports.slot[slot], slot == kSearchSlot);
        if (s != kInvalidSocket)
            m_sockets.push_back(s);
    }
    return m_sockets.size() == kSocketSlots;
}

SocketHandle CUdpNetwork::GetSocket(int slot) const {
    if (slot < 0 || static_cast<std::size_t>(slot) >= m_sockets.size())
        return kInvalidSocket;
    return m_sockets[static_cast<std::size_t>(slot)];
}

int CUdpNetwork::SocketCount() const {
    return static_cast<int>(m_sockets.size());
}

std::uint16_t CUdpNetwork::LocalPort(int slot) const {
    const SocketHandle s = GetSocket(slot);
    return s == kInvalidSocket ? 0 : SocketLocalPort(s);
}

void CUdpNetwork::Send(NatMessage msg) {
    {
        MutexLock lock(m_outgoingLock);
        m_outgoing.push_back(msg);
        ++m_outgoingCount;
    }
    m_sendEvent.Signal();
}

void CUdpNetwork::CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) {
    MutexLock lock(m_pendingLock);
    m_pending.Complete(msg.fromAddress, msg.fromPort, requestType);
}

std::string CUdpNetwork::MakeRequestKey(std::uint32_t address, std::uint16_t port,
                                        std::uint32_t type) {
    return CPendingTable::MakeRequestKey(address, port, type);
}

std::size_t CUdpNetwork::PendingCount() const {
    MutexLock lock(m_pendingLock);
    return m_pending.Size();
}

std::size_t CUdpNetwork::ReceivedQueueLength() const {
    MutexLock lock(m_receivedLock);
    return m_received.size();
}

std::size_t CUdpNetwork::ReceivedQueuePeak() const {
    MutexLock lock(m_receivedLock);
    return m_receivedPeak;
}

std::uint64_t CUdpNetwork::ReceivedDropped() const {
    MutexLock lock(m_receivedLock);
    return m_receivedDropped;
}

std::size_t CUdpNetwork::SlotOf(SocketHandle s) const {
    // The table is fixed while the threads run, and holds at most five sockets.
    for (std::size_t i = 0; i < m_sockets.size() && i < kSocketSlots; ++i) {
        if (m_sockets[i] == s)
            return i;
    }
    return kSocketSlots;
}

bool CUdpNetwork::QueueReceived(SocketHandle s, std::uint32_t fromAddrNet,
                                std::uint16_t fromPortNet, const std::uint8_t* bytes,
                                std::size_t len) {
    ReceivedMessage msg;
    if (!MakeReceived(msg, bytes, len, fromAddrNet, fromPortNet, s))
        return false;
    {
        MutexLock lock(m_receivedLock);
        std::size_t& share = m_receivedPerSlot[SlotOf(s)];
        if (share >= kReceivedPerSocketLimit || m_received.size() >= kReceivedQueueLimit) {
            ++m_receivedDropped;
            return false;
        }
        ++share;
        m_received.push_back(msg);
        m_receivedPeak = std::max(m_receivedPeak, m_received.size());
    }
    m_receivedReady.notify_one();
    return true;
}

bool CUdpNetwork::Transmit(NatMessage msg) {
    // Paused is read before the request enters the table, so a request tracked while paused is
    // one whose transmission was swallowed, whatever SetPaused does next. Read after, a resume
    // that came between the two let the "swallowed" transmission leave after all.
    const bool paused = m_paused;
    if (msg.retryCount >= 0) {
        msg.lastSentTick = m_tick();
        ++msg.retryCount;
        bool wasEmpty = false;
        {
            MutexLock lock(m_pendingLock);
            wasEmpty = m_pending.Record(msg);
        }
        if (wasEmpty)
            m_pendingWake.notify_one();  // the scan was asleep on the empty table
    }
    // Swallowed while paused; and sendLength is a 16-bit field over a 256-byte area: never read
    // past the record.
    if (paused || msg.sendLength > kNatMessageDataSize)
        return false;
    return SendDatagramTo(msg.socket, msg.data, msg.sendLength, msg.address, msg.port,
                          kWritableWaitUs);
}

std::size_t CUdpNetwork::ScanRetransmissions() {
    std::size_t queued = 0;
    MutexLock lock(m_pendingLock);
    m_pending.Scan(m_tick(), [&](const NatMessage& msg) {
        Send(msg);
        ++queued;
    });
    return queued;
}

void CUdpNetwork::ReceiveThreadProc() {
    SetCurrentThreadName("gw-receive");
    std::vector<SocketHandle> readSet;
    for (SocketHandle s : m_sockets) {
        if (readSet.size() < kMaxReadSockets &&
            std::find(readSet.begin(), readSet.end(), s) == readSet.end()) {
            readSet.push_back(s);
        }
    }
    while (!m_stop) {
        if (m_paused) {
            // Nothing is read while paused. A fixed 50 ms re-check here once held back the first
            // reply of about one check in four (the engine resumes right after Start); now
            // SetPaused ends the wait.
            if (m_receiveWakeup.Valid())
                WaitReadable({}, kReceiveWaitMs, &m_receiveWakeup);
            else
                std::this_thread::sleep_for(kPausedCheck);
            continue;
        }
        const std::vector<SocketHandle> ready =
            WaitReadable(readSet, kReceiveWaitMs, &m_receiveWakeup);
        for (SocketHandle s : m_sockets) {
            if (std::find(ready.begin(), ready.end(), s) == ready.end())
                continue;
            std::uint32_t fromAddr = 0;
            std::uint16_t fromPort = 0;
            const long n = ReceiveDatagram(s, m_receiveBuffer.data(), m_receiveBuffer.size(),
                                           fromAddr, fromPort);
            if (n < 0)
                continue;  // receive errors are ignored
            QueueReceived(s, fromAddr, fromPort, m_receiveBuffer.data(),
                          static_cast<std::size_t>(n));
        }
    }
}

void CUdpNetwork::DispatchThreadProc() {
    SetCurrentThreadName("gw-dispatch");
    // Sleeps until QueueReceived signals instead of looking every millisecond: a message is
    // still handed over at once (tens of microseconds), and an idle module costs no wake-ups.
    for (;;) {
        ReceivedMessage msg;
        {
            MutexLock lock(m_receivedLock);
            while (!m_stop && m_received.empty())
                lock.Wait(m_receivedReady);
            if (m_stop)
                return;  // records still queued are never delivered; the destructor frees them
            msg = m_received.front();
            m_received.pop_front();
            --m_receivedPerSlot[SlotOf(msg.socket)];
        }
        if (m_sink != nullptr)
            m_sink->OnReceive(&msg);
    }
}

void CUdpNetwork::SendThreadProc() {
    SetCurrentThreadName("gw-send");
    for (;;) {
        m_sendEvent.Wait();
        if (m_stop)
            return;
        while (m_outgoingCount > 0) {
            NatMessage msg;
            {
                MutexLock lock(m_outgoingLock);
                msg = m_outgoing.front();
                m_outgoing.pop_front();
                --m_outgoingCount;
            }
            Transmit(msg);
        }
    }
}

void CUdpNetwork::RetransmitThreadProc() {
    SetCurrentThreadName("gw-retransmit");
    for (;;) {
        {
            // An empty table has nothing to scan: sleep until Transmit enters a request, which
            // is then first looked at within 50 ms as before.
            MutexLock lock(m_pendingLock);
            while (!m_stop && m_pending.Empty())
                lock.Wait(m_pendingWake);
            if (m_stop)
                return;
        }
        ScanRetransmissions();
        MutexLock lock(m_pendingLock);
        if (lock.WaitFor(m_pendingWake, kRetransmitScan, [this] { return m_stop.load(); }))
            return;
    }
}
