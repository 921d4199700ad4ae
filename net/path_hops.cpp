#include "net/path_hops.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/sockaddr_ipv4.h"

namespace {

// The router that sent an ICMP error about our datagram, from the error queue: its address, and
// whether it was the destination itself (anything but time exceeded).
struct Offender {
    std::uint32_t address = 0;
    bool final = false;
};

std::optional<Offender> ReadError(int fd) {
    char data[64];
    char control[512];
    sockaddr_in target{};
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &target;
    msg.msg_namelen = sizeof target;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
        return std::nullopt;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err err{};
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin != SO_EE_ORIGIN_ICMP)
            return std::nullopt;
        sockaddr_in from{};
        std::memcpy(&from, reinterpret_cast<const unsigned char*>(CMSG_DATA(c)) + sizeof err,
                    sizeof from);
        constexpr std::uint8_t kTimeExceeded = 11;
        return Offender{from.sin_addr.s_addr, err.ee_type != kTimeExceeded};
    }
    return std::nullopt;
}

}  // namespace

const char* PathHopsMissing() {
    return nullptr;
}

std::vector<std::optional<std::uint32_t>> TracePathHops(std::uint32_t destNet,
                                                        std::uint16_t portHost, int maxHops,
                                                        int waitMs, const std::atomic<bool>* stop) {
    std::vector<std::optional<std::uint32_t>> hops;
    for (int ttl = 1; ttl <= maxHops && !(stop && stop->load()); ++ttl) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            break;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        const sockaddr_in to = Ipv4SocketAddress(destNet, htons(portHost));
        const char probe[8] = {};
        std::optional<Offender> got;
        if (::sendto(fd, probe, sizeof probe, 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) >= 0) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
            while (!got && !(stop && stop->load())) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      end - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0)
                    break;
                pollfd p{fd, 0, 0};  // errors are reported whatever is asked for
                if (::poll(&p, 1, static_cast<int>(left < 100 ? left : 100)) > 0 &&
                    (p.revents & POLLERR) != 0) {
                    got = ReadError(fd);
                }
            }
        }
        ::close(fd);
        hops.push_back(got ? std::optional<std::uint32_t>(got->address) : std::nullopt);
        if (got && (got->final || got->address == destNet))
            break;
    }
    return hops;
}
