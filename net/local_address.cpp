// The computer's own IPv4 addresses, from what net/local_interfaces.h reports.

#include <algorithm>

#include "net/local_address.h"
#include "net/local_interfaces.h"

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
    set.networks = LocalInterfaces();
    for (const LocalAddressSet::Network& n : set.networks)
        set.own.push_back(n.address);
    const std::vector<std::uint32_t> named = LocalHostNameAddresses();
    set.own.insert(set.own.end(), named.begin(), named.end());
    return set;
}
