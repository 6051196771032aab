// module: a command to the LoRa module on the cable, and its answer read as the module page reads it.

#include "commands.h"
#include "output.h"
#include "session.h"
#include "strict_options.h"

#include "frames/module_frame.h"
#include "resources/module_answer_texts.h"

#include <map>

namespace velkor::cli {
namespace {

template <std::size_t N>
int SettingOption(const TextOption& option, const char* name, const std::array<std::string_view, N>& names) {
    if (!option.Given()) {
        throw ArgumentError{std::string("write-config needs ") + name};
    }
    const std::vector<std::string_view> list(names.begin(), names.end());
    return Required(ParseChoice(option.value, list),
                    std::string(name) + " " + option.value + ": one of " + JoinedNames(names, ", "));
}

class ModuleCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        command
            .add_option("SUBCOMMAND", m_words,
                        "read-config, write-config, set-time, get-time, reset, "
                        "read-watch-address or write-watch-address N")
            ->type_name("")
            ->required();
        Declare(command, "--timeout", m_timeout, "how long the answer may take to begin (default 2000)",
                "MS");
        Declare(command, "--freq", m_frequency, "write-config: MHz below 1024, at most two decimals", "MHZ");
        Declare(command, "--sleep", m_sleep, "write-config: " + JoinedNames(SLEEP_PERIOD_NAMES, ", "), "S");
        Declare(command, "--breathing", m_breathing,
                "write-config: " + JoinedNames(BREATHING_TIME_NAMES, ", "), "T");
        Declare(command, "--net", m_network, "write-config: the network address, 0-255", "N");
        Declare(command, "--power", m_power, "write-config: Level1 to Level7", "LEVEL");
        Declare(command, "--at", m_at, "set-time: this time instead of the local time now",
                "\"YYYY-MM-DD HH:MM:SS\"");
    }

    int Run() override {
        SendOptions options = CheckedOptions(false);
        std::chrono::milliseconds timeout(2000);
        if (m_timeout.Given()) {
            timeout = std::chrono::milliseconds(
                Required(ParseUnsigned(m_timeout.value, 1, 600000),
                         "--timeout " + m_timeout.value + ": milliseconds from 1 to 600000"));
        }
        const std::string command = m_words.front();
        const auto found = Subcommands().find(command);
        if (found == Subcommands().end()) {
            throw ArgumentError{"module " + command + ": not a subcommand (see module --help)"};
        }
        const Subcommand& subcommand = found->second;
        if (m_words.size() != 1 + subcommand.words) {
            throw ArgumentError{"module " + command + ": unexpected " +
                                (m_words.size() > 1 + subcommand.words ? m_words.back() : "end")};
        }
        const bool writesConfig = subcommand.command == MODCMD_WRITE_CONFIG;
        if (!writesConfig && (m_frequency.Given() || m_sleep.Given() || m_breathing.Given() ||
                              m_network.Given() || m_power.Given())) {
            throw ArgumentError{"--freq, --sleep, --breathing, --net and --power go with write-config"};
        }
        if (m_at.Given() && subcommand.command != MODCMD_SET_TIME) {
            throw ArgumentError{"--at goes with set-time"};
        }
        Frame frame{"module " + command, BuildModuleFrame(subcommand.command, (this->*subcommand.data)())};
        Session session(options);
        if (std::optional<int> status = session.DryRunOrWrite(frame, false)) {
            return *status;
        }
        return AwaitAnswer(session, command, frame, timeout);
    }

private:
    // What each subcommand sends: the module command, its data, and how many words follow its name.
    struct Subcommand {
        uint8_t command;
        std::vector<uint8_t> (ModuleCommand::*data)() const;
        std::size_t words = 0;
    };
    static const std::map<std::string, Subcommand, std::less<>>& Subcommands() {
        static const std::map<std::string, Subcommand, std::less<>> table = {
            {"read-config", {MODCMD_READ_CONFIG, &ModuleCommand::NoData}},
            {"write-config", {MODCMD_WRITE_CONFIG, &ModuleCommand::ConfigData}},
            {"set-time", {MODCMD_SET_TIME, &ModuleCommand::ClockData}},
            {"get-time", {MODCMD_GET_TIME, &ModuleCommand::NoData}},
            {"reset", {MODCMD_RESET, &ModuleCommand::NoData}},
            {"read-watch-address", {MODCMD_READ_WATCH_ADDRESS, &ModuleCommand::NoData}},
            {"write-watch-address", {MODCMD_WRITE_WATCH_ADDRESS, &ModuleCommand::WatchAddressBytes, 1}},
        };
        return table;
    }

    std::vector<uint8_t> NoData() const { return {}; }

    std::vector<uint8_t> ConfigData() const {
        if (!m_frequency.Given()) {
            throw ArgumentError{"write-config needs --freq"};
        }
        if (!ParseMegahertz(m_frequency.value)) {
            throw ArgumentError{"--freq " + m_frequency.value +
                                ": MHz below 1024, at most two decimals (434.00)"};
        }
        const int sleep = SettingOption(m_sleep, "--sleep", SLEEP_PERIOD_NAMES);
        const int breathing = SettingOption(m_breathing, "--breathing", BREATHING_TIME_NAMES);
        if (!m_network.Given()) {
            throw ArgumentError{"write-config needs --net"};
        }
        if (!ParseUnsigned(m_network.value, 0, 255)) {
            throw ArgumentError{"--net " + m_network.value + ": a number from 0 to 255"};
        }
        const int power = SettingOption(m_power, "--power", TRANSMIT_POWER_NAMES);
        const std::array<uint8_t, 7> data =
            LoraConfigFromControls(*Utf8ToUtf16(m_frequency.value), sleep, breathing,
                                   *Utf8ToUtf16(m_network.value), power)
                .ToBytes();
        return {data.begin(), data.end()};
    }

    std::vector<uint8_t> ClockData() const {
        const std::array<uint8_t, 7> data = ModuleClockData(ClockArgument(m_at).calendar);
        return {data.begin(), data.end()};
    }

    std::vector<uint8_t> WatchAddressBytes() const {
        const std::string& value = m_words[1];
        if (!ParseUnsigned(value, 0, 99999999)) {
            throw ArgumentError{"write-watch-address " + value + ": a number from 0 to 99999999"};
        }
        const std::array<uint8_t, 4> data = WatchAddressData(*Utf8ToUtf16(value));
        return {data.begin(), data.end()};
    }

    // The answer must begin within the time-out, and ends with the window's silence rule. A line that
    // never goes quiet (noise) cannot hold the wait beyond the time-out and the 400 ms that end a frame.
    int AwaitAnswer(Session& session, const std::string& command, const Frame& sent,
                    std::chrono::milliseconds timeout) const {
        const std::string& port = session.Options().port;
        const auto firstByteBy = DeviceLink::Clock::now() + timeout;
        DeviceLink::Waited waited = session.Link().WaitForFrame(
            firstByteBy, firstByteBy + std::chrono::milliseconds(400), [] { return g_interrupted != 0; });
        switch (waited.end) {
        case DeviceLink::Waited::End::Frame:
            break;
        case DeviceLink::Waited::End::Silence:
            Fail(port + ": no answer within " + std::to_string(timeout.count()) + " ms");
            return kNoAnswer;
        case DeviceLink::Waited::End::Noise:
            Fail(port + ": no whole answer within " + std::to_string(timeout.count()) +
                 " ms: " + std::to_string(waited.bytes) + " bytes came without the pause that ends a frame");
            return kNoAnswer;
        case DeviceLink::Waited::End::Lost:
            Fail(port + ": " + PortErrorText(PortError::DeviceLost) + " before the answer");
            return kPortFailed;
        case DeviceLink::Waited::End::Stopped:
            return kNoAnswer;
        }
        // A short answer, another command's answer or an overflowing frame is no answer.
        if (waited.bytes > static_cast<std::size_t>(RECEIVE_BUFFER_SIZE)) {
            Fail(port + ": no whole answer of the module: a frame of " + std::to_string(waited.bytes) +
                 " bytes came, more than the 1024-byte receive buffer holds");
            return kNoAnswer;
        }
        ModuleAnswer decoded = DecodeModuleAnswer(waited.frame.View());
        if (decoded.status != AnswerStatus::Accepted || decoded.command != sent.bytes[2]) {
            Fail(port + ": no whole answer of the module, only " + Hex(waited.frame.View()));
            return kNoAnswer;
        }
        PrintAnswer(session.Options(), command, sent, waited.frame, decoded);
        return kDone;
    }

    // The answer, as the page shows it.
    static void PrintAnswer(const SendOptions& options, const std::string& command, const Frame& sent,
                            const ReceivedFrame& frame, const ModuleAnswer& answer) {
        std::vector<std::pair<std::string, std::string>> fields; // JSON name, page text
        if (answer.config) {
            fields = {
                {"frequency", ReadBackFrequencyText(answer.config->frequencyWord)},
                {"sleep", std::string(SettingName(SLEEP_PERIOD_NAMES, answer.config->sleepPeriod))},
                {"breathing", std::string(SettingName(BREATHING_TIME_NAMES, answer.config->breathingTime))},
                {"network_address", ReadBackNetworkAddressText(answer.config->networkAddress)},
                {"power", std::string(SettingName(TRANSMIT_POWER_NAMES, answer.config->transmitPower))}};
        }
        if (answer.watchAddress) {
            fields = {{"watch_address", std::to_string(*answer.watchAddress)}};
        }
        const std::string message = resources::ModuleAnswerNotice(answer).message;
        if (options.json) {
            JsonLine line;
            line["command"] = "module " + command;
            line["port"] = options.port;
            line["sent"] = Hex(sent.bytes);
            line["answer"] = Hex(frame.View());
            if (!message.empty()) {
                line["message"] = message;
            }
            for (const auto& [name, value] : fields) {
                line[name] = value;
            }
            PrintJson(line);
            return;
        }
        static const std::map<std::string, std::string> kLabels = {
            {"frequency", "无线频率"},       {"sleep", "休眠周期"}, {"breathing", "呼吸时间"},
            {"network_address", "网络地址"}, {"power", "发送功率"}, {"watch_address", "手表地址"}};
        if (!message.empty()) {
            PrintLine(message);
        }
        for (const auto& [name, value] : fields) {
            PrintLine(kLabels.at(name) + ": " + value);
        }
    }

    std::vector<std::string> m_words; // the subcommand and what follows it
    TextOption m_timeout;
    TextOption m_frequency;
    TextOption m_sleep;
    TextOption m_breathing;
    TextOption m_network;
    TextOption m_power;
    TextOption m_at;
};

} // namespace

std::unique_ptr<Command> MakeModuleCommand() {
    return std::make_unique<ModuleCommand>();
}

} // namespace velkor::cli
