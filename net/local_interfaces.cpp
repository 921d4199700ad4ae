// The computer's IPv4 and IPv6 interfaces and host name addresses (POSIX: getifaddrs, getaddrinfo).

#include "net/local_interfaces.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

std::uint32_t AddressOf(const sockaddr* sa) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    return sin.sin_addr.s_addr;
}

}  // namespace

std::vector<LocalAddressSet::Network> LocalInterfaces() {
    std::vector<LocalAddressSet::Network> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        // Without a mask the interface still counts as ours; it only names no network.
        const bool masked = ifa->ifa_netmask != nullptr && ifa->ifa_netmask->sa_family == AF_INET;
        found.push_back({AddressOf(ifa->ifa_addr), masked ? AddressOf(ifa->ifa_netmask) : ~0u});
    }
    freeifaddrs(list);
    return found;
}

std::vector<std::array<std::uint8_t, 16>> LocalInterfaces6() {
    std::vector<std::array<std::uint8_t, 16>> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6)
            continue;
        sockaddr_in6 sin6;
        std::memcpy(&sin6, ifa->ifa_addr, sizeof sin6);
        std::array<std::uint8_t, 16> a{};
        std::memcpy(a.data(), &sin6.sin6_addr, a.size());
        found.push_back(a);
    }
    freeifaddrs(list);
    return found;
}

std::vector<std::uint32_t> LocalHostNameAddresses() {
    std::vector<std::uint32_t> found;
    char name[128] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0)
        return found;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr)
            found.push_back(AddressOf(ai->ai_addr));
    }
    freeaddrinfo(result);
    return found;
}
