#pragma once
// Numbers typed by the user are read leniently, as the Windows C library's _wtof and _wtoi read them:
// leading blanks are skipped, the longest valid prefix counts, and text without a number is 0.

#include <cstdint>
#include <string_view>

namespace velkor {

// Sign, digits, decimal point, digits, exponent ("4e2" is 400). Overflow gives +-infinity.
// Independent of the process locale: the decimal point is always '.'.
double ReadLenientDouble(std::u16string_view text);

// Sign and decimal digits; a value beyond 32 bits is clamped to INT32_MIN or INT32_MAX.
int32_t ReadLenientInt(std::u16string_view text);

// A double truncated toward zero to 64 bits, as an x86 conversion does it: NaN and values outside the
// 64-bit range give INT64_MIN (the "integer indefinite" value), never undefined behaviour.
int64_t TruncateToInt64(double value);

} // namespace velkor
