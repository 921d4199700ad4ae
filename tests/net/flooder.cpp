// net_flooder: sends junk datagrams to 127.0.0.1 on the given ports as fast as it can, for a
// bounded time, then prints how many it sent. Loopback only; the destination is not a choice.
//
//   net_flooder SECONDS PORT...

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const double seconds = std::atof(argv[1]);
    if (!(seconds > 0 && seconds <= 60))
        return 2;
    std::vector<sockaddr_in> targets;
    for (int i = 2; i < argc; ++i) {
        const int port = std::atoi(argv[i]);
        if (port <= 0 || port > 65535)
            return 2;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        targets.push_back(to);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 1;
    // Junk of three kinds: a code no copy knows, an empty datagram, one longer than a record.
    static const std::uint8_t unknown[] = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x99};
    static std::uint8_t longer[400] = {0x01, 0x90, 0x7C, 0x77, 0x70, 0x02};
    struct Kind {
        const std::uint8_t* bytes;
        std::size_t len;
    };
    const Kind kinds[] = {{unknown, sizeof unknown}, {unknown, 0}, {longer, sizeof longer}};
    std::uint64_t sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (int burst = 0; burst < 256; ++burst, ++sent) {
            const sockaddr_in& to = targets[sent % targets.size()];
            const Kind& k = kinds[sent % 5 == 0 ? 1 + (sent / 5) % 2 : 0];
            (void)::sendto(fd, k.bytes, k.len, 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to);
        }
    }
    ::close(fd);
    std::printf("%llu\n", static_cast<unsigned long long>(sent));
    return 0;
}
