#include "page_text.h"

#include "frames/strict_text.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/utf8.h"

namespace velkor::gateway {

const char* CharsetName(Charset charset) {
    return charset == Charset::Gbk ? "gbk" : "utf-8";
}

std::variant<PageText, std::string> CheckPageText(std::string_view bytes, Charset charset) {
    std::string utf8(bytes);
    if (charset == Charset::Gbk) {
        utf8 = AnsiToUtf8(bytes);
        // Bytes that are no GBK character come back as U+FFFD, which GBK itself cannot hold.
        if (utf8.find("\xEF\xBF\xBD") != std::string::npos) {
            return std::string("the text is not valid GBK");
        }
    }
    std::optional<std::u16string> text = Utf8ToUtf16(utf8);
    if (!text) {
        return std::string("the text is not valid UTF-8");
    }
    if (text->empty()) {
        return std::string("the text is empty");
    }
    if (std::optional<TextFault> fault = FindControlCharacter(*text)) {
        return fault->reason;
    }
    EncodedText encoded = EncodeTextMessage(*text);
    if (encoded.status == TextStatus::TooLong) {
        return "the text is " + std::to_string(WideToAnsi(*text).size()) +
               " bytes in GBK; a page takes at most " + std::to_string(MAX_TEXT_BYTES) + " (" +
               std::to_string(MAX_TEXT_BYTES / 2) + " Chinese characters)";
    }
    if (encoded.status == TextStatus::Empty) {
        return std::string("the text is empty");
    }
    return PageText{utf8, encoded.bytes, CharactersWithoutGbk(*text)};
}

} // namespace velkor::gateway
