#pragma once
// The over-the-air frame to the watches and the checksum every byte format of the tool uses.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace velkor {

using WatchAddress = std::array<uint8_t, 4>;

inline constexpr uint8_t FRAME_START = 0x5A;
inline constexpr WatchAddress BROADCAST_ADDRESS = {0xFF, 0xFF, 0xFF, 0xFF};

inline constexpr uint8_t CMD_TEXT = 0xE0;
inline constexpr uint8_t CMD_SET_CHANNEL = 0xE2;
inline constexpr uint8_t CMD_SET_HOST_ADDRESS = 0xE3;
inline constexpr uint8_t CMD_SET_TIME = 0xE4;

// Envelope bytes around the data: start, sequence, four address bytes, command, length, checksum.
inline constexpr std::size_t COMMAND_FRAME_OVERHEAD = 9;
inline constexpr std::size_t MAX_COMMAND_DATA = 255;

// Sum of the bytes modulo 256: no seed, no complement.
uint8_t ByteSum(std::span<const uint8_t> bytes);

// Frames `data` (0 to 255 bytes, any data_checksum already included) as
// 5A seq addr[4] command N data[N] checksum. Throws std::length_error for more than 255 data bytes.
std::vector<uint8_t> BuildCommandFrame(uint8_t sequence, const WatchAddress& address, uint8_t command,
                                       std::span<const uint8_t> data);

// The four fields of an IP-address control held as one 32-bit value, leftmost field in the top byte.
WatchAddress AddressFromValue(uint32_t value);

// A page's frame counter: incremented before use, so the first frame carries 1 and 255 wraps to 0. With a
// source (the device's counter, which every program on the machine shares), the numbers come from it
// while it has one; this counter's own count goes on from the last number otherwise.
class SequenceCounter {
public:
    void SetSource(std::function<std::optional<uint8_t>()> source) { m_source = std::move(source); }
    uint8_t Next() {
        if (m_source) {
            if (std::optional<uint8_t> shared = m_source()) {
                m_value = *shared;
                return m_value;
            }
        }
        return ++m_value;
    }
    // The number of the last frame it numbered; 0 before the first.
    uint8_t Value() const { return m_value; }

private:
    uint8_t m_value = 0;
    std::function<std::optional<uint8_t>()> m_source;
};

} // namespace velkor
