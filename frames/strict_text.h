#pragma once
// Strict reading of numbers and addresses that come from programs (velkor-cli's arguments, the gateway's
// requests): a typo must be heard about, so nothing is read leniently here, unlike the window's fields.
// Each function returns nullopt for anything but a whole, valid value.

#include "command_frame.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor {

// Decimal digits only (no sign, no blanks), within [minimum, maximum].
std::optional<uint32_t> ParseUnsigned(std::string_view text, uint32_t minimum, uint32_t maximum);

// "A.B.C.D", each part 0 to 255 in at most three decimal digits.
std::optional<WatchAddress> ParseAddress(std::string_view text);

// A watch as a program names it without a watch list: "A.B.C.D", or a plain decimal number N, the
// address whose 32-bit value is N ("12" is 0.0.0.12; leading zeros are decimal too, "010" is 0.0.0.10).
std::optional<WatchAddress> ParseAddressOrNumber(std::string_view text);
// Whether `text` names a watch without a watch list: an address, a number, or "all" (every watch). A name in
// a watch list must not: a page to it would go elsewhere.
bool ReadsAsRecipient(std::string_view text);

// A frequency in MHz: digits with at most two decimals after a point, from 0 up to (not including) 1024,
// the range a 24-bit frequency word of 61.035 Hz steps covers.
std::optional<double> ParseMegahertz(std::string_view text);

// `text` without the blanks around it: spaces and tabs, and a carriage return at its end (a CRLF line).
std::string_view TrimBlanks(std::string_view text);
// The same at its start alone.
std::string_view TrimBlanksLeft(std::string_view text);
// `lines` one a line (a file's faults, "FILE:LINE: reason").
std::string JoinLines(const std::vector<std::string>& lines);
// The next word of `line` from `at` (blanks and tabs skipped; `at` moves past it), and where it starts.
std::string_view NextWord(std::string_view line, std::size_t& at, std::size_t* start);
// Calls `each(line, number)` for each line of `text` that is neither blank nor a # comment (CR LF read as
// LF), numbered from 1.
template <typename Each> void ForEachEntryLine(std::string_view text, Each&& each) {
    int number = 0;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!TrimBlanks(line).empty() && TrimBlanks(line).front() != '#') {
            each(line, number);
        }
    }
}

// "\"WHAT\" AFTER": a value quoted in a reason. (Built with append: GCC 12 at -O3 warns falsely
// (-Wrestrict) on "\"" + std::string(...).)
std::string Quoted(std::string_view what, std::string_view after);
// `text` with every `from` in it made `to` (a template's "{call}", "{step}").
std::string Replaced(std::string text, std::string_view from, std::string_view to);

// "A.B.C.D" for an address.
std::string AddressText(const WatchAddress& address);

// A text for a watch's screen, checked before anything is queued or sent.
struct TextFault {
    std::string
        reason; // "the text has the control character U+0007 at character 3; only line breaks may be in it"
};
// The first control character other than a line break (it would reach the watch's screen as garbage; a NUL
// would silently end the text), named with its position; nullopt when there is none.
std::optional<TextFault> FindControlCharacter(std::u16string_view text);

// The characters of the part of `text` that is sent (its first 84 GBK bytes) which GBK lacks (each goes out
// as "?"), named once each: "😀 (U+1F600)". Throws TextConversionError.
std::vector<std::string> CharactersWithoutGbk(std::u16string_view text);

} // namespace velkor
