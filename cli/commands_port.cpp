// ports and send: the machine's ports, and raw bytes with whatever comes back.

#include "cli_args.h"
#include "commands.h"
#include "output.h"
#include "session.h"
#include "strict_options.h"

namespace velkor::cli {
namespace {

class PortsCommand final : public Command {
public:
    void Define(CLI::App& command) override {
        command.add_flag("--json", m_json, "one JSON object per line");
    }

    int Run() override {
        for (const std::string& port : EnumeratePorts()) {
            PortError error = PortError::None;
            const std::string status = DeviceLink::Probe(port, &error) ? "free" : StatusText(error);
            if (m_json) {
                JsonLine line;
                line["port"] = port;
                line["status"] = status;
                PrintJson(line);
            } else {
                PrintLine(port + "\t" + status);
            }
        }
        return kDone;
    }

private:
    static std::string StatusText(PortError error) {
        switch (error) {
        case PortError::NotFound:
            return "missing";
        case PortError::Busy:
            return "busy";
        default:
            return PortErrorText(error);
        }
    }

    bool m_json = false;
};

class SendCommand final : public SendingCommand {
public:
    void Define(CLI::App& command) override {
        DefineSending(command);
        command.add_option("HEX", m_hex, "the bytes, as pairs of hexadecimal digits")
            ->type_name("")
            ->required();
        m_waitGiven =
            command.add_option("--wait", m_wait, "how long to print what comes back (default 1000)")
                ->option_text("MS");
    }

    int Run() override {
        SendOptions options = CheckedOptions(false);
        std::chrono::milliseconds wait(1000);
        if (Given(m_waitGiven)) {
            wait = std::chrono::milliseconds(Required(
                ParseUnsigned(m_wait, 0, 600000), "--wait " + m_wait + ": milliseconds from 0 to 600000"));
        }
        std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(m_hex);
        if (!bytes) {
            std::string given;
            for (const std::string& word : m_hex) {
                given += (given.empty() ? "" : " ") + word;
            }
            throw ArgumentError{"not bytes: " + given +
                                " (the bytes are pairs of hexadecimal digits, for example FA80F4006E0D)"};
        }
        Session session(options);
        if (std::optional<int> status = session.DryRunOrWrite(Frame{"send", *bytes}, true)) {
            return *status;
        }
        return PrintFrames(session, wait);
    }

private:
    // Prints every frame that completes within `wait` (a frame under way gets the 400 ms that end it);
    // reports a frame that overflowed the buffer, one cut off by the end of the wait, and a loss.
    static int PrintFrames(Session& session, std::chrono::milliseconds wait) {
        const std::string& port = session.Options().port;
        const auto end = DeviceLink::Clock::now() + wait;
        for (;;) {
            DeviceLink::Waited waited = session.Link().WaitForFrame(end, end + std::chrono::milliseconds(400),
                                                                    [] { return g_interrupted != 0; });
            switch (waited.end) {
            case DeviceLink::Waited::End::Frame:
                if (waited.bytes > static_cast<std::size_t>(RECEIVE_BUFFER_SIZE)) {
                    Fail(port + ": a frame of " + std::to_string(waited.bytes) +
                         " bytes overflowed the 1024-byte receive buffer; not printed");
                } else if (session.Options().json) {
                    JsonLine line;
                    line["received"] = Hex(waited.frame.View());
                    PrintJson(line);
                } else {
                    PrintLine(Hex(waited.frame.View()));
                }
                continue;
            case DeviceLink::Waited::End::Lost:
                Fail(port + ": " + PortErrorText(PortError::DeviceLost));
                return kPortFailed;
            case DeviceLink::Waited::End::Noise:
                Fail(port + ": still receiving when the wait ended; " + std::to_string(waited.bytes) +
                     " bytes of an unfinished frame not printed");
                return kDone;
            case DeviceLink::Waited::End::Silence:
            case DeviceLink::Waited::End::Stopped:
                return kDone;
            }
        }
    }

    std::vector<std::string> m_hex;
    std::string m_wait;
    CLI::Option* m_waitGiven = nullptr;
};

} // namespace

std::unique_ptr<Command> MakePortsCommand() {
    return std::make_unique<PortsCommand>();
}

std::unique_ptr<Command> MakeSendCommand() {
    return std::make_unique<SendCommand>();
}

} // namespace velkor::cli
