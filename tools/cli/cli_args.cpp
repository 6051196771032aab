#include "cli_args.h"

#include <nlohmann/json.hpp>

#include <charconv>

namespace velkor::cli {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Monday 0 .. Sunday 6 of a Gregorian date (Sakamoto's method gives Sunday 0).
int WeekdayMondayFirst(int year, int month, int day) {
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    int y = month < 3 ? year - 1 : year;
    int sundayFirst = (y + y / 4 - y / 100 + y / 400 + kOffsets[month - 1] + day) % 7;
    return (sundayFirst + 6) % 7;
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

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t c = 0;
        std::size_t length = 0;
        if (lead < 0x80) {
            c = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
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
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kSmallest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return std::nullopt;
        }
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
    if (!year || !month || !day || !hour || !minute || !second ||
        static_cast<int>(*day) > DaysInMonth(static_cast<int>(*year), static_cast<int>(*month))) {
        return std::nullopt;
    }
    ClockTime clock;
    clock.text.assign(text.begin(), text.end());
    clock.weekdayMondayFirst =
        WeekdayMondayFirst(static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day));
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

std::string JsonString(std::string_view text) {
    // Text that is not UTF-8 (a port's path may be any bytes) gets U+FFFD, so every line stays JSON.
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace velkor::cli
