#include "command_frame.h"

#include "byte_order.h"

#include <numeric>
#include <stdexcept>

namespace velkor {

uint8_t ByteSum(std::span<const uint8_t> bytes) {
    return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0U));
}

std::vector<uint8_t> BuildCommandFrame(uint8_t sequence, const WatchAddress& address, uint8_t command,
                                       std::span<const uint8_t> data) {
    if (data.size() > MAX_COMMAND_DATA) {
        throw std::length_error("command frame data longer than 255 bytes");
    }
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + COMMAND_FRAME_OVERHEAD);
    frame.push_back(FRAME_START);                              // start
    frame.push_back(sequence);                                 // sequence
    frame.insert(frame.end(), address.begin(), address.end()); // address, leftmost field first
    frame.push_back(command);                                  // command
    frame.push_back(static_cast<uint8_t>(data.size()));        // length
    frame.insert(frame.end(), data.begin(), data.end());       // data
    frame.push_back(ByteSum(frame));                           // checksum over everything before it
    return frame;
}

WatchAddress AddressFromValue(uint32_t value) {
    return BigEndianBytes<4>(value);
}

} // namespace velkor
