#include "strict_options.h"

#include "frames/local_time.h"

#include <ctime>

namespace velkor::cli {

ClockTime ClockArgument(const TextOption& at) {
    if (at.Given()) {
        return Required(ParseClockTime(at.value),
                        "--at " + at.value + ": a time \"YYYY-MM-DD HH:MM:SS\", years 2000 to 2099");
    }
    std::optional<std::tm> local = LocalTime(std::time(nullptr));
    if (!local) {
        throw ArgumentError{"the local time is not known; give --at"};
    }
    return {FormatClockText(*local), WeekdayIndexMondayFirst(*local), *local};
}

} // namespace velkor::cli
