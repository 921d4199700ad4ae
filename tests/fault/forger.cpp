// fault_forger: the two sides of an off-path attack on a check, on loopback only.
//
//   fault_forger pair SECONDS
//     A slow probe server pair on 127.0.0.10:7000/7001 and 127.0.0.20:7100 that answers after
//     300 ms, reports the mapped address 127.0.0.99:40000 (no interface address, so the client
//     takes itself to be behind a NAT) and never sends the unsolicited replies 0x77747005 and
//     0x7C777006: a port-restricted NAT, as the client sees it.
//   fault_forger forge SECONDS CODE...
//     Sends forged datagrams of the given type codes (hex) from 127.0.0.66 to 127.0.0.1:9801 and
//     :9802, as fast as it can; each carries the endpoint 127.0.0.13:13 as its body. Prints how
//     many it sent.
// Both stop by themselves after SECONDS (at most 60).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// SIGTERM ends a run early, with its count still printed.
volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnTerm(int) {
    g_stop = 1;
}

sockaddr_in Endpoint(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

int Bound(const char* ip, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Endpoint(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror(ip);
        std::exit(1);
    }
    return fd;
}

std::size_t Datagram(std::uint8_t* out, std::uint32_t type, std::size_t bodyLen,
                     const std::uint8_t* body) {
    const std::size_t len = 6 + bodyLen;
    out[0] = 0;
    out[1] = static_cast<std::uint8_t>(len);
    for (int i = 0; i < 4; ++i)
        out[2 + i] = static_cast<std::uint8_t>(type >> (24 - 8 * i));
    if (bodyLen > 0)
        std::memcpy(out + 6, body, bodyLen);
    return len;
}

struct Pending {
    Clock::time_point due;
    int fd;
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
};

int RunPair(double seconds) {
    const int fds[] = {Bound("127.0.0.10", 7000), Bound("127.0.0.10", 7001),
                       Bound("127.0.0.20", 7100)};
    const std::uint8_t mapped[6] = {127, 0, 0, 99, 40000 >> 8, 40000 & 0xFF};
    const std::uint8_t port[2] = {40000 >> 8, 40000 & 0xFF};
    std::vector<Pending> pending;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && g_stop == 0) {
        pollfd p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = {fds[i], POLLIN, 0};
        ::poll(p, 3, 10);
        for (int i = 0; i < 3; ++i) {
            if ((p[i].revents & POLLIN) == 0)
                continue;
            std::uint8_t in[512];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n =
                ::recvfrom(fds[i], in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 6)
                continue;
            const std::uint32_t type = std::uint32_t{in[2]} << 24 | std::uint32_t{in[3]} << 16 |
                                       std::uint32_t{in[4]} << 8 | in[5];
            std::uint8_t out[16];
            std::size_t len = 0;
            switch (type) {
                case 0x74777002:  // binding: the mapped address
                    len = Datagram(out, 0x7C777002, 6, mapped);
                    break;
                case 0x74777003:  // change request: acknowledged, never carried out
                    len = Datagram(out, 0x7C777003, 0, nullptr);
                    break;
                case 0x74777007:
                case 0x74777008:
                case 0x74777009:
                case 0x7477700A:
                case 0x7477700B:  // allocation and exceptional tests: one port for all
                    len = Datagram(out, type | 0x08000000, 2, port);
                    break;
                default:  // the port change request above all: its reply never comes
                    continue;
            }
            pending.push_back({Clock::now() + std::chrono::milliseconds(300), fds[i], from,
                               std::vector<std::uint8_t>(out, out + len)});
        }
        const auto now = Clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            (void)::sendto(it->fd, it->bytes.data(), it->bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
            it = pending.erase(it);
        }
    }
    return 0;
}

int RunForge(double seconds, const std::vector<std::uint32_t>& codes) {
    const int fd = Bound("127.0.0.66", 0);
    const sockaddr_in targets[] = {Endpoint("127.0.0.1", 9801), Endpoint("127.0.0.1", 9802)};
    const std::uint8_t body[6] = {127, 0, 0, 13, 0, 13};
    std::uint64_t sent = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && g_stop == 0) {
        for (int burst = 0; burst < 64; ++burst, ++sent) {
            std::uint8_t out[16];
            const std::size_t len = Datagram(out, codes[sent % codes.size()], 6, body);
            const sockaddr_in& to = targets[(sent / codes.size()) % 2];
            (void)::sendto(fd, out, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        // A steady stream rather than a saturating flood: forgeries need to be there when a
        // step waits, not to crowd out the real replies.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("%llu\n", static_cast<unsigned long long>(sent));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    const double seconds = std::atof(argv[2]);
    if (!(seconds > 0 && seconds <= 60))
        return 2;
    std::signal(SIGTERM, OnTerm);
    if (mode == "pair")
        return RunPair(seconds);
    if (mode != "forge" || argc < 4)
        return 2;
    std::vector<std::uint32_t> codes;
    for (int i = 3; i < argc; ++i)
        codes.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 16)));
    return RunForge(seconds, codes);
}
