#pragma once
// Reads a fuzz input as a stream of small fields; past the end every field reads as zero, so a
// target never needs to check the length itself. Fuzzer thread only.

#include <cstddef>
#include <cstdint>

class CFuzzInput {
public:
    CFuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t hi = Byte();
        return static_cast<std::uint16_t>((hi << 8) | Byte());
    }
    std::uint32_t Long() {
        const std::uint32_t hi = Word();
        return (hi << 16) | Word();
    }
    // Up to n bytes into out; returns how many were there.
    std::size_t Bytes(std::uint8_t* out, std::size_t n) {
        std::size_t i = 0;
        for (; i < n && m_pos < m_size; ++i)
            out[i] = m_data[m_pos++];
        return i;
    }
    const std::uint8_t* Rest(std::size_t& n) {
        n = m_pos < m_size ? m_size - m_pos : 0;
        const std::uint8_t* p = m_data + (m_pos < m_size ? m_pos : m_size);
        m_pos = m_size;
        return p;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A finding: prints why and aborts, so libFuzzer saves the input.
[[noreturn]] void FuzzFail(const char* what);
