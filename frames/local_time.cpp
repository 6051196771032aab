#include "local_time.h"

#include <cstdio>

namespace velkor {

std::optional<std::tm> LocalTime(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &when) != 0) {
        return std::nullopt;
    }
#else
    if (localtime_r(&when, &local) == nullptr) {
        return std::nullopt;
    }
#endif
    return local;
}

std::u16string FormatClockText(const std::tm& local) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                          local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) {
        return {};
    }
    return std::u16string(text, text + n);
}

int WeekdayIndexMondayFirst(const std::tm& local) {
    return (local.tm_wday + 6) % 7;
}

} // namespace velkor
