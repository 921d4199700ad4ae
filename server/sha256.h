#pragma once
// SHA-256 and HMAC-SHA256, enough to authenticate the relay datagram between the two servers
// without a crypto dependency. Pure functions: any thread.

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

// Incremental hash: Update any number of times, then Final once.
class CSha256 {
public:
    CSha256();
    void Update(const std::uint8_t* data, std::size_t len);
    Sha256Digest Final();

private:
    void Block(const std::uint8_t* p);

    std::uint32_t m_state[8];
    std::uint8_t m_buffer[64];
    std::size_t m_bufferLen = 0;
    std::uint64_t m_totalLen = 0;  // bytes hashed so far
};

Sha256Digest Sha256(const std::uint8_t* data, std::size_t len);
Sha256Digest HmacSha256(const std::uint8_t* key, std::size_t keyLen, const std::uint8_t* data,
                        std::size_t len);

// Compares without an early exit, so the time taken does not tell how many leading bytes of a
// forged MAC were right.
bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t len);
