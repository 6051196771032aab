#include "local_time.h"

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

} // namespace velkor
