#pragma once
// Small helpers the prober's files share: byte-order conversions for display and the texts that
// several tests write. Any thread (pure functions).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "core/text_table.h"
#include "core/verdicts.h"
#include "net/local_address.h"
#include "net/messages.h"

namespace prober {

using ::HostPort;
using ::NetPort;

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
using ::kAsteriskRow;

}  // namespace prober
