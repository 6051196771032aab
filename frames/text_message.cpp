#include "text_message.h"

#include "text_encoding.h"

namespace velkor {

EncodedText EncodeTextMessage(std::u16string_view text) {
    EncodedText result;
    result.bytes = WideToAnsi(text);
    if (result.bytes.empty()) {
        result.status = TextStatus::Empty;
        return result;
    }
    if (result.bytes.size() <= MAX_TEXT_BYTES) {
        result.status = TextStatus::Fits;
        return result;
    }
    result.status = TextStatus::TooLong;
    // In GBK a byte of 0x81 or above starts a two-byte character; anything else is one byte.
    std::size_t cut = 0;
    while (cut < result.bytes.size()) {
        std::size_t width = static_cast<uint8_t>(result.bytes[cut]) >= 0x81 ? 2 : 1;
        if (cut + width > MAX_TEXT_BYTES) {
            break;
        }
        cut += width;
    }
    result.bytes.resize(cut);
    return result;
}

std::vector<uint8_t> BuildTextFrame(uint8_t sequence, const WatchAddress& address, std::string_view encoded) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(encoded.data());
    return BuildCommandFrame(sequence, address, CMD_TEXT, std::span<const uint8_t>(bytes, encoded.size()));
}

} // namespace velkor
