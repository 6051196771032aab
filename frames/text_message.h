#pragma once
// The text message to a watch: CMD_TEXT with the GBK bytes of the text and no data_checksum.

#include "command_frame.h"

#include <string>
#include <string_view>

namespace velkor {

inline constexpr std::size_t MAX_TEXT_BYTES = 84;

enum class TextStatus {
    Empty,   // nothing to send; the page says so and stops timed sending
    Fits,    // sent whole
    TooLong, // over 84 bytes: the page warns, then sends what fits
};

struct EncodedText {
    TextStatus status = TextStatus::Empty;
    std::string bytes; // GBK, at most 84 bytes, never ending in half a character
};

// Encodes the text for CMD_TEXT. An over-long text is cut after the last whole character that fits in
// 84 bytes, so the watch never shows half a character: "a" and 42 Chinese characters send 83 bytes.
// Throws TextConversionError.
EncodedText EncodeTextMessage(std::u16string_view text);

// 5A seq addr[4] E0 L text[L] checksum.
std::vector<uint8_t> BuildTextFrame(uint8_t sequence, const WatchAddress& address, std::string_view encoded);

} // namespace velkor
