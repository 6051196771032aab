// text, time, host-address, channel and transmitter: the frames of the wireless and text pages.

#include "cli_args.h"
#include "commands.h"
#include "output.h"
#include "serial/sequence_store.h"
#include "session.h"
#include "strict_options.h"
#include "text_input.h"

#include "frames/text_message.h"
#include "frames/watch_commands.h"

namespace velkor::cli {
namespace {

const std::vector<std::string_view> kIntervalNames = {"5", "10", "20", "30", "60"};

WatchAddress AddressOption(const TextOption& option, const std::string& name) {
    if (!option.Given()) {
        throw ArgumentError{name + " is needed"};
    }
    return Required(ParseAddress(option.value),
                    name + " " + option.value + ": an address A.B.C.D, each part 0 to 255");
}

// --freq and --net as the texts the page's fields would hold; checked strictly, then read by the page's own
// rules so that the bytes are the window's.
Channel ChannelOptions(const TextOption& frequency, const TextOption& network) {
    if (!frequency.Given()) {
        throw ArgumentError{"--freq is needed"};
    }
    if (!network.Given()) {
        throw ArgumentError{"--net is needed"};
    }
    if (!ParseMegahertz(frequency.value)) {
        throw ArgumentError{"--freq " + frequency.value + ": MHz below 1024, at most two decimals (434.00)"};
    }
    if (!ParseUnsigned(network.value, 0, 255)) {
        throw ArgumentError{"--net " + network.value + ": a number from 0 to 255"};
    }
    return ChannelFromText(*Utf8ToUtf16(frequency.value), *Utf8ToUtf16(network.value));
}

void DeclareChannel(CLI::App& command, TextOption& frequency, TextOption& network) {
    Declare(command, "--freq", frequency, "MHz below 1024, at most two decimals", "MHZ");
    Declare(command, "--net", network, "the network ID, 0-255", "ID");
}

class TextCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        command.add_option("TEXT", m_text, "the text (UTF-8), or - for standard input")
            ->type_name("")
            ->required();
        Declare(command, "--to", m_to, "the watch (default 255.255.255.255, every watch)", "A.B.C.D");
        Declare(command, "--every", m_every, "send again every 5, 10, 20, 30 or 60 seconds", "S");
        Declare(command, "--count", m_count, "with --every: this many frames in all", "N");
    }

    int Run() override {
        SendOptions options = CheckedOptions(true);
        WatchAddress address = BROADCAST_ADDRESS;
        if (m_to.Given()) {
            address = AddressOption(m_to, "--to");
        }
        std::optional<int> everySeconds;
        if (m_every.Given()) {
            int index = Required(ParseChoice(m_every.value, kIntervalNames),
                                 "--every " + m_every.value + ": 5, 10, 20, 30 or 60");
            everySeconds = std::stoi(std::string(kIntervalNames[static_cast<std::size_t>(index)]));
        }
        std::optional<uint32_t> count;
        if (m_count.Given()) {
            if (!everySeconds) {
                throw ArgumentError{"--count goes with --every"};
            }
            count = Required(ParseUnsigned(m_count.value, 1, 1000000),
                             "--count " + m_count.value + ": a number from 1 up");
        }
        const std::u16string text = TextArgument(m_text);
        EncodedText encoded = EncodeTextMessage(text);
        if (encoded.status == TextStatus::Empty) {
            throw ArgumentError{"the text is empty"};
        }
        if (std::vector<std::string> missing = CharactersWithoutGbk(text); !missing.empty()) {
            std::string names;
            for (const std::string& name : missing) {
                names += (names.empty() ? "" : ", ") + name;
            }
            Fail("GBK has no " + names + "; sent as \"?\"");
        }
        if (encoded.status == TextStatus::TooLong) {
            Fail("the text is longer than " + std::to_string(MAX_TEXT_BYTES) + " bytes in GBK (" +
                 std::to_string(MAX_TEXT_BYTES / 2) + " Chinese characters); only the first " +
                 std::to_string(encoded.bytes.size()) + " bytes are sent");
        }
        auto build = [&](uint8_t sequence) {
            return Frame{"text", BuildTextFrame(sequence, address, encoded.bytes), sequence};
        };
        Session session(options);
        if (!everySeconds || options.dryRun) {
            return session.SendFrames(build);
        }
        // Timed sending: the port stays open; each frame takes the next number.
        if (!session.Open()) {
            return kPortFailed;
        }
        std::optional<uint8_t> given = options.sequence;
        for (uint32_t sent = 0; !count || sent < *count; ++sent) {
            if (sent > 0 && !SleepFor(std::chrono::seconds(*everySeconds))) {
                break;
            }
            std::optional<uint8_t> sequence = given ? given : session.SequenceNumber();
            if (!sequence || !session.Write(build(*sequence))) {
                return kPortFailed;
            }
            if (given) {
                given = NextSequence(*given);
            }
            std::fflush(stdout);
            if (OutputFailed()) {
                return kPortFailed; // nobody reads on: stop sending; main says why
            }
        }
        return kDone;
    }

private:
    std::string m_text;
    TextOption m_to;
    TextOption m_every;
    TextOption m_count;
};

class TimeCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        Declare(command, "--at", m_at, "this time instead of the local time now", "\"YYYY-MM-DD HH:MM:SS\"");
    }

    int Run() override {
        SendOptions options = CheckedOptions(false);
        ClockTime clock = ClockArgument(m_at);
        Session session(options);
        return session.SendFrames([&](uint8_t) {
            return Frame{"time", BuildTimeFrame(clock.text, clock.weekdayMondayFirst)};
        });
    }

private:
    TextOption m_at;
};

class HostAddressCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        Declare(command, "--watch", m_watch, "the watch", "A.B.C.D");
        Declare(command, "--host", m_host, "the host address to store", "A.B.C.D");
        Declare(command, "--slot", m_slot, "the address slot, 1 to 10", "1..10");
    }

    int Run() override {
        SendOptions options = CheckedOptions(true);
        WatchAddress watch = AddressOption(m_watch, "--watch");
        WatchAddress host = AddressOption(m_host, "--host");
        if (!m_slot.Given()) {
            throw ArgumentError{"--slot is needed"};
        }
        const int slot = static_cast<int>(
            Required(ParseUnsigned(m_slot.value, 1, 10), "--slot " + m_slot.value + ": 1 to 10"));
        Session session(options);
        return session.SendFrames([&](uint8_t sequence) {
            return Frame{"host-address", BuildHostAddressFrame(sequence, watch, host, slot - 1), sequence};
        });
    }

private:
    TextOption m_watch;
    TextOption m_host;
    TextOption m_slot;
};

class ChannelCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        Declare(command, "--watch", m_watch, "the watch", "A.B.C.D");
        DeclareChannel(command, m_frequency, m_network);
    }

    int Run() override {
        SendOptions options = CheckedOptions(true);
        WatchAddress watch = AddressOption(m_watch, "--watch");
        Channel channel = ChannelOptions(m_frequency, m_network);
        Session session(options);
        return session.SendFrames([&](uint8_t sequence) {
            return Frame{"channel", BuildChannelFrame(sequence, watch, channel), sequence};
        });
    }

private:
    TextOption m_watch;
    TextOption m_frequency;
    TextOption m_network;
};

class TransmitterCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        DeclareChannel(command, m_frequency, m_network);
    }

    int Run() override {
        SendOptions options = CheckedOptions(false);
        Channel channel = ChannelOptions(m_frequency, m_network);
        Session session(options);
        return session.SendFrames([&](uint8_t) {
            return Frame{"transmitter", BuildTransmitterChannelFrame(channel)};
        });
    }

private:
    TextOption m_frequency;
    TextOption m_network;
};

} // namespace

std::unique_ptr<Command> MakeTextCommand() {
    return std::make_unique<TextCommand>();
}
std::unique_ptr<Command> MakeTimeCommand() {
    return std::make_unique<TimeCommand>();
}
std::unique_ptr<Command> MakeHostAddressCommand() {
    return std::make_unique<HostAddressCommand>();
}
std::unique_ptr<Command> MakeChannelCommand() {
    return std::make_unique<ChannelCommand>();
}
std::unique_ptr<Command> MakeTransmitterCommand() {
    return std::make_unique<TransmitterCommand>();
}

} // namespace velkor::cli
