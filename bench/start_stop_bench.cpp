// gatewise-start-stop-bench: how long the network module takes to start reading and to stop.
//
//   first reply: the client's start-up (Start, then SetPaused(false)), then at once a peer's
//                datagram to the probe socket; the time from the peer's sendto to the sink;
//   stop:        Stop of a running, idle module (its receive thread in its readiness wait,
//                reached after a wait of 0-99 ms so every phase of that wait is met).
//
//   gatewise-start-stop-bench [--rounds N]
//
// Loopback only, system-chosen ports. Prints the median, 90th percentile and maximum (ms).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"
#include "net/socket_layer.h"
#include "net/udp_network.h"
#include "tests/support/loopback_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr NetworkPorts kAnyPorts{{0, 0, 0, 0, 0}};

class TimingSink : public IReceiveSink {
public:
    void OnReceive(const ReceivedMessage*) override EXCLUDES(m_mutex) {
        {
            MutexLock lock(m_mutex);
            if (!m_got)
                m_at = Clock::now();
            m_got = true;
        }
        m_changed.notify_all();
    }
    void CancelDelivery() override {}

    // Arrival time of the first message, or nothing within timeout.
    bool WaitFirst(milliseconds timeout, Clock::time_point& at) EXCLUDES(m_mutex) {
        MutexLock lock(m_mutex);
        if (!lock.WaitFor(m_changed, timeout, [this]() REQUIRES(m_mutex) { return m_got; }))
            return false;
        at = m_at;
        return true;
    }

private:
    Mutex m_mutex;  // a leaf
    std::condition_variable m_changed;
    bool m_got GUARDED_BY(m_mutex) = false;
    Clock::time_point m_at GUARDED_BY(m_mutex);
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* what, std::vector<double> v) {
    if (v.empty())
        return;
    std::sort(v.begin(), v.end());
    std::printf("%-12s n=%zu  median %.3f  p90 %.3f  max %.3f ms\n", what, v.size(),
                v[v.size() / 2], v[v.size() * 9 / 10], v.back());
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 40;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
    }
    const gwtest::LoopbackPeer peer;
    if (!peer.Ok()) {
        std::perror("peer socket");
        return 1;
    }
    const std::uint8_t reply[] = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x02};
    std::vector<double> firstReply, stop;
    int lost = 0;
    for (int r = 0; r < rounds; ++r) {
        TimingSink sink;
        CUdpNetwork net(&sink, kAnyPorts);
        if (!net.Start()) {
            std::fprintf(stderr, "Start failed\n");
            return 1;
        }
        net.SetPaused(false);
        const std::uint16_t port = SocketLocalPort(net.GetSocket(0));
        const auto sent = Clock::now();
        peer.SendTo(port, reply, sizeof reply);
        Clock::time_point at;
        if (sink.WaitFirst(milliseconds(3000), at))
            firstReply.push_back(Ms(at - sent));
        else
            ++lost;

        std::this_thread::sleep_for(milliseconds((r * 37) % 100));  // spread the phase
        const auto t0 = Clock::now();
        net.Stop();
        stop.push_back(Ms(Clock::now() - t0));
    }
    Report("first reply", firstReply);
    Report("stop", stop);
    if (lost > 0)
        std::printf("first reply lost in %d rounds\n", lost);
    return lost > 0 ? 1 : 0;
}
