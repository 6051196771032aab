#pragma once
// Text to bytes: the watches and the transmitter read GBK (code page 936).

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velkor {

// Raised when the conversion itself cannot run (no GBK converter on the system, out of memory).
// The handler that was building a frame is abandoned and nothing is sent.
class TextConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// UTF-16 text up to its first NUL, as GBK bytes. A character GBK lacks (and a broken surrogate)
// becomes one '?'. Throws TextConversionError.
std::string WideToAnsi(std::u16string_view text);

// GBK bytes as UTF-8, for display and logs; a byte sequence that is not GBK becomes U+FFFD.
std::string AnsiToUtf8(std::string_view gbk);

// The converted text is cut to this many bytes before it is read as digit groups.
inline constexpr std::size_t HEX_TEXT_MAX_BYTES = 100;

// Groups of hexadecimal digits to bytes: every byte of the GBK text that is not 0-9, A-F, a-f separates
// (trail bytes of a two-byte character are judged by their value too), a group keeps its last two digits,
// and the result has one byte more than there are separators. "2017-05-12 13:45:30" gives
// 17 05 12 13 45 30. Throws TextConversionError.
std::vector<uint8_t> HexTextToBytes(std::u16string_view text);

} // namespace velkor
