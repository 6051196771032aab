#include "session.h"

#include "cli_args.h"
#include "output.h"
#include "serial/port_failure.h"
#include "serial/port_names.h"
#include "serial/sequence_store.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <thread>

namespace velkor::cli {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

// The link a signal interrupts: a stalled write gives up at once instead of sitting out its wait.
std::atomic<DeviceLink*> g_link{nullptr};
static_assert(std::atomic<DeviceLink*>::is_always_lock_free);

void OnInterrupt(int) {
    g_interrupted = 1;
    if (DeviceLink* link = g_link.load()) {
        link->Interrupt();
    }
}

} // namespace

bool SleepFor(std::chrono::milliseconds duration) {
    using Clock = std::chrono::steady_clock;
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

void AddSendOptions(CLI::App& command, SendOptionTexts& texts) {
    texts.baudGiven =
        command.add_option("--baud", texts.baud, "one of " + BaudRatesText(", ") + " (default 9600)")
            ->option_text("RATE");
    texts.parityGiven =
        command.add_option("--parity", texts.parity, "none (default), odd or even")->option_text("P");
    texts.sequenceGiven = command
                              .add_option("--seq", texts.sequence,
                                          "the sequence byte (0-255) of a watch command frame; not stored")
                              ->option_text("N");
    command.add_flag("--dry-run", texts.dryRun, "print the frame as hexadecimal pairs and open nothing");
    command.add_flag("--json", texts.json, "one JSON object per line");
}

SendOptions ReadSendOptions(const SendOptionTexts& texts, bool takesSequence) {
    SendOptions options;
    if (Given(texts.baudGiven)) {
        options.baudRate =
            Required(ParseBaudRate(texts.baud), "--baud " + texts.baud + ": one of " + BaudRatesText(", "));
    }
    if (Given(texts.parityGiven)) {
        options.parity =
            Required(ParseParity(texts.parity), "--parity " + texts.parity + ": none, odd or even");
    }
    if (Given(texts.sequenceGiven)) {
        if (!takesSequence) {
            throw ArgumentError{"--seq: this frame has no sequence number of its own"};
        }
        options.sequence = static_cast<uint8_t>(Required(
            ParseUnsigned(texts.sequence, 0, 255), "--seq " + texts.sequence + ": a number from 0 to 255"));
    }
    options.dryRun = texts.dryRun;
    options.json = texts.json;
    return options;
}

Session::Session(SendOptions options) : m_options(std::move(options)) {
    g_link = &m_link;
}

Session::~Session() {
    g_link = nullptr;
    m_link.Close();
}

std::string Session::FailureText(const CXSerial::Failure& failure) const {
    return PortFailureText(m_options.port, failure);
}

void Session::PrintSent(const Frame& frame) const {
    if (m_options.json) {
        JsonLine line;
        line["command"] = frame.command;
        line["port"] = m_options.port;
        if (frame.sequence >= 0) {
            line["sequence"] = frame.sequence;
        }
        line["sent"] = Hex(frame.bytes);
        if (m_options.dryRun) {
            line["dry_run"] = true;
        }
        PrintJson(line);
    } else if (m_options.dryRun) {
        PrintLine(Hex(frame.bytes));
    }
}

bool Session::Open() {
    const std::string& port = m_options.port;
    if (IsSystemConsole(port)) {
        const char* listed = std::getenv("VELKOR_PORTS");
        std::vector<std::string> named = SplitPortList(listed != nullptr ? listed : "");
        if (std::find(named.begin(), named.end(), port) == named.end()) {
            Fail("cannot open " + port +
                 ": it is the system console (the machine's messages and log-in are on it); name it in "
                 "VELKOR_PORTS to use it anyway");
            return false;
        }
    }
    if (m_link.Open(port, m_options.baudRate, m_options.parity)) {
        if (g_interrupted != 0) {
            m_link.Interrupt(); // the signal came while the port was opening
        }
        return true;
    }
    Fail("cannot open " + FailureText(m_link.LastFailure()));
    return false;
}

bool Session::Write(const Frame& frame, bool printSent) {
    if (m_link.Send(frame.bytes)) {
        if (printSent) {
            PrintSent(frame);
        }
        return true;
    }
    Fail(FailureText(m_link.LastFailure()));
    return false;
}

std::optional<int> Session::DryRunOrWrite(const Frame& frame, bool printSent) {
    if (m_options.dryRun) {
        PrintSent(frame);
        return kDone;
    }
    if (!Open() || !Write(frame, printSent)) {
        return kPortFailed;
    }
    return std::nullopt;
}

std::optional<uint8_t> Session::SequenceNumber() {
    if (m_options.sequence) {
        return m_options.sequence;
    }
    if (m_options.dryRun) {
        return PeekSequence(m_options.port);
    }
    std::string error;
    std::string warning;
    std::optional<uint8_t> sequence = TakeSequence(m_options.port, &error, &warning);
    if (!warning.empty()) {
        Fail(warning);
    }
    if (!sequence) {
        Fail("cannot keep the sequence number: " + error);
    }
    return sequence;
}

int Session::SendFrames(const std::function<Frame(uint8_t)>& build) {
    if (m_options.dryRun) {
        PrintSent(build(*SequenceNumber()));
        return kDone;
    }
    if (!Open()) {
        return kPortFailed;
    }
    std::optional<uint8_t> sequence = SequenceNumber();
    if (!sequence) {
        return kPortFailed;
    }
    return Write(build(*sequence)) ? kDone : kPortFailed;
}

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

} // namespace velkor::cli
