// The computer's own IPv4 and IPv6 addresses, from what net/local_interfaces.h reports.

#include <algorithm>

#include "net/local_address.h"

#include "net/address_text.h"
#include "net/local_interfaces.h"

bool LocalAddressSet::IsOwn(std::uint32_t addrNet) const {
    return std::find(own.begin(), own.end(), addrNet) != own.end();
}

bool LocalAddressSet::IsOwn6(const std::array<std::uint8_t, 16>& address) const {
    return std::find(own6.begin(), own6.end(), address) != own6.end();
}

bool LocalAddressSet::SharesInterfaceId6(const std::array<std::uint8_t, 16>& address) const {
    // Not ::1: loopback shares its host part (::1) with many a router's address.
    return std::any_of(own6.begin(), own6.end(), [&address](const Ipv6Bytes& mine) {
        return !IsIpv6Loopback(mine) &&
               std::equal(mine.begin() + 8, mine.end(), address.begin() + 8);
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
