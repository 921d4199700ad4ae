// The computer's own IPv4 addresses (POSIX). The one file of the engine that asks the system.

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/prober_util.h"

namespace {

std::uint32_t AddressOf(const sockaddr* sa) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    return sin.sin_addr.s_addr;
}

// Every IPv4 interface with its network. Resolving the host name alone usually yields only
// 127.0.1.1 on Linux, so a computer with a public address would not know it as its own.
std::vector<LocalAddressSet::Network> Interfaces() {
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

// The addresses the host name resolves to (128-byte name buffer, IPv4 only).
std::vector<std::uint32_t> HostNameAddresses() {
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

}  // namespace

bool IsInterfaceAddress(std::uint32_t addrNet) {
    const std::vector<LocalAddressSet::Network> list = Interfaces();
    return std::any_of(list.begin(), list.end(), [addrNet](const LocalAddressSet::Network& n) {
        return n.address == addrNet;
    });
}

bool IsThisComputersAddress(std::uint32_t addrNet) {
    return ReadLocalAddresses().IsOwn(addrNet);
}

bool LocalAddressSet::IsOwn(std::uint32_t addrNet) const {
    return std::find(own.begin(), own.end(), addrNet) != own.end();
}

bool LocalAddressSet::OnLocalNetwork(std::uint32_t addrNet) const {
    return std::any_of(networks.begin(), networks.end(), [addrNet](const Network& n) {
        return (addrNet & n.mask) == (n.address & n.mask);
    });
}

LocalAddressSet ReadLocalAddresses() {
    LocalAddressSet set;
    set.networks = Interfaces();
    for (const LocalAddressSet::Network& n : set.networks)
        set.own.push_back(n.address);
    const std::vector<std::uint32_t> named = HostNameAddresses();
    set.own.insert(set.own.end(), named.begin(), named.end());
    return set;
}
