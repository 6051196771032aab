#include "gateway/intake/page_text.h"

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

std::string FitPageText(std::string_view text) {
    std::optional<std::u16string> wide = Utf8ToUtf16(ValidUtf8(text));
    std::u16string clean;
    for (const char16_t c : wide.value_or(u"")) {
        clean += (c < 0x20 && c != u'\n') || c == 0x7F ? u' ' : c;
    }
    if (WideToAnsi(clean).size() <= MAX_TEXT_BYTES) {
        return Utf16ToUtf8(clean);
    }
    // The longest head of whole characters that leaves room for "…" (two bytes in GBK).
    std::size_t low = 0;
    std::size_t high = clean.size();
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (WideToAnsi(clean.substr(0, middle)).size() + 2 <= MAX_TEXT_BYTES) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    if (low > 0 && low < clean.size() && (clean[low - 1] & 0xFC00) == 0xD800) {
        --low; // not between the halves of a surrogate pair
    }
    return Utf16ToUtf8(clean.substr(0, low)) + "…";
}

} // namespace velkor::gateway
