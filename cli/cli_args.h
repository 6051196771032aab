#pragma once
// Strict reading of velkor-cli's arguments: a script must hear about a typo, so nothing is read leniently
// here (unlike the window's fields). Each function returns nullopt for anything but a whole, valid value.

#include "frames/command_frame.h"
#include "frames/strict_text.h"
#include "frames/utf8.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::cli {

using velkor::ParseAddress;
using velkor::ParseMegahertz;
using velkor::ParseUnsigned;

// Pairs of hexadecimal digits, the words joined ("FA 80" or FA80); at least one byte.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& words);

// "YYYY-MM-DD HH:MM:SS" as a calendar time (validated: month 1-12, the day within its month, 24-hour
// time), with its weekday Monday 0 .. Sunday 6.
struct ClockTime {
    std::u16string text; // as given, for the frame
    int weekdayMondayFirst = 0;
    std::tm calendar{}; // the same time as fields (tm_wday Sunday 0), for the module's clock data
};
std::optional<ClockTime> ParseClockTime(std::string_view text);

// One of `names` (exactly as written), as its position.
std::optional<int> ParseChoice(std::string_view text, const std::vector<std::string_view>& names);

} // namespace velkor::cli
