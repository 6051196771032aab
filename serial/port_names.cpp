#include "port_names.h"
#include "serial_port.h"

#include "baud_rates.h"
#include "frames/strict_text.h"

#include <algorithm>
#include <cctype>

namespace velkor {

std::optional<std::string> ComPortName(std::string_view name) {
    if (name.starts_with("\\\\.\\")) {
        name.remove_prefix(4);
    } else if (name.ends_with(':')) {
        name.remove_suffix(1);
    }
    auto upper = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };
    if (name.size() < 4 || name.size() > 6 || upper(name[0]) != 'C' || upper(name[1]) != 'O' ||
        upper(name[2]) != 'M') {
        return std::nullopt;
    }
    std::string_view digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos || digits[0] == '0') {
        return std::nullopt;
    }
    const int number = std::stoi(std::string(digits));
    if (number > 255) {
        return std::nullopt;
    }
    return "COM" + std::string(digits);
}

bool NaturalLess(std::string_view a, std::string_view b) {
    auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t iEnd = i;
            std::size_t jEnd = j;
            while (iEnd < a.size() && isDigit(a[iEnd])) {
                ++iEnd;
            }
            while (jEnd < b.size() && isDigit(b[jEnd])) {
                ++jEnd;
            }
            // Compare the numbers without converting: strip leading zeros, then length, then digits.
            std::string_view x = a.substr(i, iEnd - i);
            std::string_view y = b.substr(j, jEnd - j);
            x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
            y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) {
                return x.size() < y.size();
            }
            if (x != y) {
                return x < y;
            }
            i = iEnd;
            j = jEnd;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) {
        return a.size() - i < b.size() - j;
    }
    return a < b; // equal by value ("ttyUSB02", "ttyUSB2"): any fixed order will do
}

const char* PortErrorText(PortError error) {
    switch (error) {
    case PortError::None:
        return "no error";
    case PortError::NotFound:
        return "no such device";
    case PortError::Permission:
        return "permission denied";
    case PortError::Busy:
        return "busy: another program has it open";
    case PortError::Unsupported:
        return "a line setting the port refuses";
    case PortError::NotSerial:
        return "not a serial port";
    case PortError::DeviceLost:
        return "the device went away";
    case PortError::Io:
        return "input/output error";
    case PortError::NotOpen:
        return "the port is not open";
    case PortError::Stalled:
        return "the device stopped taking bytes";
    case PortError::Interrupted:
        return "interrupted";
    }
    return "unknown error";
}

const char* PortErrorCode(PortError error) {
    switch (error) {
    case PortError::None:
        return "none";
    case PortError::NotFound:
        return "no_such_device";
    case PortError::Permission:
        return "permission_denied";
    case PortError::Busy:
        return "busy";
    case PortError::Unsupported:
        return "line_setting_refused";
    case PortError::NotSerial:
        return "not_serial";
    case PortError::DeviceLost:
        return "device_lost";
    case PortError::Io:
        return "io_error";
    case PortError::NotOpen:
        return "not_open";
    case PortError::Stalled:
        return "stalled";
    case PortError::Interrupted:
        return "interrupted";
    }
    return "unknown";
}

const char* ParityName(Parity parity) {
    switch (parity) {
    case Parity::None:
        return "none";
    case Parity::Odd:
        return "odd";
    case Parity::Even:
        return "even";
    }
    return "unknown";
}

std::optional<Parity> ParityFromIndex(int index) {
    if (index < 0 || index > static_cast<int>(Parity::Even)) {
        return std::nullopt;
    }
    return static_cast<Parity>(index);
}

std::optional<Parity> ParseParity(std::string_view text) {
    for (Parity parity : {Parity::None, Parity::Odd, Parity::Even}) {
        if (text == ParityName(parity)) {
            return parity;
        }
    }
    return std::nullopt;
}

std::optional<int> ParseBaudRate(std::string_view text) {
    const std::optional<uint32_t> rate = ParseUnsigned(text, 1, 4000000);
    if (!rate || !IsSupportedBaudRate(static_cast<int>(*rate))) {
        return std::nullopt;
    }
    return static_cast<int>(*rate);
}

std::vector<std::string> SplitPortList(std::string_view list, char separator) {
    std::vector<std::string> paths;
    while (!list.empty()) {
        std::size_t end = list.find(separator);
        std::string_view entry = list.substr(0, end);
        if (!entry.empty() && std::find(paths.begin(), paths.end(), entry) == paths.end()) {
            paths.emplace_back(entry);
        }
        if (end == std::string_view::npos) {
            break;
        }
        list.remove_prefix(end + 1);
    }
    return paths;
}

} // namespace velkor
