// This machine's broadcast addresses, for LocalBroadcastAddresses (server_config.h). POSIX:
// getifaddrs. local_broadcasts_win.cpp on Windows.

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <optional>

#include "server/server_config.h"

namespace {

std::uint32_t AddressOf(const sockaddr* sa) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    return sin.sin_addr.s_addr;
}

// A machine's own broadcast address, from one getifaddrs() entry; empty when it has none. A /31
// or /32 network has none (RFC 3021): the kernel then reports an address of the link itself,
// which must stay usable.
std::optional<std::uint32_t> BroadcastOf(const ifaddrs& entry) {
    const sockaddr* sa = entry.ifa_broadaddr;
    if ((entry.ifa_flags & IFF_BROADCAST) == 0 || sa == nullptr || sa->sa_family != AF_INET ||
        entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_INET)
        return std::nullopt;
    const sockaddr* mask = entry.ifa_netmask;
    if (mask != nullptr && mask->sa_family == AF_INET && (~ntohl(AddressOf(mask))) <= 1u)
        return std::nullopt;
    const std::uint32_t broadcast = AddressOf(sa);
    if (broadcast == AddressOf(entry.ifa_addr))
        return std::nullopt;
    return broadcast;
}

}  // namespace

std::vector<std::uint32_t> LocalBroadcastAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, freeifaddrs);
    std::vector<std::uint32_t> out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (const std::optional<std::uint32_t> b = BroadcastOf(*i))
            out.push_back(*b);
    }
    return out;
}
