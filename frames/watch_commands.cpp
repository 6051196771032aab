#include "watch_commands.h"

#include "local_time.h"

#include "byte_order.h"
#include "lenient_number.h"
#include "text_encoding.h"

#include <algorithm>
#include <array>

namespace velkor {

uint32_t FrequencyWord(double mhz) {
    // This order (divide first) is what the watches were calibrated with; the module page multiplies first.
    return static_cast<uint32_t>(TruncateToInt64(mhz / FREQUENCY_STEP * 1000000.0)) & 0xFFFFFFU;
}

Channel ChannelFromText(std::u16string_view frequencyText, std::u16string_view networkIdText) {
    return {FrequencyWord(ReadLenientDouble(frequencyText)),
            static_cast<uint8_t>(ReadLenientInt(networkIdText))};
}

std::vector<uint8_t> BuildTimeFrame(const std::tm& local) {
    return BuildTimeFrame(FormatClockText(local), WeekdayIndexMondayFirst(local));
}

std::vector<uint8_t> BuildTimeFrameNow() {
    const std::optional<std::tm> local = LocalTime(std::time(nullptr));
    return local ? BuildTimeFrame(*local) : std::vector<uint8_t>{};
}

std::vector<uint8_t> BuildTimeFrame(std::u16string_view clockText, int weekdayIndex) {
    std::array<uint8_t, 8> data{};
    std::vector<uint8_t> groups = HexTextToBytes(clockText);
    // Year, month, day, hour, minute, second arrive as BCD; only the first six groups matter.
    for (std::size_t i = 0; i < 6 && i < groups.size(); ++i) {
        uint8_t bcd = groups[i];
        data[i] = static_cast<uint8_t>((bcd & 0x0F) + (bcd >> 4) * 10);
    }
    data[6] = static_cast<uint8_t>(weekdayIndex);               // weekday, Monday 0
    data[7] = ByteSum(std::span<const uint8_t>(data).first(7)); // data_checksum
    return BuildCommandFrame(0, BROADCAST_ADDRESS, CMD_SET_TIME, data);
}

std::vector<uint8_t> BuildHostAddressFrame(uint8_t sequence, const WatchAddress& watch,
                                           const WatchAddress& host, int slotIndex) {
    std::array<uint8_t, 6> data{};
    std::copy(host.begin(), host.end(), data.begin());                // host address, leftmost field first
    data[4] = slotIndex < 0 ? 0xFF : static_cast<uint8_t>(slotIndex); // slot index
    data[5] = ByteSum(std::span<const uint8_t>(data).first(5));       // data_checksum
    return BuildCommandFrame(sequence, watch, CMD_SET_HOST_ADDRESS, data);
}

std::vector<uint8_t> BuildChannelFrame(uint8_t sequence, const WatchAddress& watch, const Channel& channel) {
    std::array<uint8_t, 5> data{};
    const auto word = BigEndianBytes<3>(channel.frequencyWord);
    std::copy(word.begin(), word.end(), data.begin());          // frequency word, bytes 0..2
    data[3] = channel.networkId;                                // network ID
    data[4] = ByteSum(std::span<const uint8_t>(data).first(4)); // data_checksum
    return BuildCommandFrame(sequence, watch, CMD_SET_CHANNEL, data);
}

std::vector<uint8_t> BuildTransmitterChannelFrame(const Channel& channel) {
    const auto word = BigEndianBytes<3>(channel.frequencyWord);
    std::vector<uint8_t> frame = {
        0xAF,
        0xAF,
        0x00,
        0x00,
        0xAF,
        0x80,
        0x01, // header
        0x0C, // parameter bytes at offsets 8..19
        0x04,
        0x00,
        word[0], // frequency word, offsets 10..12
        word[1],
        word[2],
        0x0B,
        0x01,
        0x07,
        0x00,
        0x00,
        channel.networkId, // network ID
        0x07,
    };
    frame.push_back(ByteSum(frame)); // sum of bytes 0..19
    frame.push_back(0x0D);
    frame.push_back(0x0A);
    return frame;
}

} // namespace velkor
