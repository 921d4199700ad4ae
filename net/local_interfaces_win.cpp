// The computer's IPv4 and IPv6 interfaces and host name addresses (Windows: GetAdaptersAddresses,
// getaddrinfo).

#include "net/local_interfaces.h"

#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "core/win_util.h"

std::vector<LocalAddressSet::Network> LocalInterfaces() {
    std::vector<LocalAddressSet::Network> found;
    ForEachIpv4Unicast([&found](std::uint32_t addressNet, unsigned prefixLength, bool) {
        found.push_back({addressNet, MaskOfPrefix(prefixLength)});
    });
    return found;
}

std::vector<std::array<std::uint8_t, 16>> LocalInterfaces6() {
    std::vector<std::array<std::uint8_t, 16>> found;
    if (!EnsureWinsock())
        return found;
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // As for IPv4: the size the system asks for, a few tries as the list may grow meanwhile.
    ULONG size = 15 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        rc = ::GetAdaptersAddresses(AF_INET6, kFlags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR)
        return found;
    for (const auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr;
         a = a->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET6)
                continue;
            sockaddr_in6 sin6{};
            std::memcpy(&sin6, sa, sizeof sin6);
            std::array<std::uint8_t, 16> address{};
            std::memcpy(address.data(), &sin6.sin6_addr, address.size());
            found.push_back(address);
        }
    }
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
