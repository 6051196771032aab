// GBK through Windows' code page 936. The results are those of glibc's GBK on Linux: a character the code
// page lacks is one '?', never a "best fit" look-alike.

#include "text_encoding.h"
#include "utf8.h"

#include <windows.h>

namespace velkor {
namespace {

constexpr UINT kGbk = 936;

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void RequireCodePage() {
    if (!IsValidCodePage(kGbk)) {
        throw TextConversionError("code page 936 (GBK) is not installed");
    }
}

// The one character that `bytes` (one or two GBK bytes) stands for, or 0 when they are not one.
char32_t DecodeGbk(const char* bytes, int length) {
    wchar_t wide[2];
    int n = MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, bytes, length, wide, 2);
    if (n == 1) {
        return wide[0];
    }
    if (n == 2 && IsHighSurrogate(wide[0]) && IsLowSurrogate(wide[1])) {
        return 0x10000 + ((static_cast<char32_t>(wide[0]) - 0xD800) << 10) + (wide[1] - 0xDC00);
    }
    return 0;
}

} // namespace

std::string WideToAnsi(std::u16string_view text) {
    if (auto nul = text.find(u'\0'); nul != std::u16string_view::npos) {
        text = text.substr(0, nul);
    }
    RequireCodePage();
    std::string out;
    out.reserve(text.size() * 2);
    // One character at a time, so that a character the code page lacks is exactly one '?' (a surrogate
    // pair included), as on Linux.
    for (std::size_t pos = 0; pos < text.size();) {
        int units =
            pos + 1 < text.size() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[pos + 1]) ? 2 : 1;
        char bytes[8];
        BOOL usedDefault = FALSE;
        int n = WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWCH>(text.data() + pos),
                                    units, bytes, sizeof bytes, "?", &usedDefault);
        if (n <= 0 || usedDefault) {
            out.push_back('?');
        } else {
            out.append(bytes, static_cast<std::size_t>(n));
        }
        pos += static_cast<std::size_t>(units);
    }
    return out;
}

std::string AnsiToUtf8(std::string_view gbk) {
    RequireCodePage();
    std::string out;
    for (std::size_t pos = 0; pos < gbk.size();) {
        const auto lead = static_cast<unsigned char>(gbk[pos]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++pos;
            continue;
        }
        if (pos + 1 < gbk.size() && IsDBCSLeadByteEx(kGbk, lead)) {
            if (char32_t c = DecodeGbk(gbk.data() + pos, 2); c != 0) {
                AppendUtf8(out, c);
                pos += 2;
                continue;
            }
        }
        if (char32_t c = DecodeGbk(gbk.data() + pos, 1); c != 0) {
            AppendUtf8(out, c);
        } else {
            out.append("\xEF\xBF\xBD"); // U+FFFD for the byte that starts no GBK character
        }
        ++pos;
    }
    return out;
}

} // namespace velkor
