#pragma once
// Local time, the same call on every platform (the C library's thread-safe forms differ by name).

#include <ctime>
#include <optional>

namespace velkor {

// `when` in the machine's time zone; nullopt when the C library cannot express it.
std::optional<std::tm> LocalTime(std::time_t when);

} // namespace velkor
