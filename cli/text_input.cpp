#include "text_input.h"

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

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The UTF-16 units of the character at `at`: two for a surrogate pair.
std::size_t CharacterUnits(std::u16string_view text, std::size_t at) {
    return IsHighSurrogate(text[at]) && at + 1 < text.size() ? 2 : 1;
}

// "U+1F600" for one character.
std::string CodePointName(std::u16string_view character) {
    char32_t value = character[0];
    if (character.size() == 2) {
        value = 0x10000 + ((static_cast<char32_t>(character[0]) - 0xD800) << 10) + (character[1] - 0xDC00);
    }
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(value));
    return name;
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
    std::size_t character = 0;
    for (std::size_t i = 0; i < text.size(); i += CharacterUnits(text, i)) {
        ++character;
        const char16_t unit = text[i];
        const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
        if (control && unit != u'\n' && unit != u'\r') {
            throw ArgumentError{"the text has the control character " + CodePointName({&text[i], 1}) +
                                " at character " + std::to_string(character) +
                                "; only line breaks may be in it"};
        }
    }
    return text;
}

std::vector<std::string> CharactersWithoutGbk(std::u16string_view text) {
    std::vector<std::string> missing;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::u16string_view character = text.substr(i, CharacterUnits(text, i));
        i += character.size();
        const std::string encoded = WideToAnsi(character);
        bytes += encoded.size();
        if (bytes > MAX_TEXT_BYTES) {
            break;
        }
        if (encoded == "?" && character != u"?") {
            std::string name = Utf16ToUtf8(character) + " (" + CodePointName(character) + ")";
            if (std::find(missing.begin(), missing.end(), name) == missing.end()) {
                missing.push_back(std::move(name));
            }
        }
    }
    return missing;
}

} // namespace velkor::cli
