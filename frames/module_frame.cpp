#include "module_frame.h"

#include "byte_order.h"
#include "command_frame.h"
#include "lenient_number.h"
#include "watch_commands.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace velkor {

std::vector<uint8_t> BuildModuleFrame(uint8_t command, std::span<const uint8_t> data) {
    if (data.size() > 255) {
        throw std::length_error("module frame data longer than 255 bytes");
    }
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + MODULE_FRAME_OVERHEAD);
    frame.push_back(MODULE_FRAME_START);
    frame.push_back(MODULE_FRAME_SECOND);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(data.size())); // n
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(ByteSum(frame)); // sum of everything before it
    frame.push_back(MODULE_FRAME_END);
    return frame;
}

uint32_t ModuleFrequencyWord(double mhz) {
    // Multiply first: the reverse of the watch order, and a different word for some inputs (134.277).
    return static_cast<uint32_t>(TruncateToInt64(mhz * 1000000.0 / FREQUENCY_STEP)) & 0xFFFFFFU;
}

std::array<uint8_t, 7> LoraConfig::ToBytes() const {
    const auto word = BigEndianBytes<3>(frequencyWord);
    return {word[0],     word[1],       word[2], // frequency word
            sleepPeriod, breathingTime, networkAddress, transmitPower};
}

LoraConfig LoraConfig::FromBytes(std::span<const uint8_t, 7> bytes) {
    LoraConfig config;
    config.frequencyWord = ReadBigEndian(bytes.first<3>());
    config.sleepPeriod = bytes[3];
    config.breathingTime = bytes[4];
    config.networkAddress = bytes[5];
    config.transmitPower = bytes[6];
    return config;
}

LoraConfig LoraConfigFromControls(std::u16string_view frequencyText, int sleepIndex, int breathingIndex,
                                  std::u16string_view networkAddressText, int powerIndex) {
    LoraConfig config;
    config.frequencyWord = ModuleFrequencyWord(ReadLenientDouble(frequencyText));
    config.sleepPeriod = static_cast<uint8_t>(sleepIndex);
    config.breathingTime = static_cast<uint8_t>(breathingIndex);
    config.networkAddress = static_cast<uint8_t>(ReadLenientInt(networkAddressText));
    config.transmitPower = static_cast<uint8_t>(powerIndex);
    return config;
}

std::array<uint8_t, 7> ModuleClockData(const std::tm& local) {
    return {static_cast<uint8_t>(local.tm_year + 1900 - 2000), // year - 2000, modulo 256
            static_cast<uint8_t>(local.tm_mon + 1),
            static_cast<uint8_t>(local.tm_mday),
            static_cast<uint8_t>(local.tm_hour),
            static_cast<uint8_t>(local.tm_min),
            static_cast<uint8_t>(local.tm_sec),
            static_cast<uint8_t>(local.tm_wday)}; // Sunday 0
}

std::array<uint8_t, 4> WatchAddressData(std::u16string_view text) {
    return BigEndianBytes<4>(static_cast<uint32_t>(ReadLenientInt(text)));
}

std::string ReadBackFrequencyText(uint32_t frequencyWord) {
    double mhz = frequencyWord / 1000000.0 * MODULE_READ_STEP;
    double whole = std::trunc(mhz);
    double hundredths = std::trunc((mhz - whole) * 100.0);
    double value = whole + hundredths / 100.0;
    // to_chars, not printf: the decimal point must not follow the user's locale.
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

std::string ReadBackNetworkAddressText(uint8_t networkAddress) {
    std::string text = std::to_string(networkAddress);
    return text.size() < 2 ? "0" + text : text;
}

std::size_t ModuleAnswerLength(uint8_t command) {
    switch (command) {
    case MODCMD_RESET:
    case MODCMD_WRITE_CONFIG:
    case MODCMD_WRITE_WATCH_ADDRESS:
    case MODCMD_SET_TIME:
        return MODULE_FRAME_OVERHEAD;
    case MODCMD_READ_WATCH_ADDRESS:
        return MODULE_FRAME_OVERHEAD + 4;
    case MODCMD_READ_CONFIG:
    case MODCMD_GET_TIME:
        return MODULE_FRAME_OVERHEAD + 7;
    default:
        return 0;
    }
}

ModuleAnswer DecodeModuleAnswer(std::span<const uint8_t> frame) {
    ModuleAnswer answer;
    if (frame.empty() || frame.front() != MODULE_FRAME_START || frame.back() != MODULE_FRAME_END) {
        answer.status = AnswerStatus::NotModuleFrame;
        return answer;
    }
    if (frame.size() < 3) {
        answer.status = AnswerStatus::TooShort;
        return answer;
    }
    answer.command = frame[2];
    std::size_t needed = ModuleAnswerLength(answer.command);
    if (needed == 0) {
        answer.status = AnswerStatus::UnknownCommand;
        return answer;
    }
    if (frame.size() < needed) {
        answer.status = AnswerStatus::TooShort;
        return answer;
    }
    answer.status = AnswerStatus::Accepted;
    const uint8_t* data = frame.data() + 4;
    switch (answer.command) {
    case MODCMD_READ_WATCH_ADDRESS:
        answer.watchAddress = static_cast<int32_t>(ReadBigEndian(std::span<const uint8_t, 4>(data, 4)));
        break;
    case MODCMD_READ_CONFIG:
        answer.config = LoraConfig::FromBytes(std::span<const uint8_t, 7>(data, 7));
        break;
    case MODCMD_GET_TIME:
        answer.clock = ModuleClock{data[0], data[1], data[2], data[3], data[4], data[5], data[6]};
        break;
    default:
        break; // the others carry no data
    }
    return answer;
}

} // namespace velkor
