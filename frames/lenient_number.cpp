#include "lenient_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
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

// The decimal order of magnitude of `text` (digits, an optional point and exponent, no sign): positive
// when the number is 1 or more. Only its sign is used, to tell an overflow from an underflow.
long long DecimalOrder(const std::string& text) {
    const std::size_t e = text.find('e');
    const std::string mantissa = text.substr(0, e);
    long long exponent = 0;
    if (e != std::string::npos) {
        const char* digits = text.data() + e + 1;
        const bool minus = *digits == '-';
        if (*digits == '-' || *digits == '+') {
            ++digits;
        }
        if (std::from_chars(digits, text.data() + text.size(), exponent).ec ==
            std::errc::result_out_of_range) {
            exponent = std::numeric_limits<long long>::max() / 2;
        }
        exponent = minus ? -exponent : exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string::npos) {
        return 0;
    }
    const auto order =
        first < point ? static_cast<long long>(point - first) : -static_cast<long long>(first - point - 1);
    return order + exponent;
}

// `text` (an optional sign, digits, an optional point and exponent) as a double, whatever the locale:
// strtod's results, overflow to infinity and underflow to zero included.
double ParseDecimal(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    std::size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    double value = 0.0;
    if (std::from_chars(text.data() + start, text.data() + text.size(), value).ec ==
        std::errc::result_out_of_range) {
        value = DecimalOrder(text.substr(start)) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
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
    return ParseDecimal(prefix);
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
