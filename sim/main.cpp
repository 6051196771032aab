// velkor-sim: the transmitter and LoRa module on the far end of the cable, played on a pseudo-terminal.

#include "frame_decoder.h"
#include "module_device.h"
#include "panel_station.h"
#include "stream_splitter.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using velkor::sim::DecodedFrame;
using velkor::sim::Direction;

volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int) {
    g_stopSignal = 1;
}

// Whoever reads our output has gone (EPIPE): there is no one left to report to, so the run ends.
bool g_outputGone = false;

void PrintLine(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0) {
        if (errno == EPIPE) {
            g_outputGone = true;
        }
        std::clearerr(stdout);
    }
}

// A pipe or socket on standard output reports its reader's close as POLLERR, even while nothing is
// printed; other kinds of output are not watched.
bool OutputIsPipe() {
    struct stat st {};
    return fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// The pseudo-terminal number of "/dev/pts/N", or nullopt.
std::optional<unsigned> PtyIndex(const std::string& path) {
    const std::string prefix = "/dev/pts/";
    if (path.rfind(prefix, 0) != 0 || path.size() == prefix.size() ||
        path.find_first_not_of("0123456789", prefix.size()) != std::string::npos ||
        path.size() > prefix.size() + 9) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::stoul(path.substr(prefix.size())));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Does a running velkor-sim hold the master of pseudo-terminal `index`? Found through the "tty-index" line
// the kernel gives a /dev/ptmx descriptor in /proc/PID/fdinfo. nullopt when it cannot be told: a process
// whose descriptors we may not read could be the one.
std::optional<bool> SimulatorHoldsPty(unsigned index) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return std::nullopt;
    }
    bool unreadable = false;
    bool held = false;
    const std::string wanted = "tty-index:\t" + std::to_string(index) + "\n";
    while (dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            unreadable = unreadable || errno == EACCES || errno == EPERM;
            continue;
        }
        bool holder = false;
        while (dirent* fd = readdir(fds)) {
            char target[64];
            ssize_t n = readlink((fdDir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) {
                continue;
            }
            std::string path(target, static_cast<std::size_t>(n));
            if ((path == "/dev/ptmx" || path == "/dev/pts/ptmx") &&
                ReadFile("/proc/" + pid + "/fdinfo/" + fd->d_name).find(wanted) != std::string::npos) {
                holder = true;
                break;
            }
        }
        closedir(fds);
        if (holder && ReadFile("/proc/" + pid + "/comm") == "velkor-sim\n") {
            held = true;
            break;
        }
    }
    closedir(proc);
    if (held) {
        return true;
    }
    return unreadable ? std::nullopt : std::optional<bool>(false);
}

const char kDescription[] =
    R"(Plays the devices at the far end of Velkor's serial cable: the radio transmitter, which takes watch
command frames and its own channel frame, and the LoRa module, which answers module commands. It
creates a pseudo-terminal, links it at a stable path and prints one line for every frame in either
direction. Start Velkor with VELKOR_PORTS set to the link to find it in the port list.)";

const char kFooter[] =
    R"(The module starts at 434.00 MHz (frequency word 6C 80 12), sleep 2s, breathing 32ms, network address 0,
power Level7, watch address 0, and its clock at the host's clock. Writing settings, the watch address or
the time changes what later reads return. Frames are split by their format; every length and checksum
is checked, and a frame that fails is printed as invalid with the reason.

A link left behind by a simulator that was killed is replaced: one that points nowhere, at the new
pseudo-terminal itself, or at a pseudo-terminal that no running velkor-sim holds.

Exit status: 0 after SIGINT, SIGTERM, SIGHUP, a requested hang-up, or when whoever reads the output
(a pipe) goes away; 1 when the link cannot be made; 2 for wrong options.)";

struct Options {
    std::string link;
    bool json = false;
    int answerDelayMs = 5;
    bool noAnswer = false;
    bool badChecksum = false;
    int splitAnswerMs = -1;
    bool garbage = false;
    long hangupAfter = 0;
    long stallAfter = 0;
    long stormSeconds = 0;
    std::string espaPanel; // play a panel on this link instead of the transmitter
    velkor::sim::PanelOptions panel;
};

std::string DefaultLink() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
        return std::string(runtime) + "/velkor-sim";
    }
    return "/tmp/velkor-sim-" + std::to_string(getuid());
}

// The options of --espa-panel, which play the panel instead of the transmitter.
void AddPanelOptions(CLI::App& app, Options* options, std::string* espaAddress) {
    auto* espa =
        app.add_option("--espa-panel", options->espaPanel,
                       "play a nurse-call or alarm panel (ESPA 4.4.4) on a pseudo-terminal linked at "
                       "LINK instead of the transmitter: each line on standard input (550 CALL ME 101, "
                       "! first for priority 2) is a call to the paging system")
            ->option_text("LINK");
    app.add_option("--espa-address", *espaAddress, "the paging system's station address (default 2)")
        ->option_text("DIGIT")
        ->needs(espa)
        ->check([](const std::string& digit) {
            return digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9' ? std::string()
                                                                           : std::string("one digit");
        });
    app.add_option("--every", options->panel.everySeconds, "send the --call call every SECONDS too")
        ->option_text("SECONDS")
        ->needs(espa)
        ->check(CLI::PositiveNumber);
    app.add_option("--call", options->panel.call, "the call --every sends (default \"100 CALL\")")
        ->option_text("CALL")
        ->needs(espa);
    app.add_option("--poll-every", options->panel.pollSeconds,
                   "poll the paging system every SECONDS when idle (default: only after each call)")
        ->option_text("SECONDS")
        ->needs(espa)
        ->check(CLI::PositiveNumber);
    app.add_flag("--bad-bcc", options->panel.badBcc,
                 "send each call's block first with a wrong BCC (the paging system must NAK it)")
        ->needs(espa);
}

// The options; -1 to go on, otherwise the exit status (0 after --help).
int ParseOptions(int argc, char** argv, Options* options) {
    CLI::App app{kDescription, "velkor-sim"};
    app.footer(kFooter);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    options->link = DefaultLink();
    long answerDelay = options->answerDelayMs;
    long splitAnswer = -1;
    app.add_option("--link", options->link,
                   "where to link the pseudo-terminal (default: $XDG_RUNTIME_DIR/velkor-sim, or "
                   "/tmp/velkor-sim-UID without it)")
        ->option_text("PATH")
        ->check([](const std::string& path) {
            return path.empty() ? std::string("needs a path") : std::string();
        });
    app.add_flag(
        "--json", options->json,
        "one JSON object per line: dir (\"in\" from the tool, \"out\" from the simulator), format "
        "(\"command\", \"transmitter\", \"module\", \"unknown\"), bytes, valid, reason (when invalid), "
        "the decoded fields and a summary; the first line is {\"event\":\"ready\",\"link\":...,\"pty\":...}");
    app.add_option("--answer-delay", answerDelay,
                   "wait this long before answering a module command (default 5)")
        ->option_text("MS")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--no-answer", options->noAnswer, "never answer");
    app.add_flag("--bad-checksum", options->badChecksum, "answer with a wrong checksum byte");
    app.add_option("--split-answer", splitAnswer,
                   "send each answer in two parts with a pause of MS between them")
        ->option_text("MS")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--garbage", options->garbage,
                 "send noise bytes, then a pause of 500 ms, before each answer (with --espa-panel: noise "
                 "and a half block, then 2.5 s of silence, before each call)");
    app.add_option("--hangup-after", options->hangupAfter,
                   "hang the line up after N frames from the tool, as a pulled USB adapter does")
        ->option_text("N")
        ->check(CLI::PositiveNumber);
    app.add_option(
           "--stall-after", options->stallAfter,
           "after N frames from the tool, stop taking bytes (the line is suspended, so the tool's writes "
           "cannot leave) until the simulator ends")
        ->option_text("N")
        ->check(CLI::PositiveNumber);
    app.add_option(
           "--storm", options->stormSeconds,
           "on the first frame from the tool, send noise (never 0D or FA) without a pause for SECONDS, "
           "wait 500 ms, then answer as usual")
        ->option_text("SECONDS")
        ->check(CLI::PositiveNumber);
    std::string espaAddress = "2";
    AddPanelOptions(app, options, &espaAddress);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "velkor-sim: %s\n", error.what());
        return 2;
    }
    options->answerDelayMs = static_cast<int>(std::min(answerDelay, 600000L));
    options->splitAnswerMs = splitAnswer < 0 ? -1 : static_cast<int>(std::min(splitAnswer, 600000L));
    options->stormSeconds = std::min(options->stormSeconds, 3600L);
    if (!options->espaPanel.empty()) {
        options->link = options->espaPanel;
        options->panel.pagingSystem = espaAddress[0];
        options->panel.garbage = options->garbage;
        options->panel.json = options->json;
    }
    return -1;
}

class Simulator {
public:
    explicit Simulator(const Options& options) : m_options(options) {}
    ~Simulator() { Shutdown(); }

    bool Start() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            std::fprintf(stderr, "velkor-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
            return false;
        }
        m_ptyPath = ptsname(m_master);
        // Holding the slave open keeps the master from seeing a hang-up each time the tool closes the
        // port; this descriptor is never read, so every byte goes to the tool.
        m_heldSlave = open(m_ptyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (m_heldSlave < 0 || tcgetattr(m_heldSlave, &raw) != 0) {
            std::fprintf(stderr, "velkor-sim: cannot open %s: %s\n", m_ptyPath.c_str(), std::strerror(errno));
            return false;
        }
        cfmakeraw(&raw);
        tcsetattr(m_heldSlave, TCSANOW, &raw);
        tcgetattr(m_master, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_master, TCSANOW, &raw);
        return MakeLink();
    }

    // Plays the panel instead of the transmitter.
    int RunPanel() {
        if (m_options.json) {
            PrintLine("{\"event\":\"ready\",\"link\":" + velkor::sim::JsonString(m_options.link) +
                      ",\"pty\":" + velkor::sim::JsonString(m_ptyPath) + ",\"role\":\"panel\"}");
        } else {
            PrintLine("velkor-sim: a panel on " + m_options.link + " (" + m_ptyPath + "), paging system " +
                      std::string(1, m_options.panel.pagingSystem) + "; type a call: NUMBER [MESSAGE]");
        }
        velkor::sim::PanelStation station(m_master, m_options.panel, PrintLine);
        return station.Run(g_stopSignal);
    }

    int Run() {
        if (!m_options.espaPanel.empty()) {
            return RunPanel();
        }
        if (m_options.json) {
            PrintLine("{\"event\":\"ready\",\"link\":" + velkor::sim::JsonString(m_options.link) +
                      ",\"pty\":" + velkor::sim::JsonString(m_ptyPath) + "}");
        } else {
            PrintLine("velkor-sim: listening on " + m_options.link + " (" + m_ptyPath + ")");
        }
        const bool watchOutput = OutputIsPipe();
        uint8_t buffer[4096];
        while (g_stopSignal == 0 && !m_hungUp && !g_outputGone) {
            // While stalled the line is not read (take nothing more); a signal or the output's reader
            // going away still ends the run.
            pollfd fds[2] = {{m_stalled ? -1 : m_master, POLLIN, 0},
                             {watchOutput ? STDOUT_FILENO : -1, 0, 0}};
            // A frame cut off by silence, or unknown bytes, are reported after 200 ms of quiet.
            int rc = poll(fds, 2, m_splitter.HasPending() && !m_stalled ? 200 : -1);
            if (rc < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::fprintf(stderr, "velkor-sim: poll: %s\n", std::strerror(errno));
                return 1;
            }
            if ((fds[1].revents & (POLLERR | POLLHUP)) != 0) {
                g_outputGone = true;
                break;
            }
            if (rc == 0) {
                Handle(m_splitter.Flush());
                continue;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                Handle(m_splitter.Feed({buffer, static_cast<std::size_t>(n)}));
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (m_splitter.HasPending() && !g_outputGone) {
            Handle(m_splitter.Flush());
        }
        return 0;
    }

    void Shutdown() {
        RemoveLink();
        if (m_heldSlave >= 0) {
            close(m_heldSlave);
            m_heldSlave = -1;
        }
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }

private:
    bool MakeLink() {
        struct stat st {};
        if (lstat(m_options.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode) || !StaleLink()) {
                std::fprintf(stderr, "velkor-sim: cannot link %s: the path is taken\n",
                             m_options.link.c_str());
                return false;
            }
            // Replaced in one step, through a link beside it, so the path never points nowhere.
            const std::string fresh = m_options.link + ".velkor-sim-" + std::to_string(getpid());
            unlink(fresh.c_str());
            if (symlink(m_ptyPath.c_str(), fresh.c_str()) != 0 ||
                rename(fresh.c_str(), m_options.link.c_str()) != 0) {
                std::fprintf(stderr, "velkor-sim: cannot link %s: %s\n", m_options.link.c_str(),
                             std::strerror(errno));
                unlink(fresh.c_str());
                return false;
            }
        } else if (symlink(m_ptyPath.c_str(), m_options.link.c_str()) != 0) {
            std::fprintf(stderr, "velkor-sim: cannot link %s: %s\n", m_options.link.c_str(),
                         std::strerror(errno));
            return false;
        }
        m_linked = true;
        return true;
    }

    // Was the symbolic link at our path left by a simulator that is gone? It is when it points nowhere, at
    // our own new pseudo-terminal (a killed simulator's number, given to us), or at a pseudo-terminal
    // whose master no running velkor-sim holds.
    bool StaleLink() const {
        char target[4096];
        ssize_t n = readlink(m_options.link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            return false;
        }
        const std::string path(target, static_cast<std::size_t>(n));
        struct stat st {};
        if (stat(m_options.link.c_str(), &st) != 0) {
            return errno == ENOENT;
        }
        if (path == m_ptyPath) {
            return true;
        }
        std::optional<unsigned> index = PtyIndex(path);
        return index && SimulatorHoldsPty(*index) == false;
    }

    void RemoveLink() {
        if (!m_linked) {
            return;
        }
        char target[4096];
        ssize_t n = readlink(m_options.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == m_ptyPath) {
            unlink(m_options.link.c_str());
        }
        m_linked = false;
    }

    void Print(const DecodedFrame& frame) {
        PrintLine(m_options.json ? velkor::sim::ToJson(frame) : velkor::sim::ToText(frame));
    }

    void Handle(const std::vector<velkor::sim::SplitFrame>& frames) {
        for (const auto& frame : frames) {
            DecodedFrame decoded = velkor::sim::DecodeFrame(frame, Direction::In);
            Print(decoded);
            if (frame.format != velkor::sim::Format::Unknown) {
                ++m_framesIn;
            }
            if (m_options.stormSeconds > 0 && !m_stormed) {
                Storm();
            }
            if (decoded.valid && frame.format == velkor::sim::Format::Module && !m_options.noAnswer) {
                if (auto answer = m_device.Answer(frame.bytes, std::time(nullptr))) {
                    SendAnswer(*answer);
                }
            }
            if (m_options.hangupAfter > 0 && m_framesIn >= m_options.hangupAfter) {
                HangUp();
                return;
            }
            if (m_options.stallAfter > 0 && m_framesIn >= m_options.stallAfter) {
                Stall();
                return;
            }
        }
    }

    void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    void WriteAll(std::span<const uint8_t> bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size() && g_stopSignal == 0) {
            ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    void SendAnswer(std::vector<uint8_t> answer) {
        Sleep(m_options.answerDelayMs);
        if (m_options.badChecksum) {
            answer[answer.size() - 2] = static_cast<uint8_t>(answer[answer.size() - 2] + 1);
        }
        if (m_options.garbage) {
            std::uniform_int_distribution<int> byte(0, 255);
            std::vector<uint8_t> noise(6);
            for (uint8_t& b : noise) {
                b = static_cast<uint8_t>(byte(m_random));
            }
            if (noise[0] == 0xFA) {
                noise[0] = 0x00; // noise must not pass for an answer
            }
            Print(velkor::sim::DecodeFrame({velkor::sim::Format::Unknown, noise}, Direction::Out));
            WriteAll(noise);
            // More than the tool's 400 ms end-of-frame silence, so the noise arrives as a frame of its own.
            Sleep(500);
        }
        velkor::sim::Format format = velkor::sim::Format::Module;
        Print(velkor::sim::DecodeFrame({format, answer}, Direction::Out));
        if (m_options.splitAnswerMs >= 0) {
            std::size_t half = answer.size() / 2;
            WriteAll({answer.data(), half});
            Sleep(m_options.splitAnswerMs);
            WriteAll({answer.data() + half, answer.size() - half});
        } else {
            WriteAll(answer);
        }
    }

    void Stall() {
        // Suspend the line: what the tool writes stays queued until the queue is full.
        tcflow(m_heldSlave, TCOOFF);
        m_stalled = true;
        PrintLine(m_options.json
                      ? "{\"event\":\"stall\",\"frames\":" + std::to_string(m_framesIn) + "}"
                      : "velkor-sim: stopped taking bytes after " + std::to_string(m_framesIn) + " frames");
    }

    void Storm() {
        m_stormed = true;
        PrintLine(m_options.json
                      ? "{\"event\":\"storm\",\"seconds\":" + std::to_string(m_options.stormSeconds) + "}"
                      : "velkor-sim: noise for " + std::to_string(m_options.stormSeconds) + " s");
        std::uniform_int_distribution<int> byte(0, 255);
        std::vector<uint8_t> noise(256);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.stormSeconds);
        long long sent = 0;
        while (std::chrono::steady_clock::now() < end && g_stopSignal == 0) {
            for (uint8_t& b : noise) {
                do {
                    b = static_cast<uint8_t>(byte(m_random));
                } while (b == 0x0D || b == 0xFA); // noise never looks like the end or start of an answer
            }
            WriteAll(noise);
            sent += static_cast<long long>(noise.size());
        }
        if (m_options.json) {
            PrintLine("{\"event\":\"storm-end\",\"bytes\":" + std::to_string(sent) + "}");
        }
        Sleep(500);
    }

    void HangUp() {
        // Give the tool's reader time to take the last answer before the line goes dead.
        Sleep(100);
        RemoveLink();
        close(m_heldSlave);
        m_heldSlave = -1;
        close(m_master);
        m_master = -1;
        m_hungUp = true;
        PrintLine(m_options.json ? "{\"event\":\"hangup\",\"frames\":" + std::to_string(m_framesIn) + "}"
                                 : "velkor-sim: hung up after " + std::to_string(m_framesIn) + " frames");
    }

    Options m_options;
    int m_master = -1;
    int m_heldSlave = -1;
    std::string m_ptyPath;
    bool m_linked = false;
    bool m_hungUp = false;
    bool m_stalled = false;
    bool m_stormed = false;
    long m_framesIn = 0;
    velkor::sim::StreamSplitter m_splitter;
    velkor::sim::ModuleDevice m_device;
    std::mt19937 m_random{20240607};
};

} // namespace

int main(int argc, char** argv) try {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (int rc = ParseOptions(argc, argv, &options); rc >= 0) {
        return rc;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // the terminal closed: end as on SIGTERM, removing the link
    std::signal(SIGPIPE, SIG_IGN);       // a closed output shows as EPIPE and ends the run cleanly

    Simulator simulator(options);
    if (!simulator.Start()) {
        return 1;
    }
    int rc = simulator.Run();
    simulator.Shutdown();
    return rc;
} catch (const std::exception& error) { // out of memory
    std::fprintf(stderr, "velkor-sim: %s\n", error.what());
    return 1;
}
