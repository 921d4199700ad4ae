#pragma once
// The parties of a check as the engine's targets play them, and the senders and replies those
// targets make up from the input. Fuzzer thread only.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "net/messages.h"

// Network order, all on loopback (nothing is ever sent: the targets' networks only count).
constexpr std::uint32_t kServer1 = 0x0A00007F;  // 127.0.0.10
constexpr std::uint16_t kServer1Port = 0x581B;  // 7000
constexpr std::uint32_t kServer2 = 0x1400007F;  // 127.0.0.20
constexpr std::uint16_t kServer2Port = 0xBC1B;  // 7100
constexpr std::uint32_t kFriend = 0x3200007F;   // 127.0.0.50, the local network's only host
constexpr std::uint32_t kOwn = 0x4D00007F;      // 127.0.0.77, "this computer"

// A party, the broadcast or the zero address, or anyone at all.
inline std::uint32_t Sender(CFuzzInput& in) {
    switch (in.Byte() % 8) {
        case 0:
            return kServer1;
        case 1:
            return kServer2;
        case 2:
            return kFriend;
        case 3:
            return kOwn;
        case 4:
            return 0xFFFFFFFFu;
        case 5:
            return 0;
        default:
            return in.Long();
    }
}

inline bool IsParty(std::uint32_t addr) {
    return addr == kServer1 || addr == kServer2 || addr == kFriend || addr == kOwn;
}

// A reply with code and a fuzzed endpoint body, cut to 6, 8 or 12 bytes. The op's flags pick the
// sender: 0x40 anyone (else 0x20 Server2, else Server1), 0x10 any port (else Server1's).
struct FuzzedReply {
    std::uint8_t bytes[12];
    std::size_t length;
    std::uint32_t from;
    std::uint16_t port;
};
inline FuzzedReply MakeFuzzedReply(CFuzzInput& in, std::uint8_t op, std::uint32_t code) {
    FuzzedReply r{};
    EncodeEndpoint(r.bytes, code, in.Long(), in.Word());
    r.from = (op & 0x40) != 0 ? Sender(in) : (op & 0x20) != 0 ? kServer2 : kServer1;
    r.port = (op & 0x10) != 0 ? in.Word() : kServer1Port;
    const std::uint8_t lengths[] = {6, 8, 12};
    r.length = lengths[in.Byte() % 3];
    return r;
}
