#pragma once
// One run of a sending command: its options, the device link it opens, and the steps every command
// shares (a dry run, opening with a reason for failure, writing, numbering watch frames).

#include "serial/device_link.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velkor::cli {

enum ExitStatus { kDone = 0, kPortFailed = 1, kBadArguments = 2, kNoAnswer = 3 };

// Wrong arguments: the message names the argument; the program exits with 2.
struct ArgumentError {
    std::string message;
};

template <typename T> T Required(std::optional<T> value, const std::string& what) {
    if (!value) {
        throw ArgumentError{what};
    }
    return *value;
}

// Set by SIGINT, SIGTERM and SIGHUP; the commands end the normal way when it is.
extern volatile std::sig_atomic_t g_interrupted;
// Installs the handlers: those signals end the program the normal way, so the port is released (on Linux
// the tty's exclusive flag outlives a killed process while the device's other end stays open); a reader
// that went away (SIGPIPE) becomes a failed write to standard output.
void HandleSignals();
// Sleeps `duration` in short steps; false when interrupted.
bool SleepFor(std::chrono::milliseconds duration);

// The options of every sending command as given, checked by ReadSendOptions.
struct SendOptionTexts {
    std::string baud;
    std::string parity;
    std::string sequence;
    bool dryRun = false;
    bool json = false;
    CLI::Option* baudGiven = nullptr;
    CLI::Option* parityGiven = nullptr;
    CLI::Option* sequenceGiven = nullptr;
};

// Whether `option` was on the command line (an empty value included).
inline bool Given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}
// Declares them on `command`.
void AddSendOptions(CLI::App& command, SendOptionTexts& texts);

struct SendOptions {
    std::string port;
    int baudRate = DEFAULT_BAUD_RATE;
    Parity parity = Parity::None;
    std::optional<uint8_t> sequence;
    bool dryRun = false;
    bool json = false;
};
// Checks the texts strictly; `takesSequence` for the commands whose frame has a sequence number.
SendOptions ReadSendOptions(const SendOptionTexts& texts, bool takesSequence);

// One frame of a command: what it is called in the output, and its bytes.
struct Frame {
    std::string command;
    std::vector<uint8_t> bytes;
    int sequence = -1; // -1: the frame has none of its own
};

class Session {
public:
    explicit Session(SendOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const SendOptions& Options() const { return m_options; }
    DeviceLink& Link() { return m_link; }

    // Opens the port; on failure says why and returns false. The system console is refused unless
    // VELKOR_PORTS names it.
    bool Open();
    // Writes `frame`, printing it (as --json asks) when `printSent`; on failure says why.
    bool Write(const Frame& frame, bool printSent = true);
    // With --dry-run prints `frame`; otherwise opens the port and writes it. The exit status when the command
    // ends here (a dry run, or a failure), nullopt when the frame went out and the command goes on.
    std::optional<int> DryRunOrWrite(const Frame& frame, bool printSent);
    // Sends the frame `build` makes for the next sequence number: printed only with --dry-run; otherwise
    // opened, numbered and written.
    int SendFrames(const std::function<Frame(uint8_t)>& build);
    // The sequence number of the next watch command frame: --seq, or the next one taken from the store.
    std::optional<uint8_t> SequenceNumber();
    // The frame as --dry-run or --json print it.
    void PrintSent(const Frame& frame) const;
    // The one line a failure of this port gets.
    std::string FailureText(const CXSerial::Failure& failure) const;

private:
    SendOptions m_options;
    DeviceLink m_link;
};

} // namespace velkor::cli
