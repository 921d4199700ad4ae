// The computer's own IPv4 addresses, from what engine/local_interfaces.h reports.

#include <algorithm>

#include "engine/local_interfaces.h"
#include "engine/prober_util.h"

bool IsInterfaceAddress(std::uint32_t addrNet) {
    const std::vector<LocalAddressSet::Network> list = LocalInterfaces();
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
    set.networks = LocalInterfaces();
    for (const LocalAddressSet::Network& n : set.networks)
        set.own.push_back(n.address);
    const std::vector<std::uint32_t> named = LocalHostNameAddresses();
    set.own.insert(set.own.end(), named.begin(), named.end());
    return set;
}
