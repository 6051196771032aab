#pragma once
// The baud rates the port page offers, velkor-cli takes and the engine opens: every list of them is
// made from this one.

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

namespace velkor {

inline constexpr int SUPPORTED_BAUD_RATES[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline constexpr int DEFAULT_BAUD_RATE = 9600;

constexpr bool IsSupportedBaudRate(int rate) {
    return std::find(std::begin(SUPPORTED_BAUD_RATES), std::end(SUPPORTED_BAUD_RATES), rate) !=
           std::end(SUPPORTED_BAUD_RATES);
}

// The rates in their order, joined by `separator`: "1200|2400|...|115200".
inline std::string BaudRatesText(std::string_view separator) {
    std::string text;
    for (int rate : SUPPORTED_BAUD_RATES) {
        if (!text.empty()) {
            text += separator;
        }
        text += std::to_string(rate);
    }
    return text;
}

} // namespace velkor
