#pragma once
// This computer's own IPv4 and IPv6 addresses and the IPv4 networks it sits on: the one place that
// decides whether an address is this computer's, for the Gatewise check and the standard checks
// alike. local_address.cpp over local_interfaces.cpp (POSIX) or local_interfaces_win.cpp. Any
// thread.

#include <array>
#include <cstdint>
#include <vector>

// What is known of this computer's place on the network, read in one go so it can be kept for
// a while: a reading lists every interface and may ask a name server.
struct LocalAddressSet {
    struct Network {
        std::uint32_t address;  // network order
        std::uint32_t mask;     // network order
    };
    std::vector<std::uint32_t> own;  // interface addresses and what the host name resolves to
    std::vector<Network> networks;   // the networks the interfaces sit on (a broadcast's reach)
    std::vector<std::array<std::uint8_t, 16>> own6;  // the IPv6 interface addresses

    // addrNet (network order) is one of this computer's own addresses.
    bool IsOwn(std::uint32_t addrNet) const;
    bool IsOwn6(const std::array<std::uint8_t, 16>& address) const;
    // address ends in the interface identifier (the low 64 bits) of one of this computer's own
    // IPv6 addresses.
    bool SharesInterfaceId6(const std::array<std::uint8_t, 16>& address) const;
    bool OnLocalNetwork(std::uint32_t addrNet) const;
};
LocalAddressSet ReadLocalAddresses();
