#include "text_input.h"

#include "frames/strict_text.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/utf8.h"
#include "session.h"

#include <algorithm>
#include <cstdio>

namespace velkor::cli {
namespace {

std::string ReadStandardInput() {
    std::string text(MAX_INPUT_BYTES + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        std::size_t got = std::fread(text.data() + length, 1, text.size() - length, stdin);
        if (got == 0) {
            break;
        }
        length += got;
    }
    if (length > MAX_INPUT_BYTES) {
        throw ArgumentError{"standard input holds more than " + std::to_string(MAX_INPUT_BYTES) +
                            " bytes; a text message takes at most " + std::to_string(MAX_TEXT_BYTES) +
                            " bytes in GBK"};
    }
    text.resize(length);
    return text;
}

} // namespace

std::u16string TextArgument(const std::string& word) {
    std::string utf8 = word;
    if (word == "-") {
        utf8 = ReadStandardInput();
        if (utf8.ends_with('\n')) {
            utf8.pop_back();
            if (utf8.ends_with('\r')) {
                utf8.pop_back();
            }
        }
    }
    std::u16string text = Required(Utf8ToUtf16(utf8), "the text is not UTF-8");
    if (std::optional<TextFault> fault = FindControlCharacter(text)) {
        throw ArgumentError{fault->reason};
    }
    return text;
}

} // namespace velkor::cli
