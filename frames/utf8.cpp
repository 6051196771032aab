#include "utf8.h"

#include <utility>

namespace velkor {

namespace {

// The code point that starts at `text[i]` and its length in bytes; nullopt when the bytes there are not
// UTF-8 (a stray or missing continuation byte, an overlong form, a surrogate, past U+10FFFF).
std::optional<std::pair<char32_t, std::size_t>> DecodeOne(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t c = 0;
    std::size_t length = 0;
    if (lead < 0x80) {
        return std::pair<char32_t, std::size_t>{lead, 1};
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        c = lead & 0x1F;
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        c = lead & 0x0F;
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        c = lead & 0x07;
        length = 4;
    } else {
        return std::nullopt;
    }
    if (i + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return std::nullopt;
    }
    return std::pair<char32_t, std::size_t>{c, length};
}

} // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto one = DecodeOne(text, i);
        if (!one) {
            return std::nullopt;
        }
        const auto [c, length] = *one;
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto one = DecodeOne(text, i);
        if (!one) {
            return false;
        }
        i += one->second;
    }
    return true;
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const auto one = DecodeOne(text, i)) {
            out.append(text.substr(i, one->second));
            i += one->second;
        } else {
            AppendUtf8(out, 0xFFFD); // one for each byte that starts no character
            ++i;
        }
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(out,
                       0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

} // namespace velkor
