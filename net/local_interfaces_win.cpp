// The computer's IPv4 interfaces and host name addresses (Windows: GetAdaptersAddresses,
// getaddrinfo).

#include "net/local_interfaces.h"

#include <ws2tcpip.h>

#include <cstring>

#include "core/win_util.h"

std::vector<LocalAddressSet::Network> LocalInterfaces() {
    std::vector<LocalAddressSet::Network> found;
    ForEachIpv4Unicast([&found](std::uint32_t addressNet, unsigned prefixLength, bool) {
        found.push_back({addressNet, MaskOfPrefix(prefixLength)});
    });
    return found;
}

std::vector<std::uint32_t> LocalHostNameAddresses() {
    std::vector<std::uint32_t> found;
    char name[128] = {};
    if (!EnsureWinsock() || ::gethostname(name, sizeof name - 1) != 0)
        return found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) != 0)
        return found;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
            sockaddr_in sin{};
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            found.push_back(sin.sin_addr.s_addr);
        }
    }
    ::freeaddrinfo(result);
    return found;
}
