#include "tests/support/loopback_peer.h"

#include "core/sys_inet.h"

// The parts of the loopback peer no system is in; loopback_peer.cpp (POSIX) or
// loopback_peer_win.cpp holds the socket calls.

namespace gwtest {

using std::chrono::milliseconds;

std::uint32_t LoopbackNet() {
    return htonl(INADDR_LOOPBACK);
}

std::uint16_t LoopbackPeer::PortNet() const {
    return htons(m_port);
}

std::vector<Datagram> LoopbackPeer::ReceiveAll(milliseconds window) const {
    std::vector<Datagram> got;
    const auto end = std::chrono::steady_clock::now() + window;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (auto d = Receive(left))
            got.push_back(std::move(*d));
    }
    return got;
}

}  // namespace gwtest
