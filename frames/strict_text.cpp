#include "strict_text.h"

#include "text_encoding.h"
#include "text_message.h"
#include "utf8.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace velkor {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
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

std::optional<uint32_t> ParseUnsigned(std::string_view text, uint32_t minimum, uint32_t maximum) {
    if (!AllDigits(text) || text.size() > 10) {
        return std::nullopt;
    }
    uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value < minimum || value > maximum) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<double> ParseMegahertz(std::string_view text) {
    std::size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (!AllDigits(whole) || whole.size() > 4 || (point != std::string_view::npos && !AllDigits(fraction)) ||
        fraction.size() > 2) {
        return std::nullopt;
    }
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value >= 1024.0) {
        return std::nullopt;
    }
    return value;
}

std::optional<WatchAddress> ParseAddress(std::string_view text) {
    WatchAddress address{};
    for (std::size_t part = 0; part < 4; ++part) {
        std::size_t dot = text.find('.');
        if ((part < 3) == (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        std::optional<uint32_t> value = ParseUnsigned(text.substr(0, dot), 0, 255);
        if (!value || text.substr(0, dot).size() > 3) {
            return std::nullopt;
        }
        address[part] = static_cast<uint8_t>(*value);
        text = part < 3 ? text.substr(dot + 1) : std::string_view();
    }
    return address;
}

std::string_view TrimBlanksLeft(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimBlanks(std::string_view text) {
    text = TrimBlanksLeft(text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view NextWord(std::string_view line, std::size_t& at, std::size_t* start) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
        ++at;
    }
    *start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
        ++at;
    }
    return line.substr(*start, at - *start);
}

std::string Quoted(std::string_view what, std::string_view after) {
    std::string text;
    text.reserve(what.size() + after.size() + 2);
    text.push_back('"');
    text.append(what);
    text.push_back('"');
    text.append(after);
    return text;
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) {
        joined += (joined.empty() ? "" : "\n") + line;
    }
    return joined;
}

std::string AddressText(const WatchAddress& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) +
           "." + std::to_string(address[3]);
}

std::optional<TextFault> FindControlCharacter(std::u16string_view text) {
    std::size_t character = 0;
    for (std::size_t i = 0; i < text.size(); i += CharacterUnits(text, i)) {
        ++character;
        const char16_t unit = text[i];
        const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
        if (control && unit != u'\n' && unit != u'\r') {
            return TextFault{"the text has the control character " + CodePointName(text.substr(i, 1)) +
                             " at character " + std::to_string(character) +
                             "; only line breaks may be in it"};
        }
    }
    return std::nullopt;
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

std::optional<WatchAddress> ParseAddressOrNumber(std::string_view text) {
    if (std::optional<WatchAddress> address = ParseAddress(text)) {
        return address;
    }
    if (std::optional<uint32_t> value = ParseUnsigned(text, 0, 0xFFFFFFFF)) {
        return AddressFromValue(*value);
    }
    return std::nullopt;
}

bool ReadsAsRecipient(std::string_view text) {
    return text == "all" || ParseAddressOrNumber(text).has_value();
}

} // namespace velkor
