#pragma once
// Multi-byte fields on the line: every frame of this system carries them most significant byte first
// (frequency words in 3 bytes, addresses in 4).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velkor {

// The low N bytes of `value`, most significant first.
template <std::size_t N> constexpr std::array<uint8_t, N> BigEndianBytes(uint32_t value) {
    static_assert(N >= 1 && N <= 4);
    std::array<uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * (N - 1 - i)));
    }
    return bytes;
}

// N bytes, most significant first, as a number.
template <std::size_t N> constexpr uint32_t ReadBigEndian(std::span<const uint8_t, N> bytes) {
    static_assert(N >= 1 && N <= 4);
    uint32_t value = 0;
    for (uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
}

} // namespace velkor
