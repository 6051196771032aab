// velkor-cli: every operation of the window from scripts, on the same core. Every byte it sends comes
// from the frames/ builders; every answer is read with the module page's rules.

#include "cli_args.h"
#include "sequence_store.h"

#include "frames/local_time.h"
#include "frames/module_frame.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/watch_commands.h"
#include "resources/module_answer_texts.h"
#include "serial/cxserial.h"
#include "serial/port_diagnosis.h"
#include "serial/port_names.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#ifndef VELKOR_VERSION
#define VELKOR_VERSION "unknown"
#endif

namespace {

using namespace velkor;
using namespace velkor::cli;
using Clock = std::chrono::steady_clock;

enum ExitStatus { kDone = 0, kPortFailed = 1, kBadArguments = 2, kNoAnswer = 3 };

const char kUsage[] = R"(Usage: velkor-cli COMMAND [OPTIONS] ...

Commands:
  ports                                       the serial ports and whether each can be opened
  send PORT HEX...                            write bytes, print the frames that come back
  text PORT [--to A.B.C.D] [--every S [--count N]] TEXT|-
                                              a text message to a watch (GBK, at most 84 bytes)
  time PORT [--at "YYYY-MM-DD HH:MM:SS"]      date, time and weekday to every watch
  host-address PORT --watch A.B.C.D --host A.B.C.D --slot 1..10
  channel PORT --watch A.B.C.D --freq MHZ --net ID
  transmitter PORT --freq MHZ --net ID        the transmitter's own frequency and network ID
  module PORT read-config | write-config --freq MHZ --sleep S --breathing T --net N --power LevelN
            | set-time | get-time | reset | read-watch-address | write-watch-address N

Options of every command that sends:
  --baud RATE        one of {baud rates} (default 9600)
  --parity P         none (default), odd or even
  --seq N            the sequence byte (0-255) of a watch command frame; not stored
  --dry-run          print the frame as hexadecimal pairs and open nothing
  --json             one JSON object per line

"velkor-cli COMMAND --help" tells more about each; "velkor-cli --version" prints the version.

Exit status: 0 done; 1 the port could not be opened or written, the sequence number could not be kept,
or the output could not be written; 2 wrong arguments or values; 3 no whole answer within the time-out.
Interrupted (SIGINT, SIGTERM, SIGHUP), it releases the port and ends; a frame cut short is exit 1.
)";

// kUsage with the list of baud rates the engine takes.
std::string Usage() {
    std::string text = kUsage;
    const std::string_view placeholder = "{baud rates}";
    text.replace(text.find(placeholder), placeholder.size(), BaudRatesText(", "));
    return text;
}

// Help of each command, after its synopsis line in kUsage.
const std::map<std::string, std::string, std::less<>> kCommandHelp = {
    {"ports", R"(Usage: velkor-cli ports [--json]

Lists the serial ports of this machine (never the system console) and the paths in VELKOR_PORTS, each
with "free", "busy", "permission denied", "missing" or "not a serial port".
)"},
    {"send", R"(Usage: velkor-cli send PORT [--baud RATE] [--parity P] [--wait MS] [--dry-run] [--json] HEX...

Writes the bytes given as pairs of hexadecimal digits ("FA 80 F4 00 6E 0D" or FA80F4006E0D), then prints
every frame received within --wait milliseconds (default 1000, at most 600000), one line of hexadecimal
pairs each; a frame ends after 300 to 400 ms of silence. The run never lasts longer than the wait and
the 400 ms that end a frame. A frame of more than 1024 bytes is reported on standard error, not printed.
If the device goes away, what arrived before is printed, then the loss is reported (exit 1).
)"},
    {"text",
     R"(Usage: velkor-cli text PORT [--to A.B.C.D] [--every 5|10|20|30|60 [--count N]] [OPTIONS] TEXT|-

Sends TEXT (UTF-8; "-" reads standard input, at most 4096 bytes, without its last line break) to the
watch at --to (default 255.255.255.255, every watch) as the text page does: in GBK, cut after the last
whole character that fits in 84 bytes, and a character GBK lacks sent as "?" (each with a warning on
standard error). An empty text, or one with control characters other than line breaks, is refused
(exit 2). "--" ends the options, for a text that starts with "-". With --every the text is sent again
every S seconds, each time with the next sequence number, until --count frames have gone or the program
is interrupted.
)"},
    {"time", R"(Usage: velkor-cli time PORT [--at "YYYY-MM-DD HH:MM:SS"] [OPTIONS]

Sets the date, time and weekday of every watch: the local time now, or --at (years 2000 to 2099). The
weekday is computed from the date, Monday first, as the wireless page does. The frame's sequence byte is
always 0.
)"},
    {"host-address",
     R"(Usage: velkor-cli host-address PORT --watch A.B.C.D --host A.B.C.D --slot 1..10 [OPTIONS]

Stores the host address in address slot 1 to 10 ("Addr1" to "Addr10") of the watch.
)"},
    {"channel", R"(Usage: velkor-cli channel PORT --watch A.B.C.D --freq MHZ --net ID [OPTIONS]

Sets a watch's radio frequency (MHz, below 1024, at most two decimals) and network ID (0-255).
)"},
    {"transmitter", R"(Usage: velkor-cli transmitter PORT --freq MHZ --net ID [OPTIONS]

Sets the transmitter's own frequency (MHz, below 1024, at most two decimals) and network ID (0-255).
)"},
    {"module", R"(Usage: velkor-cli module PORT SUBCOMMAND [--timeout MS] [OPTIONS]

Sends a command to the LoRa module on the cable and prints its answer, read as the module page reads it:
  read-config                 the settings: frequency, sleep period, breathing time, network address, power
  write-config --freq MHZ --sleep 2s|4s|6s|8s|10s --breathing 2ms|4ms|8ms|16ms|32ms|64ms --net 0-255
               --power Level1..Level7
  set-time [--at "YYYY-MM-DD HH:MM:SS"]   the module's clock (the local time now by default)
  get-time                    the module's clock, as "2030-02-27 13:45:30 星期3"
  reset
  read-watch-address          the watch address stored in the module
  write-watch-address N       N from 0 to 99999999
The answer must begin within --timeout milliseconds (default 2000); it ends after 300 to 400 ms of
silence. No answer, or one that is not a whole answer of the module, exits with 3.
)"},
};

const std::vector<std::string_view> kSleepNames = {"2s", "4s", "6s", "8s", "10s"};
const std::vector<std::string_view> kBreathingNames = {"2ms", "4ms", "8ms", "16ms", "32ms", "64ms"};
const std::vector<std::string_view> kPowerNames = {"Level1", "Level2", "Level3", "Level4",
                                                   "Level5", "Level6", "Level7"};
const std::vector<std::string_view> kIntervalNames = {"5", "10", "20", "30", "60"};

// Wrong arguments: the message names the argument; the program exits with 2.
struct ArgumentError {
    std::string message;
};

volatile std::sig_atomic_t g_interrupted = 0;
// The link a signal interrupts: a stalled write gives up at once instead of sitting out its wait.
std::atomic<CXSerial*> g_link{nullptr};
static_assert(std::atomic<CXSerial*>::is_always_lock_free);

void OnInterrupt(int) {
    g_interrupted = 1;
    if (CXSerial* link = g_link.load()) {
        link->Interrupt();
    }
}

// SIGINT, SIGTERM and SIGHUP end the program the normal way, so the port is released (on Linux the
// tty's exclusive flag would outlive a killed process while the device's other end stays open). A
// reader that went away (SIGPIPE) becomes a failed write to standard output.
void HandleSignals() {
#ifdef _WIN32
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
#endif
}

bool OutputFailed() {
    return std::ferror(stdout) != 0;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, out.empty() ? "%02X" : " %02X", byte);
        out += pair;
    }
    return out;
}

// The arguments of one command: options (with or without a value) and the words between them.
class Arguments {
public:
    // Everything after "--" is a word, whatever it looks like.
    explicit Arguments(std::vector<std::string> words) {
        auto end = std::find(words.begin(), words.end(), "--");
        if (end != words.end()) {
            m_afterOptions.assign(end + 1, words.end());
            words.erase(end, words.end());
        }
        m_words = std::move(words);
    }

    // Takes "--name VALUE" (the last one given wins); nullopt when absent.
    std::optional<std::string> Value(std::string_view name) {
        std::optional<std::string> value;
        for (std::size_t i = 0; i < m_words.size();) {
            if (m_words[i] != name) {
                ++i;
                continue;
            }
            if (i + 1 >= m_words.size()) {
                throw ArgumentError{std::string(name) + " needs a value"};
            }
            value = m_words[i + 1];
            m_words.erase(m_words.begin() + static_cast<std::ptrdiff_t>(i),
                          m_words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        }
        return value;
    }
    // Takes "--name"; true when it was there.
    bool Flag(std::string_view name) {
        auto end = std::remove(m_words.begin(), m_words.end(), std::string(name));
        bool found = end != m_words.end();
        m_words.erase(end, m_words.end());
        return found;
    }
    // What is left: the words. Anything left that looks like an option is one this command does not have.
    std::vector<std::string> Words() const {
        for (const std::string& word : m_words) {
            if (word.size() > 1 && word[0] == '-') {
                throw ArgumentError{"unknown option " + word + " (see --help)"};
            }
        }
        std::vector<std::string> words = m_words;
        words.insert(words.end(), m_afterOptions.begin(), m_afterOptions.end());
        return words;
    }

private:
    std::vector<std::string> m_words;
    std::vector<std::string> m_afterOptions;
};

template <typename T> T Required(std::optional<T> value, const std::string& what) {
    if (!value) {
        throw ArgumentError{what};
    }
    return *value;
}

// The options every sending command shares.
struct SendOptions {
    std::string port;
    int baudRate = DEFAULT_BAUD_RATE;
    int parity = 0;
    std::optional<uint8_t> sequence;
    bool dryRun = false;
    bool json = false;
};

SendOptions ReadSendOptions(Arguments& args, bool takesSequence) {
    SendOptions options;
    if (auto baud = args.Value("--baud")) {
        auto rate = ParseUnsigned(*baud, 1, std::numeric_limits<int>::max());
        if (!rate || !IsSupportedBaudRate(static_cast<int>(*rate))) {
            throw ArgumentError{"--baud " + *baud + ": one of " + BaudRatesText(", ")};
        }
        options.baudRate = static_cast<int>(*rate);
    }
    if (auto parity = args.Value("--parity")) {
        options.parity = Required(ParseChoice(*parity, {"none", "odd", "even"}),
                                  "--parity " + *parity + ": none, odd or even");
    }
    if (auto sequence = args.Value("--seq")) {
        if (!takesSequence) {
            throw ArgumentError{"--seq: this frame has no sequence number of its own"};
        }
        options.sequence = static_cast<uint8_t>(
            Required(ParseUnsigned(*sequence, 0, 255), "--seq " + *sequence + ": a number from 0 to 255"));
    }
    options.dryRun = args.Flag("--dry-run");
    options.json = args.Flag("--json");
    return options;
}

// The one serial link of this program; its bytes go to the window's receive path, and a frame that would
// overflow the 1024-byte buffer is noticed.
class CliSerial : public CXSerial {
public:
    CliSerial() { g_link = this; }
    ~CliSerial() {
        g_link = nullptr;
        Close();
    }
    ReceiveBuffer& Buffer() { return m_buffer; }
    // Bytes received since the last call.
    std::size_t TakeCount() { return m_count.exchange(0); }

protected:
    void OnReceiveByte(uint8_t byte) override {
        m_buffer.Append(byte);
        m_count.fetch_add(1, std::memory_order_relaxed);
    }

private:
    ReceiveBuffer m_buffer;
    std::atomic<std::size_t> m_count{0};
};

// The one line a failure to open or write `port` gets.
std::string FailureText(const std::string& port, const CXSerial::Failure& failure) {
    std::string text = port + ": " + PortErrorText(failure.error);
    switch (failure.error) {
    case PortError::Permission:
        if (std::string group = DeviceGroup(port); !group.empty() && group != "root") {
            text += "; it belongs to the group " + group + ": sudo usermod -aG " + group +
                    " $USER, then log in again";
        }
        break;
    case PortError::Busy: {
        std::vector<PortHolder> holders = PortHolders(port);
        if (holders.empty()) {
            text = port + ": busy: another program has it open";
        } else {
            text = port + ": busy: " + holders[0].program + " (PID " + std::to_string(holders[0].pid) +
                   ") has it open";
        }
        break;
    }
    case PortError::Interrupted:
        text += " while the device had taken " + std::to_string(failure.accepted) + " of " +
                std::to_string(failure.length) + " bytes";
        break;
    case PortError::Stalled:
        text += ": it took " + std::to_string(failure.accepted) + " of " + std::to_string(failure.length) +
                " bytes, then nothing for " +
                std::to_string(CXSerial::MAX_WRITE_FAILURES * CXSerial::WRITE_TIMEOUT_MS / 1000) + " s";
        break;
    default:
        break;
    }
    return text;
}

void Fail(const std::string& text) {
    std::fprintf(stderr, "velkor-cli: %s\n", text.c_str());
}

// One frame of a command: what it is called in the output, and its bytes.
struct Frame {
    std::string command;
    std::vector<uint8_t> bytes;
    int sequence = -1; // -1: the frame has none of its own
};

void PrintSent(const SendOptions& options, const Frame& frame) {
    if (options.json) {
        std::printf("{\"command\":%s,\"port\":%s,%s\"sent\":\"%s\"%s}\n", JsonString(frame.command).c_str(),
                    JsonString(options.port).c_str(),
                    frame.sequence >= 0 ? ("\"sequence\":" + std::to_string(frame.sequence) + ",").c_str()
                                        : "",
                    Hex(frame.bytes).c_str(), options.dryRun ? ",\"dry_run\":true" : "");
    } else if (options.dryRun) {
        std::printf("%s\n", Hex(frame.bytes).c_str());
    }
}

// Opens the port; on failure says why and returns false.
bool OpenPort(CliSerial& serial, const SendOptions& options) {
    if (IsSystemConsole(options.port)) {
        const char* listed = std::getenv("VELKOR_PORTS");
        std::vector<std::string> named = SplitPortList(listed != nullptr ? listed : "");
        if (std::find(named.begin(), named.end(), options.port) == named.end()) {
            Fail("cannot open " + options.port +
                 ": it is the system console (the machine's messages and log-in are on it); name it in "
                 "VELKOR_PORTS to use it anyway");
            return false;
        }
    }
    if (serial.Open(options.port, options.baudRate, options.parity) == 1) {
        if (g_interrupted != 0) {
            serial.Interrupt(); // the signal came while the port was opening
        }
        return true;
    }
    Fail("cannot open " + FailureText(options.port, serial.LastFailure()));
    return false;
}

// Writes `frame`, printing it (as --json asks) when `printSent`; on failure says why.
bool WriteFrame(CliSerial& serial, const SendOptions& options, const Frame& frame, bool printSent = true) {
    if (serial.Write(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size())) == 1) {
        if (printSent) {
            PrintSent(options, frame);
        }
        return true;
    }
    Fail(FailureText(options.port, serial.LastFailure()));
    return false;
}

// With --dry-run prints `frame`; otherwise opens the port and writes it. The exit status when the command
// ends here (a dry run, or a failure), nullopt when the frame went out and the command goes on.
std::optional<int> DryRunOrWrite(CliSerial& serial, const SendOptions& options, const Frame& frame,
                                 bool printSent) {
    if (options.dryRun) {
        PrintSent(options, frame);
        return kDone;
    }
    if (!OpenPort(serial, options) || !WriteFrame(serial, options, frame, printSent)) {
        return kPortFailed;
    }
    return std::nullopt;
}

// The sequence number of the next watch command frame: --seq, or the next one stored for the port.
std::optional<uint8_t> SequenceFor(const SendOptions& options) {
    if (options.sequence) {
        return options.sequence;
    }
    if (options.dryRun) {
        return PeekSequence(options.port);
    }
    std::string error;
    std::string warning;
    std::optional<uint8_t> sequence = TakeSequence(options.port, &error, &warning);
    if (!warning.empty()) {
        Fail(warning);
    }
    if (!sequence) {
        Fail("cannot keep the sequence number: " + error);
    }
    return sequence;
}

// Sends the frames a command built: printed only with --dry-run; otherwise opened, numbered and written.
int SendFrames(const SendOptions& options, const std::function<Frame(uint8_t)>& build) {
    if (options.dryRun) {
        PrintSent(options, build(*SequenceFor(options)));
        return kDone;
    }
    CliSerial serial;
    if (!OpenPort(serial, options)) {
        return kPortFailed;
    }
    std::optional<uint8_t> sequence = SequenceFor(options);
    if (!sequence) {
        return kPortFailed;
    }
    return WriteFrame(serial, options, build(*sequence)) ? kDone : kPortFailed;
}

// Sleeps `duration` in short steps; false when interrupted.
bool SleepFor(std::chrono::milliseconds duration) {
    auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        if (g_interrupted != 0) {
            return false;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(50), end - Clock::now()));
    }
    return g_interrupted == 0;
}

// ---- the commands --------------------------------------------------------------------------------------

int Ports(Arguments& args) {
    const bool json = args.Flag("--json");
    if (!args.Words().empty()) {
        throw ArgumentError{"ports takes no port (see --help)"};
    }
    for (const std::string& port : EnumeratePorts()) {
        PortError error = PortError::None;
        std::string status = "free";
        if (!NativePort::Probe(port, &error)) {
            switch (error) {
            case PortError::NotFound:
                status = "missing";
                break;
            case PortError::Permission:
                status = "permission denied";
                break;
            case PortError::Busy:
                status = "busy";
                break;
            case PortError::NotSerial:
                status = "not a serial port";
                break;
            default:
                status = PortErrorText(error);
                break;
            }
        }
        if (json) {
            std::printf("{\"port\":%s,\"status\":%s}\n", JsonString(port).c_str(),
                        JsonString(status).c_str());
        } else {
            std::printf("%s\t%s\n", port.c_str(), status.c_str());
        }
    }
    return kDone;
}

// Receives frames after a send until `wait` has passed (a frame under way gets the 400 ms that end it);
// prints each; reports a frame that overflowed the buffer, one cut off by the end of the wait, and a loss.
int ReceiveFrames(CliSerial& serial, const SendOptions& options, std::chrono::milliseconds wait) {
    const auto end = Clock::now() + wait;
    const auto hardEnd = end + std::chrono::milliseconds(400);
    std::size_t bytesInFrame = 0;
    bool lost = false;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bytesInFrame += serial.TakeCount();
        if (std::optional<ReceivedFrame> frame = serial.Buffer().Tick()) {
            if (bytesInFrame > static_cast<std::size_t>(RECEIVE_BUFFER_SIZE)) {
                Fail(options.port + ": a frame of " + std::to_string(bytesInFrame) +
                     " bytes overflowed the 1024-byte receive buffer; not printed");
            } else if (options.json) {
                std::printf("{\"received\":\"%s\"}\n", Hex(frame->View()).c_str());
            } else {
                std::printf("%s\n", Hex(frame->View()).c_str());
            }
            bytesInFrame = 0;
        }
        lost = lost || serial.TakeDeviceLost();
        const bool receiving = serial.Buffer().IdleTicks() >= 0;
        if (lost && !receiving) {
            Fail(options.port + ": " + PortErrorText(PortError::DeviceLost));
            return kPortFailed;
        }
        if ((Clock::now() >= end && !receiving) || Clock::now() >= hardEnd || g_interrupted != 0) {
            bytesInFrame += serial.TakeCount();
            if (receiving && bytesInFrame > 0) {
                Fail(options.port + ": still receiving when the wait ended; " + std::to_string(bytesInFrame) +
                     " bytes of an unfinished frame not printed");
            }
            return kDone;
        }
    }
}

int Send(Arguments& args) {
    SendOptions options = ReadSendOptions(args, false);
    std::chrono::milliseconds wait(1000);
    if (auto text = args.Value("--wait")) {
        wait = std::chrono::milliseconds(
            Required(ParseUnsigned(*text, 0, 600000), "--wait " + *text + ": milliseconds from 0 to 600000"));
    }
    std::vector<std::string> words = args.Words();
    if (words.empty()) {
        throw ArgumentError{"send needs a port and the bytes (see send --help)"};
    }
    options.port = words.front();
    words.erase(words.begin());
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(words);
    if (!bytes) {
        throw ArgumentError{"the bytes are pairs of hexadecimal digits, for example FA80F4006E0D"};
    }
    Frame frame{"send", *bytes};
    CliSerial serial;
    if (std::optional<int> status = DryRunOrWrite(serial, options, frame, true)) {
        return *status;
    }
    return ReceiveFrames(serial, options, wait);
}

// Standard input is read only as far as can matter: a text message takes 84 bytes.
constexpr std::size_t MAX_INPUT_BYTES = 4096;

std::string ReadStandardInput() {
    std::string text(MAX_INPUT_BYTES + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        std::size_t got = std::fread(text.data() + length, 1, text.size() - length, stdin);
        if (got == 0) {
            break;
        }
        length += got;
    }
    if (length > MAX_INPUT_BYTES) {
        throw ArgumentError{"standard input holds more than " + std::to_string(MAX_INPUT_BYTES) +
                            " bytes; a text message takes at most " + std::to_string(MAX_TEXT_BYTES) +
                            " bytes in GBK"};
    }
    text.resize(length);
    return text;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// "U+1F600" for one character of UTF-16 text (one unit, or a surrogate pair).
std::string CodePointName(std::u16string_view character) {
    char32_t value = character[0];
    if (character.size() == 2) {
        value = 0x10000 + ((static_cast<char32_t>(character[0]) - 0xD800) << 10) + (character[1] - 0xDC00);
    }
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(value));
    return name;
}

// The UTF-8 bytes of the whole characters of `utf8` in order, one string each.
std::vector<std::string> Utf8Characters(std::string_view utf8) {
    std::vector<std::string> characters;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t length = 1;
        while (i + length < utf8.size() && (static_cast<unsigned char>(utf8[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        characters.emplace_back(utf8.substr(i, length));
        i += length;
    }
    return characters;
}

// The text of the command line or of standard input (without the one line break that ends it). A
// control character other than a line break is refused: it would reach the watch's screen as garbage, and
// a NUL would silently end the text.
std::u16string TextArgument(const std::string& word, std::string* utf8Text) {
    std::string& utf8 = *utf8Text;
    utf8 = word;
    if (word == "-") {
        utf8 = ReadStandardInput();
        if (utf8.ends_with('\n')) {
            utf8.pop_back();
            if (utf8.ends_with('\r')) {
                utf8.pop_back();
            }
        }
    }
    std::u16string text = Required(Utf8ToUtf16(utf8), "the text is not UTF-8");
    std::size_t character = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (!IsLowSurrogate(unit)) {
            ++character;
        }
        const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
        if (control && unit != u'\n' && unit != u'\r') {
            throw ArgumentError{"the text has the control character " + CodePointName({&text[i], 1}) +
                                " at character " + std::to_string(character) +
                                "; only line breaks may be in it"};
        }
    }
    return text;
}

// The characters of the part of the text that is sent which GBK lacks (each goes out as "?"), named once
// each: "😀 (U+1F600)". `utf8` is valid UTF-8 (TextArgument checked it).
std::vector<std::string> CharactersWithoutGbk(std::string_view utf8) {
    std::vector<std::string> missing;
    std::size_t bytes = 0;
    for (const std::string& character : Utf8Characters(utf8)) {
        const std::u16string wide = *Utf8ToUtf16(character);
        const std::string encoded = WideToAnsi(wide);
        bytes += encoded.size();
        if (bytes > MAX_TEXT_BYTES) {
            break;
        }
        if (encoded == "?" && character != "?") {
            std::string name = character + " (" + CodePointName(wide) + ")";
            if (std::find(missing.begin(), missing.end(), name) == missing.end()) {
                missing.push_back(std::move(name));
            }
        }
    }
    return missing;
}

int Text(Arguments& args) {
    SendOptions options = ReadSendOptions(args, true);
    WatchAddress address = BROADCAST_ADDRESS;
    if (auto to = args.Value("--to")) {
        address = Required(ParseAddress(*to), "--to " + *to + ": an address A.B.C.D, each part 0 to 255");
    }
    std::optional<int> everySeconds;
    if (auto every = args.Value("--every")) {
        int index =
            Required(ParseChoice(*every, kIntervalNames), "--every " + *every + ": 5, 10, 20, 30 or 60");
        everySeconds = std::stoi(std::string(kIntervalNames[static_cast<std::size_t>(index)]));
    }
    std::optional<uint32_t> count;
    if (auto text = args.Value("--count")) {
        if (!everySeconds) {
            throw ArgumentError{"--count goes with --every"};
        }
        count = Required(ParseUnsigned(*text, 1, 1000000), "--count " + *text + ": a number from 1 up");
    }
    std::vector<std::string> words = args.Words();
    if (words.size() != 2) {
        throw ArgumentError{"text needs a port and one text (quote it; - reads standard input)"};
    }
    options.port = words[0];
    std::string utf8;
    const std::u16string text = TextArgument(words[1], &utf8);
    EncodedText encoded = EncodeTextMessage(text);
    if (encoded.status == TextStatus::Empty) {
        throw ArgumentError{"the text is empty"};
    }
    if (std::vector<std::string> missing = CharactersWithoutGbk(utf8); !missing.empty()) {
        std::string names;
        for (const std::string& name : missing) {
            names += (names.empty() ? "" : ", ") + name;
        }
        Fail("GBK has no " + names + "; sent as \"?\"");
    }
    if (encoded.status == TextStatus::TooLong) {
        std::fprintf(stderr,
                     "velkor-cli: the text is longer than %zu bytes in GBK (%zu Chinese characters); only "
                     "the first %zu bytes are sent\n",
                     MAX_TEXT_BYTES, MAX_TEXT_BYTES / 2, encoded.bytes.size());
    }
    auto build = [&](uint8_t sequence) {
        return Frame{"text", BuildTextFrame(sequence, address, encoded.bytes), sequence};
    };
    if (!everySeconds || options.dryRun) {
        return SendFrames(options, build);
    }
    // Timed sending: the port stays open; each frame takes the next number.
    CliSerial serial;
    if (!OpenPort(serial, options)) {
        return kPortFailed;
    }
    for (uint32_t sent = 0; !count || sent < *count; ++sent) {
        if (sent > 0 && !SleepFor(std::chrono::seconds(*everySeconds))) {
            break;
        }
        std::optional<uint8_t> sequence = SequenceFor(options);
        if (!sequence || !WriteFrame(serial, options, build(*sequence))) {
            return kPortFailed;
        }
        if (options.sequence) {
            options.sequence = NextSequence(*options.sequence);
        }
        std::fflush(stdout);
        if (OutputFailed()) {
            return kPortFailed; // nobody reads on: stop sending; main says why
        }
    }
    return kDone;
}

ClockTime ClockArgument(Arguments& args) {
    if (auto at = args.Value("--at")) {
        return Required(ParseClockTime(*at),
                        "--at " + *at + ": a time \"YYYY-MM-DD HH:MM:SS\", years 2000 to 2099");
    }
    std::optional<std::tm> local = LocalTime(std::time(nullptr));
    if (!local) {
        throw ArgumentError{"the local time is not known; give --at"};
    }
    return {FormatClockText(*local), WeekdayIndexMondayFirst(*local)};
}

int Time(Arguments& args) {
    SendOptions options = ReadSendOptions(args, false);
    ClockTime clock = ClockArgument(args);
    std::vector<std::string> words = args.Words();
    if (words.size() != 1) {
        throw ArgumentError{"time needs one port"};
    }
    options.port = words[0];
    return SendFrames(options, [&](uint8_t) {
        return Frame{"time", BuildTimeFrame(clock.text, clock.weekdayMondayFirst)};
    });
}

std::string OnePort(Arguments& args, const char* command) {
    std::vector<std::string> words = args.Words();
    if (words.size() != 1) {
        throw ArgumentError{std::string(command) + " needs one port"};
    }
    return words[0];
}

WatchAddress AddressOption(Arguments& args, const char* name) {
    std::string text = Required(args.Value(name), std::string(name) + " is needed");
    return Required(ParseAddress(text),
                    std::string(name) + " " + text + ": an address A.B.C.D, each part 0 to 255");
}

// --freq and --net as the texts the page's fields would hold; checked strictly, then read by the page's own
// rules so that the bytes are the window's.
Channel ChannelOptions(Arguments& args) {
    std::string frequency = Required(args.Value("--freq"), "--freq is needed");
    std::string network = Required(args.Value("--net"), "--net is needed");
    if (!ParseMegahertz(frequency)) {
        throw ArgumentError{"--freq " + frequency + ": MHz below 1024, at most two decimals (434.00)"};
    }
    if (!ParseUnsigned(network, 0, 255)) {
        throw ArgumentError{"--net " + network + ": a number from 0 to 255"};
    }
    return ChannelFromText(*Utf8ToUtf16(frequency), *Utf8ToUtf16(network));
}

int HostAddress(Arguments& args) {
    SendOptions options = ReadSendOptions(args, true);
    WatchAddress watch = AddressOption(args, "--watch");
    WatchAddress host = AddressOption(args, "--host");
    std::string slotText = Required(args.Value("--slot"), "--slot is needed");
    int slot = static_cast<int>(Required(ParseUnsigned(slotText, 1, 10), "--slot " + slotText + ": 1 to 10"));
    options.port = OnePort(args, "host-address");
    return SendFrames(options, [&](uint8_t sequence) {
        return Frame{"host-address", BuildHostAddressFrame(sequence, watch, host, slot - 1), sequence};
    });
}

int WatchChannel(Arguments& args) {
    SendOptions options = ReadSendOptions(args, true);
    WatchAddress watch = AddressOption(args, "--watch");
    Channel channel = ChannelOptions(args);
    options.port = OnePort(args, "channel");
    return SendFrames(options, [&](uint8_t sequence) {
        return Frame{"channel", BuildChannelFrame(sequence, watch, channel), sequence};
    });
}

int Transmitter(Arguments& args) {
    SendOptions options = ReadSendOptions(args, false);
    Channel channel = ChannelOptions(args);
    options.port = OnePort(args, "transmitter");
    return SendFrames(options, [&](uint8_t) {
        return Frame{"transmitter", BuildTransmitterChannelFrame(channel)};
    });
}

// The answer of the module, as the page shows it.
void PrintAnswer(const SendOptions& options, const std::string& command, const Frame& sent,
                 const ReceivedFrame& frame, const ModuleAnswer& answer) {
    std::vector<std::pair<std::string, std::string>> fields; // JSON name, page text
    if (answer.config) {
        auto choice = [](const std::vector<std::string_view>& names, int index) {
            return index < static_cast<int>(names.size())
                       ? std::string(names[static_cast<std::size_t>(index)])
                       : std::string();
        };
        fields = {{"frequency", ReadBackFrequencyText(answer.config->frequencyWord)},
                  {"sleep", choice(kSleepNames, answer.config->sleepPeriod)},
                  {"breathing", choice(kBreathingNames, answer.config->breathingTime)},
                  {"network_address", ReadBackNetworkAddressText(answer.config->networkAddress)},
                  {"power", choice(kPowerNames, answer.config->transmitPower)}};
    }
    if (answer.watchAddress) {
        fields = {{"watch_address", std::to_string(*answer.watchAddress)}};
    }
    const std::string message = velkor::resources::ModuleAnswerNotice(answer).message;
    if (options.json) {
        std::string line = "{\"command\":" + JsonString("module " + command) +
                           ",\"port\":" + JsonString(options.port) + ",\"sent\":\"" + Hex(sent.bytes) +
                           "\",\"answer\":\"" + Hex(frame.View()) + "\"";
        if (!message.empty()) {
            line += ",\"message\":" + JsonString(message);
        }
        for (const auto& [name, value] : fields) {
            line += ",\"" + name + "\":" + JsonString(value);
        }
        std::printf("%s}\n", line.c_str());
        return;
    }
    static const std::map<std::string, std::string> kLabels = {
        {"frequency", "无线频率"},       {"sleep", "休眠周期"}, {"breathing", "呼吸时间"},
        {"network_address", "网络地址"}, {"power", "发送功率"}, {"watch_address", "手表地址"}};
    if (!message.empty()) {
        std::printf("%s\n", message.c_str());
    }
    for (const auto& [name, value] : fields) {
        std::printf("%s: %s\n", kLabels.at(name).c_str(), value.c_str());
    }
}

int Module(Arguments& args) {
    SendOptions options = ReadSendOptions(args, false);
    std::chrono::milliseconds timeout(2000);
    if (auto text = args.Value("--timeout")) {
        timeout = std::chrono::milliseconds(Required(
            ParseUnsigned(*text, 1, 600000), "--timeout " + *text + ": milliseconds from 1 to 600000"));
    }
    // Options of write-config and set-time, taken before the words so that their values are not words.
    std::optional<std::string> frequency = args.Value("--freq");
    std::optional<std::string> sleep = args.Value("--sleep");
    std::optional<std::string> breathing = args.Value("--breathing");
    std::optional<std::string> network = args.Value("--net");
    std::optional<std::string> power = args.Value("--power");
    std::optional<std::string> at = args.Value("--at");
    std::vector<std::string> words = args.Words();
    if (words.size() < 2) {
        throw ArgumentError{"module needs a port and a subcommand (see module --help)"};
    }
    options.port = words[0];
    const std::string command = words[1];
    const std::size_t extraWords = command == "write-watch-address" ? 1 : 0;
    if (words.size() != 2 + extraWords) {
        throw ArgumentError{"module " + command + ": unexpected " +
                            (words.size() > 2 + extraWords ? words.back() : "end")};
    }
    const bool writesConfig = command == "write-config";
    if (!writesConfig && (frequency || sleep || breathing || network || power)) {
        throw ArgumentError{"--freq, --sleep, --breathing, --net and --power go with write-config"};
    }
    if (at && command != "set-time") {
        throw ArgumentError{"--at goes with set-time"};
    }
    Frame frame{"module " + command, {}};
    if (command == "read-config") {
        frame.bytes = BuildModuleFrame(MODCMD_READ_CONFIG, {});
    } else if (writesConfig) {
        std::string f = Required(frequency, "write-config needs --freq");
        if (!ParseMegahertz(f)) {
            throw ArgumentError{"--freq " + f + ": MHz below 1024, at most two decimals (434.00)"};
        }
        std::string s = Required(sleep, "write-config needs --sleep");
        int sleepIndex = Required(ParseChoice(s, kSleepNames), "--sleep " + s + ": 2s, 4s, 6s, 8s or 10s");
        std::string b = Required(breathing, "write-config needs --breathing");
        int breathingIndex = Required(ParseChoice(b, kBreathingNames),
                                      "--breathing " + b + ": 2ms, 4ms, 8ms, 16ms, 32ms or 64ms");
        std::string n = Required(network, "write-config needs --net");
        if (!ParseUnsigned(n, 0, 255)) {
            throw ArgumentError{"--net " + n + ": a number from 0 to 255"};
        }
        std::string p = Required(power, "write-config needs --power");
        int powerIndex = Required(ParseChoice(p, kPowerNames), "--power " + p + ": Level1 to Level7");
        LoraConfig config =
            LoraConfigFromControls(*Utf8ToUtf16(f), sleepIndex, breathingIndex, *Utf8ToUtf16(n), powerIndex);
        std::array<uint8_t, 7> data = config.ToBytes();
        frame.bytes = BuildModuleFrame(MODCMD_WRITE_CONFIG, data);
    } else if (command == "set-time") {
        std::tm local{};
        if (at) {
            local = Required(ParseClockTime(*at),
                             "--at " + *at + ": a time \"YYYY-MM-DD HH:MM:SS\", years 2000 to 2099")
                        .calendar;
        } else {
            local = Required(LocalTime(std::time(nullptr)), "the local time is not known; give --at");
        }
        std::array<uint8_t, 7> data = ModuleClockData(local);
        frame.bytes = BuildModuleFrame(MODCMD_SET_TIME, data);
    } else if (command == "get-time") {
        frame.bytes = BuildModuleFrame(MODCMD_GET_TIME, {});
    } else if (command == "reset") {
        frame.bytes = BuildModuleFrame(MODCMD_RESET, {});
    } else if (command == "read-watch-address") {
        frame.bytes = BuildModuleFrame(MODCMD_READ_WATCH_ADDRESS, {});
    } else if (command == "write-watch-address") {
        const std::string& value = words[2];
        if (!ParseUnsigned(value, 0, 99999999)) {
            throw ArgumentError{"write-watch-address " + value + ": a number from 0 to 99999999"};
        }
        std::array<uint8_t, 4> data = WatchAddressData(*Utf8ToUtf16(value));
        frame.bytes = BuildModuleFrame(MODCMD_WRITE_WATCH_ADDRESS, data);
    } else {
        throw ArgumentError{"module " + command + ": not a subcommand (see module --help)"};
    }
    CliSerial serial;
    if (std::optional<int> status = DryRunOrWrite(serial, options, frame, false)) {
        return *status;
    }
    // The answer must begin within the time-out, and ends with the window's silence rule. A line that
    // never goes quiet (noise) cannot hold the wait beyond the time-out and the 400 ms that end a frame.
    const auto firstByteBy = Clock::now() + timeout;
    const auto hardEnd = firstByteBy + std::chrono::milliseconds(400);
    std::size_t received = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        received += serial.TakeCount();
        if (std::optional<ReceivedFrame> answer = serial.Buffer().Tick()) {
            received += serial.TakeCount();
            ModuleAnswer decoded = DecodeModuleAnswer(answer->View());
            // A short answer, another command's answer or an overflowing frame is no answer.
            if (received > static_cast<std::size_t>(RECEIVE_BUFFER_SIZE)) {
                Fail(options.port + ": no whole answer of the module: a frame of " +
                     std::to_string(received) + " bytes came, more than the 1024-byte receive buffer holds");
                return kNoAnswer;
            }
            if (decoded.status != AnswerStatus::Accepted || decoded.command != frame.bytes[2]) {
                Fail(options.port + ": no whole answer of the module, only " + Hex(answer->View()));
                return kNoAnswer;
            }
            PrintAnswer(options, command, frame, *answer, decoded);
            return kDone;
        }
        if (serial.TakeDeviceLost()) {
            Fail(options.port + ": " + PortErrorText(PortError::DeviceLost) + " before the answer");
            return kPortFailed;
        }
        if (serial.Buffer().IdleTicks() < 0 && Clock::now() >= firstByteBy) {
            Fail(options.port + ": no answer within " + std::to_string(timeout.count()) + " ms");
            return kNoAnswer;
        }
        if (Clock::now() >= hardEnd) {
            received += serial.TakeCount();
            Fail(options.port + ": no whole answer within " + std::to_string(timeout.count()) +
                 " ms: " + std::to_string(received) + " bytes came without the pause that ends a frame");
            return kNoAnswer;
        }
        if (g_interrupted != 0) {
            return kNoAnswer;
        }
    }
}

int Run(const std::string& command, Arguments& args) {
    static const std::map<std::string, int (*)(Arguments&), std::less<>> kCommands = {
        {"ports", Ports},
        {"send", Send},
        {"text", Text},
        {"time", Time},
        {"host-address", HostAddress},
        {"channel", WatchChannel},
        {"transmitter", Transmitter},
        {"module", Module},
    };
    return kCommands.at(command)(args);
}

// The program's arguments as UTF-8. Windows hands main() its arguments in the ANSI code page, where
// Chinese text is lost, so they are taken again as UTF-16 there.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 0; i < count; ++i) {
            int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(static_cast<std::size_t>(std::max(size, 1)), '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
            arg.resize(arg.size() - 1); // the terminating NUL
            args.push_back(std::move(arg));
        }
        LocalFree(wide);
        return args;
    }
#endif
    return {argv, argv + argc};
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0); // its C library takes no line buffering
    SetConsoleOutputCP(CP_UTF8);              // the answers' Chinese texts are UTF-8
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
    HandleSignals();
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    const std::string command = args.size() >= 2 ? args[1] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(Usage().c_str(), stdout);
        return kDone;
    }
    if (command == "--version") {
        std::printf("velkor-cli %s\n", VELKOR_VERSION);
        return kDone;
    }
    auto help = kCommandHelp.find(command);
    if (help == kCommandHelp.end()) {
        std::fprintf(stderr,
                     command.empty() ? "%s" : "velkor-cli: unknown command %s (see velkor-cli --help)\n",
                     command.empty() ? Usage().c_str() : command.c_str());
        return kBadArguments;
    }
    if (std::find(args.begin() + 2, args.end(), "--help") != args.end() ||
        std::find(args.begin() + 2, args.end(), "-h") != args.end()) {
        std::fputs(help->second.c_str(), stdout);
        return kDone;
    }
    int status = kDone;
    try {
        Arguments arguments(std::vector<std::string>(args.begin() + 2, args.end()));
        status = Run(command, arguments);
    } catch (const ArgumentError& error) {
        Fail(error.message);
        return kBadArguments;
    } catch (const TextConversionError& error) {
        Fail(error.what());
        return kPortFailed;
    }
    // The port is released by now. Output that did not reach its reader (a full disk, a closed pipe) is a
    // failure, not a success a script could believe.
    if (std::fflush(stdout) != 0 || OutputFailed()) {
        Fail("cannot write to standard output");
        return kPortFailed;
    }
    return status;
}
