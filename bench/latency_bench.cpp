// gatewise-latency-bench: time inside the client's network module, on loopback.
//
//   receive: from a peer's sendto (on loopback the datagram is in the socket's buffer when the
//            call returns) to the engine's handler running on the engine's thread, through the
//            receive thread, the received queue, the dispatch thread and the delivery handshake,
//            exactly as the command-line client wires them;
//   send:    from the engine's Send to the datagram's arrival at the peer (the send thread and
//            the socket).
// Each direction is measured with no other traffic, then under a flood of junk on the slots of
// 9801 and 9802 (moved to system-chosen ports here). Probes go one at a time, so a probe never
// waits behind another probe, only behind the flood.
//
//   gatewise-latency-bench [--probes N] [--flood-burst B]
//
// B datagrams are sent back to back every millisecond by the flooder (default 64, about 60000
// a second when the machine keeps up). Loopback only.

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/engine_loop.h"
#include "core/thread_annotations.h"
#include "net/delivery.h"
#include "net/socket_layer.h"
#include "net/udp_network.h"
#include "tests/support/loopback_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::uint32_t kProbeType = 0x7C777007;  // a reply the engine would act on
constexpr std::uint32_t kJunkType = 0x7C777099;   // a code the engine drops at once

using gwtest::LoopbackPeer;

// A peer socket on loopback; the benchmark cannot run without one.
void RequireOk(const LoopbackPeer& peer) {
    if (!peer.Ok()) {
        std::perror("peer socket");
        std::exit(1);
    }
}

// The sequence number of the next probe that reaches peer within timeout, or -1.
int ReceiveProbe(const LoopbackPeer& peer, milliseconds timeout) {
    const auto d = peer.Receive(timeout);
    if (!d || d->bytes.size() < 8)
        return -1;
    return ReadBe16(d->bytes.data() + 6);
}

// The client's sink: each message is handed to the engine loop and waited for.
class EngineSink : public IReceiveSink {
public:
    explicit EngineSink(CEngineLoop& loop) : m_loop(loop) {}
    void OnReceive(const ReceivedMessage* msg) override {
        m_handshake.Deliver(
            *msg, [this](std::function<void()> job) { m_loop.Post(std::move(job)); },
            [this](const ReceivedMessage* m) { Handle(*m); });
    }
    void CancelDelivery() override { m_handshake.Cancel(); }

    // Engine thread. Probes carry their sequence number at offset 6.
    void Handle(const ReceivedMessage& m) EXCLUDES(m_mutex) {
        if (MessageType(m) != kProbeType)
            return;
        const auto now = Clock::now();
        {
            MutexLock lock(m_mutex);
            m_handledSeq = ReadBe16(m.data + 6);
            m_handledAt = now;
        }
        m_changed.notify_all();
    }
    // The time probe seq was handled, or nothing within timeout.
    bool WaitHandled(int seq, milliseconds timeout, Clock::time_point& at) EXCLUDES(m_mutex) {
        MutexLock lock(m_mutex);
        if (!lock.WaitFor(m_changed, timeout,
                          [&]() REQUIRES(m_mutex) { return m_handledSeq == seq; }))
            return false;
        at = m_handledAt;
        return true;
    }

private:
    CEngineLoop& m_loop;
    CDeliveryHandshake m_handshake;
    Mutex m_mutex;  // a leaf
    std::condition_variable m_changed;
    int m_handledSeq GUARDED_BY(m_mutex) = -1;
    Clock::time_point m_handledAt GUARDED_BY(m_mutex){};
};

struct Figures {
    std::vector<double> us;
    int lost = 0;
};

void Print(const char* what, Figures f) {
    std::sort(f.us.begin(), f.us.end());
    auto pct = [&](double p) {
        if (f.us.empty())
            return 0.0;
        const std::size_t i =
            std::min(f.us.size() - 1, static_cast<std::size_t>(p / 100.0 * f.us.size()));
        return f.us[i];
    };
    std::printf("%-22s n=%5zu lost=%3d  median %8.1f us  p99 %8.1f us  max %8.1f us\n", what,
                f.us.size(), f.lost, pct(50), pct(99), f.us.empty() ? 0.0 : f.us.back());
}

class Flooder {
public:
    Flooder(std::uint16_t portA, std::uint16_t portB, int burst)
        : m_thread([=, this] {
              RequireOk(m_peer);
              std::uint8_t junk[6];
              EncodeEmpty(junk, kJunkType);
              while (!m_stop) {
                  for (int i = 0; i < burst; ++i)
                      m_peer.SendTo(i % 2 ? portA : portB, junk, sizeof junk);
                  m_sent += static_cast<std::uint64_t>(burst);
                  std::this_thread::sleep_for(milliseconds(1));
              }
          }) {}
    ~Flooder() {
        m_stop = true;
        m_thread.join();
    }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;
    std::uint64_t Sent() const { return m_sent; }

private:
    LoopbackPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_sent{0};
    std::thread m_thread;  // last: starts after the fields it uses
};

Figures MeasureReceive(CUdpNetwork& net, EngineSink& sink, const LoopbackPeer& peer, int probes) {
    Figures f;
    const std::uint16_t port = SocketLocalPort(net.GetSocket(0));
    for (int seq = 0; seq < probes; ++seq) {
        std::uint8_t probe[kPortBodyLength];
        EncodePort(probe, kProbeType, htons(static_cast<std::uint16_t>(seq)));
        const auto sent = Clock::now();
        peer.SendTo(port, probe, sizeof probe);
        Clock::time_point handled;
        if (sink.WaitHandled(seq, milliseconds(1000), handled))
            f.us.push_back(std::chrono::duration<double, std::micro>(handled - sent).count());
        else
            ++f.lost;  // dropped by a full queue (or by the kernel) under the flood
        std::this_thread::sleep_for(microseconds(500 + (seq * 37) % 500));  // spread the phase
    }
    return f;
}

Figures MeasureSend(CUdpNetwork& net, const LoopbackPeer& peer, int probes) {
    Figures f;
    for (int seq = 0; seq < probes; ++seq) {
        ReceivedMessage to;
        to.fromAddress = gwtest::LoopbackNet();
        to.fromPort = peer.PortNet();
        to.socket = net.GetSocket(0);
        NatMessage m = MakeAnswer(kProbeType, to);
        m.data[1] = kPortBodyLength;
        WriteBe16(m.data + 6, static_cast<std::uint16_t>(seq));
        m.sendLength = kPortBodyLength;
        const auto start = Clock::now();
        net.Send(m);
        int got = -1;
        while (got != seq) {
            got = ReceiveProbe(peer, milliseconds(1000));
            if (got < 0)
                break;
        }
        if (got == seq)
            f.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        else
            ++f.lost;
        std::this_thread::sleep_for(microseconds(500 + (seq * 37) % 500));
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int probes = 2000;
    int burst = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--probes") == 0)
            probes = std::clamp(std::atoi(argv[i + 1]), 1, 60000);
        else if (std::strcmp(argv[i], "--flood-burst") == 0)
            burst = std::clamp(std::atoi(argv[i + 1]), 1, 4096);
    }

    CEngineLoop loop(milliseconds(1000));
    std::thread engine([&] { loop.Run(); });
    EngineSink sink(loop);
    CUdpNetwork net(&sink, NetworkPorts{{0, 0, 0, 0, 0}});
    if (!net.Start()) {
        std::fprintf(stderr, "cannot open the sockets\n");
        loop.Quit();
        engine.join();
        return 1;
    }
    net.SetPaused(false);
    LoopbackPeer peer;
    RequireOk(peer);

    std::printf("probes=%d flood: %d datagrams every millisecond on slots 3 and 4\n", probes,
                burst);
    Print("receive, no load", MeasureReceive(net, sink, peer, probes));
    Print("send, no load", MeasureSend(net, peer, probes));
    {
        Flooder flood(SocketLocalPort(net.GetSocket(kSearchSlot)),
                      SocketLocalPort(net.GetSocket(kPort9802Slot)), burst);
        const auto t0 = Clock::now();
        const std::uint64_t dropped0 = net.ReceivedDropped();
        Print("receive, flood", MeasureReceive(net, sink, peer, probes));
        Print("send, flood", MeasureSend(net, peer, probes));
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("flood: %.0f datagrams/s offered, queue peak %zu of %zu, %llu dropped\n",
                    static_cast<double>(flood.Sent()) / s, net.ReceivedQueuePeak(),
                    kReceivedQueueLimit,
                    static_cast<unsigned long long>(net.ReceivedDropped() - dropped0));
    }
    net.Stop();
    loop.Quit();
    engine.join();
    loop.DiscardPending();
    return 0;
}
