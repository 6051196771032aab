#pragma once
// The LoRa module's own protocol on the cable, in both directions: FA 80 command n data[n] sum 0D.

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkor {

inline constexpr uint8_t MODULE_FRAME_START = 0xFA;
inline constexpr uint8_t MODULE_FRAME_SECOND = 0x80;
inline constexpr uint8_t MODULE_FRAME_END = 0x0D;
// Envelope bytes around the data: FA 80 command n ... sum 0D.
inline constexpr std::size_t MODULE_FRAME_OVERHEAD = 6;

inline constexpr uint8_t MODCMD_READ_WATCH_ADDRESS = 0xEE;
inline constexpr uint8_t MODCMD_RESET = 0xF2;
inline constexpr uint8_t MODCMD_WRITE_CONFIG = 0xF3;
inline constexpr uint8_t MODCMD_READ_CONFIG = 0xF4;
inline constexpr uint8_t MODCMD_WRITE_WATCH_ADDRESS = 0xFB;
inline constexpr uint8_t MODCMD_SET_TIME = 0xFC;
inline constexpr uint8_t MODCMD_GET_TIME = 0xFD;

// The module's frequency register counts steps of 32 MHz / 2^19.
inline constexpr double MODULE_READ_STEP = 61.03515625;

// Frames `data` (at most 255 bytes; throws std::length_error beyond) with its checksum and end byte.
std::vector<uint8_t> BuildModuleFrame(uint8_t command, std::span<const uint8_t> data);

// The module's frequency word as this page writes it: trunc64(mhz * 1000000 / 61.035), low 24 bits.
uint32_t ModuleFrequencyWord(double mhz);

// LoRa settings, 7 bytes on the line. The list fields are positions in the page's lists.
// The names of the module's list settings, position = the value the module stores: the page's list items,
// velkor-cli's words and the simulator's read-back.
inline constexpr std::array<std::string_view, 5> SLEEP_PERIOD_NAMES = {"2s", "4s", "6s", "8s", "10s"};
inline constexpr std::array<std::string_view, 6> BREATHING_TIME_NAMES = {"2ms",  "4ms",  "8ms",
                                                                         "16ms", "32ms", "64ms"};
inline constexpr std::array<std::string_view, 7> TRANSMIT_POWER_NAMES = {
    "Level1", "Level2", "Level3", "Level4", "Level5", "Level6", "Level7"};
// The name at `value` in `names`; "" past the list (a value no list item stands for).
template <std::size_t N>
std::string_view SettingName(const std::array<std::string_view, N>& names, int value) {
    return value >= 0 && value < static_cast<int>(N) ? names[static_cast<std::size_t>(value)]
                                                     : std::string_view();
}

// The names joined by `separator`: "2s|4s|6s|8s|10s".
template <std::size_t N>
std::string JoinedNames(const std::array<std::string_view, N>& names, std::string_view separator) {
    std::string joined;
    for (std::string_view name : names) {
        joined += (joined.empty() ? std::string_view() : separator);
        joined += name;
    }
    return joined;
}

struct LoraConfig {
    uint32_t frequencyWord = 0;
    uint8_t sleepPeriod = 0;   // a position in SLEEP_PERIOD_NAMES
    uint8_t breathingTime = 0; // a position in BREATHING_TIME_NAMES
    uint8_t networkAddress = 0;
    uint8_t transmitPower = 0; // a position in TRANSMIT_POWER_NAMES

    std::array<uint8_t, 7> ToBytes() const;
    static LoraConfig FromBytes(std::span<const uint8_t, 7> bytes);
    bool operator==(const LoraConfig&) const = default;
};

// From the page's controls: texts read leniently, list positions kept to their low 8 bits (no selection,
// -1, gives 0xFF).
LoraConfig LoraConfigFromControls(std::u16string_view frequencyText, int sleepIndex, int breathingIndex,
                                  std::u16string_view networkAddressText, int powerIndex);

// Clock data of MODCMD_SET_TIME: year - 2000, month, day, hour, minute, second, weekday (Sunday 0).
std::array<uint8_t, 7> ModuleClockData(const std::tm& local);

// The watch address edit as 32 bits, most significant byte first.
std::array<uint8_t, 4> WatchAddressData(std::u16string_view text);

// Frequency word read back, in MHz cut (not rounded) to two decimals, as "%.2f": 6C 80 12 gives "434.00".
std::string ReadBackFrequencyText(uint32_t frequencyWord);
// Network address read back, at least two digits: 5 gives "05".
std::string ReadBackNetworkAddressText(uint8_t networkAddress);

enum class AnswerStatus {
    Accepted,
    NotModuleFrame, // first byte not FA or last byte not 0D
    UnknownCommand,
    TooShort, // shorter than a whole answer of its command: its data would be bytes of earlier frames
};

// The module's clock as a 0xFD answer gives it, each field one byte as received.
struct ModuleClock {
    uint8_t year = 0; // years since 2000
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t weekday = 0; // Sunday 0
};

// One received frame, decoded. Which field is set follows the command; the texts that the page and the
// command line show for it are theirs (resources/module_answer_texts.h), not the decoder's.
struct ModuleAnswer {
    AnswerStatus status = AnswerStatus::NotModuleFrame;
    uint8_t command = 0;
    std::optional<LoraConfig> config;    // 0xF4
    std::optional<int32_t> watchAddress; // 0xEE, as the signed number the page shows
    std::optional<ModuleClock> clock;    // 0xFD
};

// Reads an answer. Only the first byte (FA) and the last (0D) are checked; byte 1, the length byte and
// the checksum are not, because modules in the field send them loosely. An answer shorter than a whole
// frame of its command is refused rather than read past its end.
ModuleAnswer DecodeModuleAnswer(std::span<const uint8_t> frame);

// The whole length of an answer of `command` (6 plus its data), or 0 for a command the page does not know.
std::size_t ModuleAnswerLength(uint8_t command);

} // namespace velkor
