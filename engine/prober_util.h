#pragma once
// Small helpers the prober's files share: byte-order conversions for display and the texts that
// several tests write. Any thread (pure functions).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "core/text_table.h"
#include "net/messages.h"

namespace prober {

// Port held in network order (as it travels) to the number a person reads.
inline std::uint16_t HostPort(std::uint16_t portNet) {
    std::uint8_t b[2];
    std::memcpy(b, &portNet, 2);
    return ReadBe16(b);
}

// The inverse: a port number to the two bytes a message carries.
inline std::uint16_t NetPort(std::uint16_t portHost) {
    std::uint8_t b[2];
    WriteBe16(b, portHost);
    std::uint16_t portNet;
    std::memcpy(&portNet, b, 2);
    return portNet;
}

// The four octets of an address held in network order, first octet (first on the wire) first.
struct Octets {
    int a, b, c, d;
};
inline Octets AddressOctets(std::uint32_t addrNet) {
    std::uint8_t o[4];
    std::memcpy(o, &addrNet, 4);
    return {o[0], o[1], o[2], o[3]};
}

inline constexpr std::uint32_t kBroadcastAddress = 0xFFFFFFFFu;
inline constexpr std::uint16_t kFriendSearchPort = 9801;  // host order

// Time-out of a step, in one-second ticks after ArmTimeout; it fires on the next one.
inline constexpr std::int32_t kTimeoutTicks = 12;

inline constexpr const char* kNoServerResponse =
    "I can't receive any response from STUN Server, NAT Check stop!";
inline constexpr const char* kMultiClientBad =
    "MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT";
inline constexpr const char* kMultiClientGood =
    "GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It";
// 81 asterisks: the frame of the start banner and of the summary.
inline constexpr const char* kAsteriskRow =
    "*****************************************************************************"
    "****";

}  // namespace prober

// The computer's own IPv4 addresses: local_address.cpp, the platform seam. addrNet in network
// order. Any thread. The whole check: an interface address, or one the host name resolves to.
bool IsThisComputersAddress(std::uint32_t addrNet);
// The interface part alone (no name lookup, so it never asks a name server).
bool IsInterfaceAddress(std::uint32_t addrNet);

// What the prober knows of this computer's place on the network, read in one go so it can be
// kept for a while: a lookup lists every interface and may ask a name server.
struct LocalAddressSet {
    struct Network {
        std::uint32_t address;  // network order
        std::uint32_t mask;     // network order
    };
    std::vector<std::uint32_t> own;  // interface addresses and what the host name resolves to
    std::vector<Network> networks;   // the networks the interfaces sit on (a broadcast's reach)

    bool IsOwn(std::uint32_t addrNet) const;
    bool OnLocalNetwork(std::uint32_t addrNet) const;
};
LocalAddressSet ReadLocalAddresses();
