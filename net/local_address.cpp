// The computer's own IPv4 and IPv6 addresses, from what net/local_interfaces.h reports.

#include <algorithm>

#include "net/local_address.h"
#include "net/local_interfaces.h"

bool LocalAddressSet::IsOwn(std::uint32_t addrNet) const {
    return std::find(own.begin(), own.end(), addrNet) != own.end();
}

bool LocalAddressSet::IsOwn6(const std::array<std::uint8_t, 16>& address) const {
    return std::find(own6.begin(), own6.end(), address) != own6.end();
}

bool LocalAddressSet::SharesInterfaceId6(const std::array<std::uint8_t, 16>& address) const {
    // Loopback's ::1 names no interface: without this, any mapped address ending in ::1 (a
    // NAT66 router's own, often) would pass for this computer's prefix translated.
    constexpr std::array<std::uint8_t, 16> kLoopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0, 1};
    return std::any_of(own6.begin(), own6.end(), [&address, &kLoopback](const auto& mine) {
        return mine != kLoopback && std::equal(mine.begin() + 8, mine.end(), address.begin() + 8);
    });
}

bool LocalAddressSet::OnLocalNetwork(std::uint32_t addrNet) const {
    return std::any_of(networks.begin(), networks.end(), [addrNet](const Network& n) {
        return (addrNet & n.mask) == (n.address & n.mask);
    });
}

LocalAddressSet ReadLocalAddresses() {
    LocalAddressSet set;
    set.networks = LocalInterfaces();
    for (const LocalAddressSet::Network& n : set.networks)
        set.own.push_back(n.address);
    const std::vector<std::uint32_t> named = LocalHostNameAddresses();
    set.own.insert(set.own.end(), named.begin(), named.end());
    set.own6 = LocalInterfaces6();
    return set;
}
