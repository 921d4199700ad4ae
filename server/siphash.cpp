#include "server/siphash.h"

namespace {

std::uint64_t Rotl(std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

std::uint64_t ReadLe64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void Round() {
        v0 += v1;
        v1 = Rotl(v1, 13);
        v1 ^= v0;
        v0 = Rotl(v0, 32);
        v2 += v3;
        v3 = Rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = Rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = Rotl(v1, 17);
        v1 ^= v2;
        v2 = Rotl(v2, 32);
    }
    // Two compression rounds per 8-byte word: the "2" of 2-4.
    void Absorb(std::uint64_t m) {
        v3 ^= m;
        Round();
        Round();
        v0 ^= m;
    }
};

}  // namespace

std::uint64_t SipHash24(const SipKey& key, const std::uint8_t* data, std::size_t len) {
    const std::uint64_t k0 = ReadLe64(key.data());
    const std::uint64_t k1 = ReadLe64(key.data() + 8);
    // "somepseudorandomlygeneratedbytes"
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const std::size_t whole = len - len % 8;
    for (std::size_t i = 0; i < whole; i += 8)
        s.Absorb(ReadLe64(data + i));
    // Last word: the remaining bytes, the length modulo 256 in the top byte.
    std::uint64_t last = std::uint64_t{len & 0xff} << 56;
    for (std::size_t i = whole; i < len; ++i)
        last |= std::uint64_t{data[i]} << (8 * (i - whole));
    s.Absorb(last);
    // Four finalisation rounds: the "4".
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
        s.Round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
