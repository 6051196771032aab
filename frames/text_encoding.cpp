#include "text_encoding.h"

namespace velkor {
namespace {

int HexDigitValue(uint8_t byte) {
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    if (byte >= 'a' && byte <= 'f') {
        return byte - 'a' + 10;
    }
    return -1;
}

} // namespace

std::vector<uint8_t> HexTextToBytes(std::u16string_view text) {
    std::string converted = WideToAnsi(text);
    if (converted.size() > HEX_TEXT_MAX_BYTES) {
        converted.resize(HEX_TEXT_MAX_BYTES);
    }
    std::vector<uint8_t> out(1, 0);
    bool groupBegun = false;
    for (char c : converted) {
        int digit = HexDigitValue(static_cast<uint8_t>(c));
        if (digit < 0) {
            out.push_back(0);
            groupBegun = false;
        } else if (!groupBegun) {
            out.back() = static_cast<uint8_t>(digit);
            groupBegun = true;
        } else {
            out.back() = static_cast<uint8_t>((out.back() << 4) | digit);
        }
    }
    return out;
}

} // namespace velkor
