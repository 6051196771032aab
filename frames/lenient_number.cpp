#include "lenient_number.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace velkor {
namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::size_t SkipBlanks(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    return i;
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return c;
}

} // namespace

double ReadLenientDouble(std::u16string_view text) {
    std::size_t i = SkipBlanks(text);
    std::string prefix;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        prefix.push_back(static_cast<char>(text[i++]));
    }
    std::size_t mantissaDigits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        prefix.push_back(static_cast<char>(text[i++]));
        ++mantissaDigits;
    }
    if (i < text.size() && text[i] == u'.') {
        prefix.push_back('.');
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            prefix.push_back(static_cast<char>(text[i++]));
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) {
        return 0.0;
    }
    // An exponent counts only when at least one digit follows the 'e' and its sign.
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) {
            exponent.push_back(static_cast<char>(text[j++]));
        }
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j])) {
                exponent.push_back(static_cast<char>(text[j++]));
            }
            prefix += exponent;
        }
    }
    return strtod_l(prefix.c_str(), nullptr, CLocale());
}

int32_t ReadLenientInt(std::u16string_view text) {
    std::size_t i = SkipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i++] == u'-';
    }
    // Accumulate in 64 bits and stop growing once past the 32-bit range; the clamp comes at the end.
    int64_t magnitude = 0;
    constexpr int64_t kCap = int64_t{1} << 32;
    while (i < text.size() && IsDigit(text[i])) {
        if (magnitude < kCap) {
            magnitude = magnitude * 10 + (text[i] - u'0');
        }
        ++i;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

int64_t TruncateToInt64(double value) {
    // 2^63 is exactly representable; everything at or above it (and NaN) is out of range.
    constexpr double kLimit = 9223372036854775808.0;
    if (std::isnan(value) || value >= kLimit || value < -kLimit) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(value);
}

} // namespace velkor
