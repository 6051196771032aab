#include "frame_decoder.h"

#include "frames/byte_order.h"
#include "frames/command_frame.h"
#include "frames/module_frame.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/watch_commands.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string_view>

namespace velkor::sim {
namespace {

std::string Format2(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string Quote(std::string_view text) {
    return JsonString(text);
}

class Builder {
public:
    explicit Builder(DecodedFrame& frame) : m_frame(frame) {}
    Builder& Field(std::string name, std::string jsonValue) {
        m_frame.fields.emplace_back(std::move(name), std::move(jsonValue));
        return *this;
    }
    Builder& Text(std::string name, std::string_view value) { return Field(std::move(name), Quote(value)); }
    Builder& Number(std::string name, long long value) {
        return Field(std::move(name), std::to_string(value));
    }
    // Marks the frame invalid; the first reason found is the one reported.
    bool Fail(std::string reason) {
        if (m_frame.valid) {
            m_frame.valid = false;
            m_frame.reason = std::move(reason);
        }
        return false;
    }

private:
    DecodedFrame& m_frame;
};

std::string Address(std::span<const uint8_t> bytes) {
    return Format2("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string Megahertz(uint32_t word, double step) {
    return Format2("%.3f", word * step / 1000000.0);
}

const char* const kWeekdaysMondayFirst[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                            "Friday", "Saturday", "Sunday"};
const char* const kWeekdaysSundayFirst[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};

std::string ListItem(const char* const* items, std::size_t count, uint8_t index) {
    return index < count ? items[index] : Format2("position %u (not in the list)", index);
}

template <std::size_t N>
std::string SettingItem(const std::array<std::string_view, N>& names, uint8_t index) {
    std::string_view name = SettingName(names, index);
    return name.empty() ? Format2("position %u (not in the list)", index) : std::string(name);
}

bool CheckDataChecksum(Builder& b, std::span<const uint8_t> data) {
    uint8_t expected = ByteSum(data.first(data.size() - 1));
    if (data.back() != expected) {
        return b.Fail(Format2("data_checksum %02X, expected %02X", data.back(), expected));
    }
    return true;
}

// A set_channel command's data: the frequency word and the network ID.
void DecodeChannel(DecodedFrame& f, Builder& b, std::span<const uint8_t> data, const std::string& address,
                   uint8_t sequence) {
    b.Text("command", "set_channel");
    if (data.size() != 5) {
        b.Fail(Format2("set_channel with %zu data bytes, expected 5", data.size()));
        return;
    }
    CheckDataChecksum(b, data);
    uint32_t word = ReadBigEndian(std::span<const uint8_t, 3>(data.data(), 3));
    std::string mhz = Megahertz(word, FREQUENCY_STEP);
    b.Field("frequency_mhz", mhz).Text("frequency_word", Format2("%06X", word)).Number("network_id", data[3]);
    f.summary = "watch channel for " + address + ", sequence " + std::to_string(sequence) + ": " + mhz +
                " MHz, network ID " + std::to_string(data[3]);
}

// A set_host_address command's data: the address and its slot.
void DecodeHostAddress(DecodedFrame& f, Builder& b, std::span<const uint8_t> data, const std::string& address,
                       uint8_t sequence) {
    b.Text("command", "set_host_address");
    if (data.size() != 6) {
        b.Fail(Format2("set_host_address with %zu data bytes, expected 6", data.size()));
        return;
    }
    CheckDataChecksum(b, data);
    std::string host = Address(data.first(4));
    std::string slot = data[4] < 10 ? "Addr" + std::to_string(data[4] + 1) : "none";
    if (data[4] >= 10 && data[4] != 0xFF) {
        b.Fail(Format2("slot index %u outside Addr1 to Addr10", data[4]));
    }
    b.Text("host_address", host).Text("slot", slot);
    f.summary = "host address " + host + " into slot " + slot + " of " + address + ", sequence " +
                std::to_string(sequence);
}

void DecodeCommand(DecodedFrame& f, Builder& b) {
    std::span<const uint8_t> bytes = f.bytes;
    if (bytes.size() < COMMAND_FRAME_OVERHEAD || bytes.size() != COMMAND_FRAME_OVERHEAD + bytes[7]) {
        b.Fail(Format2("length: %zu bytes do not match the length byte", bytes.size()));
        f.summary = "command frame of the wrong length";
        return;
    }
    uint8_t expected = ByteSum(bytes.first(bytes.size() - 1));
    if (bytes.back() != expected) {
        b.Fail(Format2("checksum %02X, expected %02X", bytes.back(), expected));
    }
    uint8_t sequence = bytes[1];
    std::string address = Address(bytes.subspan(2, 4));
    uint8_t command = bytes[6];
    std::span<const uint8_t> data = bytes.subspan(8, bytes[7]);
    b.Number("sequence", sequence).Text("address", address);
    switch (command) {
    case CMD_TEXT: {
        b.Text("command", "text");
        if (data.empty() || data.size() > MAX_TEXT_BYTES) {
            b.Fail(Format2("text of %zu bytes, outside 1 to %zu", data.size(), MAX_TEXT_BYTES));
        }
        std::string text =
            AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        b.Text("text", text).Number("text_bytes", static_cast<long long>(data.size()));
        f.summary = "text to " + address + ", sequence " + std::to_string(sequence) + ": \"" + text + "\"";
        break;
    }
    case CMD_SET_CHANNEL:
        DecodeChannel(f, b, data, address, sequence);
        break;
    case CMD_SET_HOST_ADDRESS:
        DecodeHostAddress(f, b, data, address, sequence);
        break;
    case CMD_SET_TIME: {
        b.Text("command", "set_time");
        if (data.size() != 8) {
            b.Fail(Format2("set_time with %zu data bytes, expected 8", data.size()));
            break;
        }
        CheckDataChecksum(b, data);
        std::string when = Format2("%04d-%02u-%02u %02u:%02u:%02u", 2000 + data[0], data[1], data[2], data[3],
                                   data[4], data[5]);
        std::string weekday = ListItem(kWeekdaysMondayFirst, 7, data[6]);
        b.Text("time", when).Number("weekday_index", data[6]).Text("weekday", weekday);
        f.summary = "time to " + address + ": " + when + ", " + weekday;
        break;
    }
    default:
        b.Text("command", Format2("%02X", command));
        b.Fail(Format2("unknown command %02X", command));
        f.summary = "unknown command";
        break;
    }
}

void DecodeTransmitter(DecodedFrame& f, Builder& b) {
    std::span<const uint8_t> bytes = f.bytes;
    if (bytes.size() != TRANSMITTER_FRAME_SIZE) {
        b.Fail(Format2("%zu bytes, expected 23", bytes.size()));
        f.summary = "transmitter frame of the wrong length";
        return;
    }
    // Every byte but the frequency word, the network ID and the sum is fixed.
    static const int kFixed[][2] = {{0, 0xAF},  {1, 0xAF},  {2, 0x00},  {3, 0x00},  {4, 0xAF},  {5, 0x80},
                                    {6, 0x01},  {7, 0x0C},  {8, 0x04},  {9, 0x00},  {13, 0x0B}, {14, 0x01},
                                    {15, 0x07}, {16, 0x00}, {17, 0x00}, {19, 0x07}, {21, 0x0D}, {22, 0x0A}};
    for (const auto& [offset, value] : kFixed) {
        if (bytes[static_cast<std::size_t>(offset)] != value) {
            b.Fail(Format2("byte %d is %02X, expected %02X", offset, bytes[static_cast<std::size_t>(offset)],
                           value));
        }
    }
    uint8_t expected = ByteSum(bytes.first(20));
    if (bytes[20] != expected) {
        b.Fail(Format2("checksum %02X, expected %02X", bytes[20], expected));
    }
    uint32_t word = ReadBigEndian(std::span<const uint8_t, 3>(bytes.data() + 10, 3));
    std::string mhz = Megahertz(word, FREQUENCY_STEP);
    b.Field("frequency_mhz", mhz)
        .Text("frequency_word", Format2("%06X", word))
        .Number("network_id", bytes[18]);
    f.summary = "transmitter channel: " + mhz + " MHz, network ID " + std::to_string(bytes[18]);
}

const char* ModuleCommandName(uint8_t command) {
    switch (command) {
    case MODCMD_READ_WATCH_ADDRESS:
        return "read_watch_address";
    case MODCMD_RESET:
        return "reset";
    case MODCMD_WRITE_CONFIG:
        return "write_config";
    case MODCMD_READ_CONFIG:
        return "read_config";
    case MODCMD_WRITE_WATCH_ADDRESS:
        return "write_watch_address";
    case MODCMD_SET_TIME:
        return "set_time";
    case MODCMD_GET_TIME:
        return "get_time";
    default:
        return nullptr;
    }
}

// Data bytes a module frame carries, in each direction.
std::size_t ModuleDataLength(uint8_t command, Direction direction) {
    if (direction == Direction::Out) {
        std::size_t whole = ModuleAnswerLength(command);
        return whole == 0 ? 0 : whole - MODULE_FRAME_OVERHEAD;
    }
    switch (command) {
    case MODCMD_WRITE_CONFIG:
    case MODCMD_SET_TIME:
        return 7;
    case MODCMD_WRITE_WATCH_ADDRESS:
        return 4;
    default:
        return 0;
    }
}

void DecodeModule(DecodedFrame& f, Builder& b, Direction direction) {
    std::span<const uint8_t> bytes = f.bytes;
    if (bytes.size() < MODULE_FRAME_OVERHEAD || bytes.size() != MODULE_FRAME_OVERHEAD + bytes[3]) {
        b.Fail(Format2("length: %zu bytes do not match n", bytes.size()));
        f.summary = "module frame of the wrong length";
        return;
    }
    if (bytes[1] != MODULE_FRAME_SECOND) {
        b.Fail(Format2("second byte %02X, expected 80", bytes[1]));
    }
    uint8_t expected = ByteSum(bytes.first(bytes.size() - 2));
    if (bytes[bytes.size() - 2] != expected) {
        b.Fail(Format2("checksum %02X, expected %02X", bytes[bytes.size() - 2], expected));
    }
    if (bytes.back() != MODULE_FRAME_END) {
        b.Fail(Format2("end byte %02X, expected 0D", bytes.back()));
    }
    uint8_t command = bytes[2];
    const char* name = ModuleCommandName(command);
    if (name == nullptr) {
        b.Text("command", Format2("%02X", command));
        b.Fail(Format2("unknown module command %02X", command));
        f.summary = "unknown module command";
        return;
    }
    b.Text("command", name);
    std::span<const uint8_t> data = bytes.subspan(4, bytes[3]);
    if (data.size() != ModuleDataLength(command, direction)) {
        b.Fail(Format2("%s with %zu data bytes, expected %zu", name, data.size(),
                       ModuleDataLength(command, direction)));
        f.summary = std::string(name) + " with the wrong data length";
        return;
    }
    f.summary = name;
    if (data.size() == 7 && (command == MODCMD_WRITE_CONFIG || command == MODCMD_READ_CONFIG)) {
        LoraConfig config = LoraConfig::FromBytes(std::span<const uint8_t, 7>(data.data(), 7));
        std::string mhz = Megahertz(config.frequencyWord, MODULE_READ_STEP);
        b.Field("frequency_mhz", mhz)
            .Text("frequency_word", Format2("%06X", config.frequencyWord))
            .Text("sleep_period", SettingItem(SLEEP_PERIOD_NAMES, config.sleepPeriod))
            .Text("breathing_time", SettingItem(BREATHING_TIME_NAMES, config.breathingTime))
            .Number("network_address", config.networkAddress)
            .Text("transmit_power", SettingItem(TRANSMIT_POWER_NAMES, config.transmitPower));
        f.summary += ": " + mhz + " MHz, sleep " + SettingItem(SLEEP_PERIOD_NAMES, config.sleepPeriod) +
                     ", breathing " + SettingItem(BREATHING_TIME_NAMES, config.breathingTime) +
                     ", network address " + std::to_string(config.networkAddress) + ", power " +
                     SettingItem(TRANSMIT_POWER_NAMES, config.transmitPower);
    } else if (data.size() == 4) {
        auto address = static_cast<int32_t>(ReadBigEndian(std::span<const uint8_t, 4>(data.data(), 4)));
        b.Number("watch_address", address);
        f.summary += ": watch address " + std::to_string(address);
    } else if (data.size() == 7) {
        std::string when = Format2("%04d-%02u-%02u %02u:%02u:%02u", 2000 + data[0], data[1], data[2], data[3],
                                   data[4], data[5]);
        b.Text("time", when)
            .Number("weekday_index", data[6])
            .Text("weekday", ListItem(kWeekdaysSundayFirst, 7, data[6]));
        f.summary += ": " + when + ", " + ListItem(kWeekdaysSundayFirst, 7, data[6]);
    }
}

} // namespace

std::string JsonString(std::string_view text) {
    // A byte that is not UTF-8 (a path may hold any byte) becomes U+FFFD, so every JSON parser takes the
    // line.
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string HexBytes(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (uint8_t byte : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += Format2("%02X", byte);
    }
    return out;
}

DecodedFrame DecodeFrame(const SplitFrame& frame, Direction direction) {
    DecodedFrame f;
    f.direction = direction;
    f.format = frame.format;
    f.bytes = frame.bytes;
    f.valid = true;
    Builder b(f);
    switch (frame.format) {
    case Format::Command:
        DecodeCommand(f, b);
        break;
    case Format::Transmitter:
        DecodeTransmitter(f, b);
        break;
    case Format::Module:
        DecodeModule(f, b, direction);
        break;
    case Format::Unknown:
        b.Fail("bytes that start no frame");
        f.summary = std::to_string(f.bytes.size()) + " unknown byte" + (f.bytes.size() == 1 ? "" : "s");
        break;
    }
    return f;
}

std::string ToJson(const DecodedFrame& frame) {
    // Appended piece by piece: "literal" + std::string&& trips a false -Wrestrict in GCC 12.
    auto field = [](std::string& out, std::string_view name, const std::string& jsonValue) {
        out += ',';
        out += JsonString(name);
        out += ':';
        out += jsonValue;
    };
    std::string out = "{\"dir\":";
    out += frame.direction == Direction::In ? "\"in\"" : "\"out\"";
    field(out, "format", JsonString(FormatName(frame.format)));
    field(out, "bytes", JsonString(HexBytes(frame.bytes)));
    field(out, "valid", frame.valid ? "true" : "false");
    if (!frame.valid) {
        field(out, "reason", JsonString(frame.reason));
    }
    for (const auto& [name, value] : frame.fields) {
        field(out, name, value);
    }
    field(out, "summary", JsonString(frame.summary));
    out += '}';
    return out;
}

std::string ToText(const DecodedFrame& frame) {
    std::string out = frame.direction == Direction::In ? "in  " : "out ";
    out += FormatName(frame.format);
    out += frame.valid ? "  " + frame.summary : "  INVALID (" + frame.reason + ")  " + frame.summary;
    out += "  [" + HexBytes(frame.bytes) + "]";
    return out;
}

} // namespace velkor::sim
