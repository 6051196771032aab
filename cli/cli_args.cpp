#include "cli_args.h"

#include <charconv>
#include <chrono>

namespace velkor::cli {
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& words) {
    std::string digits;
    for (const std::string& word : words) {
        for (char c : word) {
            if (c != ' ') {
                digits += c;
            }
        }
    }
    if (digits.empty() || digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        uint8_t value = 0;
        std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
        bytes.push_back(value);
    }
    return bytes;
}

std::optional<ClockTime> ParseClockTime(std::string_view text) {
    // YYYY-MM-DD HH:MM:SS, every field its full width.
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    auto field = [&](std::size_t at, std::size_t width, uint32_t low, uint32_t high) {
        return ParseUnsigned(text.substr(at, width), low, high);
    };
    auto year = field(0, 4, 2000, 2099); // the watches keep two digits of the year
    auto month = field(5, 2, 1, 12);
    auto day = field(8, 2, 1, 31);
    auto hour = field(11, 2, 0, 23);
    auto minute = field(14, 2, 0, 59);
    auto second = field(17, 2, 0, 59);
    if (!year || !month || !day || !hour || !minute || !second) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                           std::chrono::month(*month), std::chrono::day(*day)};
    if (!date.ok()) {
        return std::nullopt; // the 30th of February, the 29th in a common year
    }
    ClockTime clock;
    clock.text.assign(text.begin(), text.end());
    clock.weekdayMondayFirst =
        static_cast<int>(std::chrono::weekday(std::chrono::sys_days(date)).iso_encoding()) - 1;
    clock.calendar.tm_year = static_cast<int>(*year) - 1900;
    clock.calendar.tm_mon = static_cast<int>(*month) - 1;
    clock.calendar.tm_mday = static_cast<int>(*day);
    clock.calendar.tm_hour = static_cast<int>(*hour);
    clock.calendar.tm_min = static_cast<int>(*minute);
    clock.calendar.tm_sec = static_cast<int>(*second);
    clock.calendar.tm_wday = (clock.weekdayMondayFirst + 1) % 7;
    return clock;
}

std::optional<int> ParseChoice(std::string_view text, const std::vector<std::string_view>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

} // namespace velkor::cli
