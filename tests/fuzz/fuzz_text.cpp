// Any UTF-16 text through the GBK conversion, the hexadecimal group reading and the text message
// encoding: bounded results, no half character at the end of a message.

#include "frames/text_encoding.h"
#include "frames/text_message.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    std::string gbk = velkor::WideToAnsi(text);
    if (gbk.size() > text.size() * 2 || gbk.find('\0') != std::string::npos) {
        std::abort();
    }
    std::vector<uint8_t> groups = velkor::HexTextToBytes(text);
    if (groups.empty() || groups.size() > velkor::HEX_TEXT_MAX_BYTES + 1) {
        std::abort();
    }
    velkor::EncodedText message = velkor::EncodeTextMessage(text);
    if (message.bytes.size() > velkor::MAX_TEXT_BYTES) {
        std::abort();
    }
    // Walking the cut message by GBK characters must land exactly on its end.
    std::size_t at = 0;
    while (at < message.bytes.size()) {
        at += static_cast<uint8_t>(message.bytes[at]) >= 0x81 ? 2 : 1;
    }
    if (at != message.bytes.size()) {
        std::abort();
    }
    // And raw bytes back to UTF-8, as the simulator shows received text.
    velkor::AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
