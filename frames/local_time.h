#pragma once
// Local time, the same call on every platform (the C library's thread-safe forms differ by name), and
// the clock text made from it.

#include <ctime>
#include <optional>
#include <string>

namespace velkor {

// `when` in the machine's time zone; nullopt when the C library cannot express it.
std::optional<std::tm> LocalTime(std::time_t when);

// "YYYY-MM-DD HH:MM:SS" with a 24-hour clock, whatever the process locale says about %X: the clock text
// of the wireless page, which BuildTimeFrame reads back.
std::u16string FormatClockText(const std::tm& local);
// Monday 0 .. Sunday 6 from the C weekday (Sunday 0): the position in the page's weekday list.
int WeekdayIndexMondayFirst(const std::tm& local);

} // namespace velkor
