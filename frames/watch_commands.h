#pragma once
// Data of the watch configuration commands and the transmitter's own channel frame.

#include "command_frame.h"

#include <ctime>
#include <string>
#include <string_view>

namespace velkor {

// One unit of a frequency word, in Hz.
inline constexpr double FREQUENCY_STEP = 61.035;

// The watch and transmitter frequency word: trunc(mhz / 61.035 * 1000000), low 24 bits.
// 1024 MHz and above keep only their low 24 bits; a negative value gives its two's complement.
uint32_t FrequencyWord(double mhz);

struct Channel {
    uint32_t frequencyWord = 0;
    uint8_t networkId = 0;
};

// A frequency text in MHz and a network ID text, read leniently; the ID keeps its low 8 bits.
Channel ChannelFromText(std::u16string_view frequencyText, std::u16string_view networkIdText);

// CMD_SET_TIME to every watch, sequence 0. `clockText` is the page's "YYYY-MM-DD HH:MM:SS" text, read
// as BCD digit groups; `weekdayIndex` counts from Monday = 0 (low 8 bits are sent). An empty or odd text
// still gives a frame, with zeros where groups are missing. Throws TextConversionError.
std::vector<uint8_t> BuildTimeFrame(std::u16string_view clockText, int weekdayIndex);
// The time frame of the local time `local`, as the wireless page's clock shows it; the window, velkor-cli
// and the gateway build the frame of "now" with it.
std::vector<uint8_t> BuildTimeFrame(const std::tm& local);
// The time frame of the local time now; empty when the C library cannot tell it.
std::vector<uint8_t> BuildTimeFrameNow();

// CMD_SET_HOST_ADDRESS: the host address into slot `slotIndex` (0 for "Addr1"; -1, no selection, sends FF).
std::vector<uint8_t> BuildHostAddressFrame(uint8_t sequence, const WatchAddress& watch,
                                           const WatchAddress& host, int slotIndex);

// CMD_SET_CHANNEL: frequency word, most significant byte first, then the network ID.
std::vector<uint8_t> BuildChannelFrame(uint8_t sequence, const WatchAddress& watch, const Channel& channel);

inline constexpr std::size_t TRANSMITTER_FRAME_SIZE = 23;

// The 23-byte frame for the transmitter itself: AF AF 00 00 AF 80 01 0C ... sum 0D 0A.
std::vector<uint8_t> BuildTransmitterChannelFrame(const Channel& channel);

} // namespace velkor
