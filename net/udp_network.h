#pragma once
// The UDP network module: five sockets, the outgoing and received queues, the table of outstanding
// requests and four worker threads (receive, dispatch, send, retransmit; no retransmit thread when
// a test drives the scan by hand).
//
// Idle, the module costs about one wake-up a second: the receive thread's one-second wait, for
// datagrams or, while paused, for SetPaused. SetPaused and Stop end that wait at once, so reading
// starts as soon as the engine resumes and Stop takes milliseconds. The dispatch thread sleeps
// until the receive thread queues a message, the send thread until Send, and the retransmission
// scan (every 50 ms) until the pending table holds a request.
//
// Threads: the constructor, Start, SetPaused, Send, CompleteRequest, GetSocket, Stop and the
// destructor are called on the engine's (user-interface) thread; Send and CompleteRequest are also
// safe from any other thread. SetTickSource and SetScanTrigger are called before Start only. The
// sink is called on the dispatch thread only.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"
#include "net/message_sink.h"
#include "net/messages.h"
#include "net/network_link.h"
#include "net/pending_table.h"
#include "net/socket_layer.h"

// Local ports of the five slots; 0 = chosen by the system. Tests may move the fixed two.
struct NetworkPorts {
    std::uint16_t slot[5] = {0, 0, 0, 9801, 9802};
};

// Most received records the module holds for the engine (about 1.4 MB). A check has at most a
// handful in flight; past this a flood on 9801/9802 is dropped (and counted) instead of growing
// memory without limit while the engine works through the queue.
inline constexpr std::size_t kReceivedQueueLimit = 4096;
// Each socket's share of that limit. A flood on some sockets (9801/9802 are well known) fills only
// their shares, so a reply arriving on another socket, the probe socket above all, is still
// queued: some of those replies (the changed-address reply) are never sent twice.
inline constexpr std::size_t kReceivedPerSocketLimit = kReceivedQueueLimit / kSocketSlots;

class CUdpNetwork : public INetworkLink {
public:
    explicit CUdpNetwork(IReceiveSink* sink, NetworkPorts ports = {});
    ~CUdpNetwork() override;
    CUdpNetwork(const CUdpNetwork&) = delete;
    CUdpNetwork& operator=(const CUdpNetwork&) = delete;

    // Opens the five sockets and starts the four threads; false (no thread started) when a socket
    // cannot be opened. Called once.
    bool Start();
    void SetPaused(bool paused);
    // Sets the stop flag, wakes the four threads, cancels a delivery in flight, waits for the
    // threads (milliseconds; a send blocked in the kernel may add up to its one-second time-out)
    // and closes the sockets. Always true.
    bool Stop();

    void Send(NatMessage msg) override EXCLUDES(m_outgoingLock, m_sendEvent.mutex);
    void CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) override
        EXCLUDES(m_pendingLock);
    SocketHandle GetSocket(int slot) const override;
    int SocketCount() const override;
    std::uint16_t LocalPort(int slot) const override;

    // "%04d %04d %04d" of the address read as a native int32, the port as a native uint16 and the
    // type code.
    static std::string MakeRequestKey(std::uint32_t address, std::uint16_t port,
                                      std::uint32_t type);

    // For tests and diagnostics; any thread.
    std::size_t PendingCount() const EXCLUDES(m_pendingLock);
    // Records waiting for the dispatch thread now, and the most there ever were.
    std::size_t ReceivedQueueLength() const EXCLUDES(m_receivedLock);
    std::size_t ReceivedQueuePeak() const EXCLUDES(m_receivedLock);
    // Datagrams dropped because the received queue was full.
    std::uint64_t ReceivedDropped() const EXCLUDES(m_receivedLock);

    // Millisecond clock of the retransmission logic; GetTickCountMs unless replaced. Tests step
    // it by hand (across the 32-bit wrap too). Set before Start only; the function is called on
    // the send thread, the retransmit thread and in ScanRetransmissions.
    using TickSource = std::function<std::uint32_t()>;
    void SetTickSource(TickSource source);

    // What runs the retransmission scan: the retransmit thread every 50 ms while the pending
    // table holds a request, or (Manual) only ScanRetransmissions, so that a test steps the tick
    // source, scans and asserts each retransmission exactly instead of sleeping. With Manual
    // the retransmit thread is not started. Set before Start only.
    enum class ScanTrigger { Thread, Manual };
    void SetScanTrigger(ScanTrigger trigger);
    // One scan of the pending table at the tick source's now: requests overdue are removed, and
    // queued for the send thread if they have transmissions left. Returns how many were queued.
    // Any thread; the retransmit thread calls it too.
    std::size_t ScanRetransmissions() EXCLUDES(m_pendingLock);

private:
    struct SendEvent {  // auto-reset: one Wait consumes one or more Signals
        void Signal() EXCLUDES(mutex);
        void Wait() EXCLUDES(mutex);
        Mutex mutex;  // a leaf lock: nothing else is taken while it is held
        std::condition_variable cv;
        bool signalled GUARDED_BY(mutex) = false;
    };

    bool OpenSockets();
    // Slot of s in the socket table, or kSocketSlots for a socket not in it.
    std::size_t SlotOf(SocketHandle s) const;
    bool QueueReceived(SocketHandle s, std::uint32_t fromAddrNet, std::uint16_t fromPortNet,
                       const std::uint8_t* bytes, std::size_t len) EXCLUDES(m_receivedLock);
    bool Transmit(NatMessage msg) EXCLUDES(m_pendingLock);

    void ReceiveThreadProc() EXCLUDES(m_receivedLock);
    void DispatchThreadProc() EXCLUDES(m_receivedLock);
    void SendThreadProc() EXCLUDES(m_outgoingLock, m_pendingLock);
    void RetransmitThreadProc() EXCLUDES(m_pendingLock);

    IReceiveSink* const m_sink;  // not owned; outlives this object
    const NetworkPorts m_ports;
    // Set before Start, read-only while the workers run.
    TickSource m_tick;
    ScanTrigger m_scanTrigger = ScanTrigger::Thread;

    // Written by Start before any worker exists, read-only while they run.
    std::vector<SocketHandle> m_sockets;
    bool m_started = false;        // engine thread only
    bool m_stopCalled = false;     // engine thread only
    bool m_socketsClosed = false;  // engine thread only; a second Stop must not close reused fds

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_paused{true};
    // Ends the receive thread's wait after a change of m_stop or m_paused: signalled by Stop and
    // SetPaused after the flag is written, drained by the receive thread alone (in WaitReadable),
    // which reads the flags again after every wait. Takes no lock.
    CReadWakeup m_receiveWakeup;

    static constexpr std::size_t kReceiveBufferSize = 65467;
    std::vector<std::uint8_t> m_receiveBuffer;  // receive thread only

    std::thread m_receiveThread;
    std::thread m_dispatchThread;
    std::thread m_sendThread;
    std::thread m_retransmitThread;

    // Locks, in the only order in which two may be held together:
    //   m_pendingLock -> m_outgoingLock (the retransmission scan calls Send);
    //   m_pendingLock -> m_sendEvent.mutex (the same Send signals the send thread).
    // m_receivedLock is never held with another lock. No lock is held during a socket call or
    // while the sink delivers a message.
    mutable Mutex m_receivedLock;
    std::condition_variable m_receivedReady;  // receive thread -> dispatch thread; and Stop
    std::list<ReceivedMessage> m_received GUARDED_BY(m_receivedLock);
    std::size_t m_receivedPeak GUARDED_BY(m_receivedLock) = 0;
    std::uint64_t m_receivedDropped GUARDED_BY(m_receivedLock) = 0;
    // Records queued per slot (the last entry: a socket not in the table).
    std::size_t m_receivedPerSlot[kSocketSlots + 1] GUARDED_BY(m_receivedLock) = {};

    Mutex m_outgoingLock;
    std::list<NatMessage> m_outgoing GUARDED_BY(m_outgoingLock);
    // m_outgoing's length, read by the send thread without the lock to know whether to take it.
    std::atomic<std::size_t> m_outgoingCount{0};

    mutable Mutex m_pendingLock ACQUIRED_BEFORE(m_outgoingLock, m_sendEvent.mutex);
    std::condition_variable m_pendingWake;  // Transmit (table no longer empty) and Stop
    CPendingTable m_pending GUARDED_BY(m_pendingLock);

    SendEvent m_sendEvent;
};
