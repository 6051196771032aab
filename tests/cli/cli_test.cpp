// velkor-cli run as a script runs it, against a pseudo-terminal played by the test.

#include "frames/hex.h"
#include "frames/module_frame.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/version.h"
#include "frames/watch_commands.h"
#include "frames/watch_list.h"
#include "serial/serial_port.h"
#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/sim_process.h"
#include "support/site_list.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <regex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using namespace std::chrono_literals;

// `velkor-cli send PORT --wait 0 HEX...` for `bytes`, in words short enough for one argument each.
std::vector<std::string> SendCommand(const std::string& port, const std::vector<uint8_t>& bytes) {
    std::vector<std::string> args = {VELKOR_CLI_PATH, "send", port, "--wait", "0"};
    std::string word;
    for (uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", byte);
        word += pair;
        if (word.size() >= 60000) {
            args.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) {
        args.push_back(word);
    }
    return args;
}

// The device reads `first` bytes, pauses for `pause`, then reads on until `total` or a quiet second.
std::vector<uint8_t> SlowDevice(const PtyPair& pty, std::size_t first, std::chrono::milliseconds pause,
                                std::size_t total) {
    std::vector<uint8_t> line = pty.Receive(first, 5s);
    std::this_thread::sleep_for(pause);
    for (;;) {
        std::vector<uint8_t> more = pty.Receive(total - line.size(), 1s);
        if (more.empty() || line.size() + more.size() >= total) {
            line.insert(line.end(), more.begin(), more.end());
            return line;
        }
        line.insert(line.end(), more.begin(), more.end());
    }
}

TEST(Cli, ADeviceThatPausesGetsEveryByteInOrder) {
    PtyPair pty;
    const std::vector<uint8_t> bytes = Pattern(100000);
    ChildProcess cli(SendCommand(pty.SlavePath(), bytes));
    std::vector<uint8_t> line = SlowDevice(pty, 1000, 1500ms, bytes.size());
    EXPECT_EQ(cli.Wait(10s), 0) << cli.Err();
    EXPECT_EQ(line, bytes);
}

TEST(Cli, ADeviceThatStopsGetsAHeadAndTheStallIsReported) {
    PtyPair pty;
    const std::vector<uint8_t> bytes = Pattern(100000);
    ChildProcess cli(SendCommand(pty.SlavePath(), bytes));
    std::vector<uint8_t> line = pty.Receive(1000, 5s);
    // The device stops reading for longer than the write's bounded wait.
    EXPECT_EQ(cli.Wait(10s), 1);
    EXPECT_NE(cli.Err().find("the device stopped taking bytes"), std::string::npos) << cli.Err();
    std::vector<uint8_t> rest = pty.Receive(bytes.size(), 500ms);
    line.insert(line.end(), rest.begin(), rest.end());
    ASSERT_LT(line.size(), bytes.size());
    EXPECT_TRUE(std::equal(line.begin(), line.end(), bytes.begin())) << "not a head of the bytes";
}

TEST(Cli, APortThatDoesNotOpenIsNamedWithTheReason) {
    ChildProcess missing({VELKOR_CLI_PATH, "send", "/dev/velkor-no-such-port", "FA80F4006E0D"});
    EXPECT_EQ(missing.Wait(5s), 1);
    EXPECT_EQ(missing.Err(), "velkor-cli: cannot open /dev/velkor-no-such-port: no such device\n");
    PtyPair pty;
    ChildProcess holder(SendCommand(pty.SlavePath(), Pattern(200000))); // holds the port while it stalls
    pty.Receive(100, 5s);
    ChildProcess second({VELKOR_CLI_PATH, "send", pty.SlavePath(), "FA80F4006E0D"});
    EXPECT_EQ(second.Wait(5s), 1);
    EXPECT_NE(second.Err().find("busy"), std::string::npos) << second.Err();
}

// ---- every command, from a script's point of view --------------------------------------------------------

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun Cli(std::vector<std::string> args, const ChildProcess::Options& options = {}) {
    args.insert(args.begin(), VELKOR_CLI_PATH);
    ChildProcess cli(std::move(args), options);
    CliRun run;
    run.status = cli.Wait(20s);
    run.out = cli.Out();
    run.err = cli.Err();
    return run;
}

std::string HexLine(const std::vector<uint8_t>& bytes) {
    std::string out;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, out.empty() ? "%02X" : " %02X", byte);
        out += pair;
    }
    return out + "\n";
}

// A state folder of its own for each test, so that stored sequence numbers start from nothing.
class StateFolder {
public:
    StateFolder()
        : m_path(std::filesystem::temp_directory_path() / ("velkor-cli-state-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(m_path);
        setenv("XDG_STATE_HOME", m_path.c_str(), 1);
        setenv("VELKOR_SEQUENCE_DIR", (std::string(m_path.c_str()) + "/velkor").c_str(), 1);
    }
    ~StateFolder() {
        unsetenv("XDG_STATE_HOME");
        unsetenv("VELKOR_SEQUENCE_DIR");
        std::filesystem::remove_all(m_path);
    }

private:
    std::filesystem::path m_path;
};

TEST(Cli, EveryCommandsBytesAreTheFrameBuilders) {
    StateFolder state;
    const struct {
        std::vector<std::string> args;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {{"text", "P", "--seq", "7", "--to", "1.2.3.4", "3号桌请取餐"},
         BuildTextFrame(7, {1, 2, 3, 4}, EncodeTextMessage(u"3号桌请取餐").bytes)},
        {{"text", "P", "abc"}, BuildTextFrame(1, BROADCAST_ADDRESS, "abc")}, // the first stored number
        {{"time", "P", "--at", "2030-02-27 13:45:30"}, BuildTimeFrame(u"2030-02-27 13:45:30", 2)},
        {{"host-address", "P", "--seq", "3", "--watch", "1.2.3.4", "--host", "10.0.0.1", "--slot", "10"},
         BuildHostAddressFrame(3, {1, 2, 3, 4}, {10, 0, 0, 1}, 9)},
        {{"channel", "P", "--seq", "5", "--watch", "255.255.255.255", "--freq", "434.00", "--net", "7"},
         BuildChannelFrame(5, BROADCAST_ADDRESS, ChannelFromText(u"434.00", u"7"))},
        {{"transmitter", "P", "--freq", "470.5", "--net", "30"},
         BuildTransmitterChannelFrame(ChannelFromText(u"470.5", u"30"))},
        {{"module", "P", "read-config"}, BuildModuleFrame(MODCMD_READ_CONFIG, {})},
        {{"module", "P", "write-config", "--freq", "470.00", "--sleep", "6s", "--breathing", "4ms", "--net",
          "44", "--power", "Level4"},
         [] {
             auto data = LoraConfigFromControls(u"470.00", 2, 1, u"44", 3).ToBytes();
             return BuildModuleFrame(MODCMD_WRITE_CONFIG, data);
         }()},
        {{"module", "P", "set-time", "--at", "2030-02-27 13:45:30"},
         Hex("FA 80 FC 07 1E 02 1B 0D 2D 1E 03 13 0D")},
        {{"module", "P", "write-watch-address", "99999999"},
         [] {
             auto data = WatchAddressData(u"99999999");
             return BuildModuleFrame(MODCMD_WRITE_WATCH_ADDRESS, data);
         }()},
        {{"module", "P", "get-time"}, Hex("FA 80 FD 00 77 0D")},
        {{"module", "P", "reset"}, Hex("FA 80 F2 00 6C 0D")},
        {{"module", "P", "read-watch-address"}, Hex("FA 80 EE 00 68 0D")},
        {{"send", "P", "FA80", "F4 00", "6e0d"}, Hex("FA 80 F4 00 6E 0D")},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.emplace_back("--dry-run");
        CliRun run = Cli(args);
        EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
        EXPECT_EQ(run.out, HexLine(row.bytes)) << args[0] << " " << args[2];
    }
    // --json: one object per frame, its bytes the same.
    CliRun json = Cli({"module", "P", "reset", "--dry-run", "--json"});
    EXPECT_EQ(
        json.out,
        "{\"command\":\"module reset\",\"port\":\"P\",\"sent\":\"FA 80 F2 00 6C 0D\",\"dry_run\":true}\n");
    // The text from standard input, without its line break.
    CliRun piped = Cli({"text", "P", "--seq", "1", "--dry-run", "-"}, {.input = "abc\n"});
    EXPECT_EQ(piped.out, HexLine(BuildTextFrame(1, BROADCAST_ADDRESS, "abc")));
}

TEST(Cli, WrongArgumentsExitTwoAndNameTheArgument) {
    const struct {
        std::vector<std::string> args;
        const char* named;
    } rows[] = {
        {{"send", "P", "-1"}, "-1"},
        {{"send", "P", "+F"}, "hexadecimal"},
        {{"send", "P", " F"}, "hexadecimal"},
        {{"send", "P", "--bogus", "FA"}, "--bogus"},
        {{"send", "P", "--wait", "abc", "FA"}, "--wait abc"},
        {{"send", "P", "--wait", "4294967296", "FA"}, "--wait 4294967296"},
        {{"send", "P", "--baud", "9600abc", "FA"}, "--baud 9600abc"},
        {{"send", "P", "--baud", "12345", "FA"}, "--baud 12345"},
        {{"send", "P", "--parity", "mark", "FA"}, "--parity mark"},
        {{"text", "P", ""}, "empty"},
        {{"text", "P", "--every", "7", "x"}, "--every 7"},
        {{"text", "P", "--count", "2", "x"}, "--count"},
        {{"text", "P", "--to", "1.2.3.256", "x"}, "--to 1.2.3.256"},
        {{"text", "P", "--seq", "256", "x"}, "--seq 256"},
        {{"text", "P", "\xFF"}, "UTF-8"},
        {{"time", "P", "--at", "2030-02-30 00:00:00"}, "--at"},
        {{"time", "P", "--seq", "1"}, "--seq"},
        {{"host-address", "P", "--watch", "1.2.3.4", "--host", "1.2.3.4", "--slot", "11"}, "--slot 11"},
        {{"host-address", "P", "--watch", "1.2.3.4", "--slot", "1"}, "--host"},
        {{"channel", "P", "--watch", "1.2.3.4", "--freq", "434.001", "--net", "1"}, "--freq 434.001"},
        {{"transmitter", "P", "--freq", "434", "--net", "300"}, "--net 300"},
        {{"module", "P", "write-config", "--freq", "434", "--sleep", "3s", "--breathing", "4ms", "--net", "1",
          "--power", "Level1"},
         "--sleep 3s"},
        {{"module", "P", "write-config", "--freq", "434"}, "--sleep"},
        {{"module", "P", "write-watch-address", "-5"}, "-5"},
        {{"module", "P", "read-config", "--freq", "434"}, "write-config"},
        {{"module", "P", "dance"}, "dance"},
        {{"module", "P", "read-config", "--timeout", "0"}, "--timeout 0"},
        {{"fly"}, "fly"},
    };
    for (const auto& row : rows) {
        CliRun run = Cli(row.args);
        EXPECT_EQ(run.status, 2) << row.named << ": " << run.err;
        EXPECT_NE(run.err.find(row.named), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err; // one line
    }
    EXPECT_EQ(Cli({"module", "--help"}).status, 0);
    // The watch list's help names every column the readers take, the gateway's too.
    const CliRun watches = Cli({"watches", "--help"});
    for (const char* column : {"name,address", "groups", "call"}) {
        EXPECT_NE(watches.out.find(column), std::string::npos) << column;
    }
    EXPECT_EQ(Cli({"--version"}).out, "velkor-cli " VELKOR_VERSION "\n");
}

TEST(Cli, TextReachesTheSimulatorAndSequenceNumbersContinueAcrossRuns) {
    StateFolder state;
    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    for (int sequence = 1; sequence <= 2; ++sequence) {
        CliRun run = Cli({"text", sim.Link(), "3号桌请取餐"});
        EXPECT_EQ(run.status, 0) << run.err;
        std::string line = sim.WaitForLine("\"command\":\"text\"", 3s);
        EXPECT_NE(line.find("\"valid\":true"), std::string::npos) << line;
        EXPECT_NE(line.find("\"text\":\"3号桌请取餐\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"sequence\":" + std::to_string(sequence) + ","), std::string::npos) << line;
    }
    // --seq is used as given and not stored.
    EXPECT_EQ(Cli({"text", sim.Link(), "--seq", "9", "x"}).status, 0);
    EXPECT_NE(sim.WaitForLine("\"command\":\"text\"", 3s).find("\"sequence\":9,"), std::string::npos);
    EXPECT_EQ(Cli({"text", sim.Link(), "x"}).status, 0);
    EXPECT_NE(sim.WaitForLine("\"command\":\"text\"", 3s).find("\"sequence\":3,"), std::string::npos);
    // Timed sending: three frames, numbers going on.
    auto start = std::chrono::steady_clock::now();
    CliRun timed = Cli({"text", sim.Link(), "--every", "5", "--count", "2", "--json", "x"});
    EXPECT_EQ(timed.status, 0) << timed.err;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4900ms);
    EXPECT_EQ(std::count(timed.out.begin(), timed.out.end(), '\n'), 2) << timed.out;
    EXPECT_NE(timed.out.find("\"sequence\":5,"), std::string::npos) << timed.out;
}

TEST(Cli, ModuleAnswersAreDecodedAsThePageShowsThem) {
    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    CliRun json = Cli({"module", sim.Link(), "read-config", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(
        json.out,
        "{\"command\":\"module read-config\",\"port\":\"" + sim.Link() +
            "\",\"sent\":\"FA 80 F4 00 6E 0D\",\"answer\":\"FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D\","
            "\"message\":\"读取成功.\",\"frequency\":\"434.00\",\"sleep\":\"2s\",\"breathing\":\"32ms\","
            "\"network_address\":\"00\",\"power\":\"Level7\"}\n");
    CliRun plain = Cli({"module", sim.Link(), "read-config"});
    EXPECT_EQ(plain.out,
              "读取成功.\n无线频率: 434.00\n休眠周期: 2s\n呼吸时间: 32ms\n网络地址: 00\n发送功率: Level7\n");
    EXPECT_EQ(Cli({"module", sim.Link(), "set-time", "--at", "2030-02-27 13:45:30"}).out, "校时成功.\n");
    CliRun clock = Cli({"module", sim.Link(), "get-time"});
    EXPECT_EQ(clock.out.substr(0, 18), "2030-02-27 13:45:3") << clock.out; // the clock set a moment ago
    EXPECT_NE(clock.out.find(" 星期3\n"), std::string::npos) << clock.out;
    EXPECT_EQ(Cli({"module", sim.Link(), "write-watch-address", "12345678"}).out, "设置手表地址成功.\n");
    EXPECT_EQ(Cli({"module", sim.Link(), "read-watch-address"}).out, "手表地址: 12345678\n");
}

// Plays a module that answers each request with `answer` (nothing when empty).
void AnswerWith(PtyPair& pty, const std::string& answer, const std::atomic<bool>& stop) {
    while (!stop) {
        if (!pty.Receive(6, 100ms).empty() && !answer.empty()) {
            pty.Send(Hex(answer));
        }
    }
}

TEST(Cli, NoWholeAnswerExitsThree) {
    std::string overflow; // more than the receive buffer holds: not "only 22" (what is left after the wrap)
    for (int i = 0; i < 1025; ++i) {
        overflow += "22 ";
    }
    const struct {
        std::string answer;
        std::string said;
    } rows[] = {
        {"", "no answer within 300 ms"},
        {"FA 80 F4 00 0D", "no whole answer of the module, only FA 80 F4 00 0D"}, // short
        {"FA 80 F2 00 6C 0D", "no whole answer"},                                 // another command's
        {overflow, "a frame of 1025 bytes came, more than the 1024-byte receive buffer holds"},
    };
    for (const auto& row : rows) {
        const std::string& said = row.said;
        PtyPair pty;
        std::atomic<bool> stop{false};
        std::thread device([&] { AnswerWith(pty, row.answer, stop); });
        auto start = std::chrono::steady_clock::now();
        CliRun run = Cli({"module", pty.SlavePath(), "read-config", "--timeout", "300"});
        stop = true;
        device.join();
        EXPECT_EQ(run.status, 3) << said << ": " << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

TEST(Cli, NoiseCannotHoldTheModuleWaitBeyondItsTimeOut) {
    SimProcess storm({"--storm", "20"}); // noise without a pause from the first frame on
    ASSERT_TRUE(storm.Ready());
    auto start = std::chrono::steady_clock::now();
    CliRun run = Cli({"module", storm.Link(), "get-time", "--timeout", "1000", "--baud", "115200"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(": no whole answer within 1000 ms: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" bytes came without the pause that ends a frame"), std::string::npos) << run.err;
}

TEST(Cli, PortsSaysWhatEachPathIs) {
    const std::string folder = "/tmp/velkor-cli-ports-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/file") << "x";
    mkfifo((folder + "/fifo").c_str(), 0600);
    symlink("/nonexistent", (folder + "/dangling").c_str());
    PtyPair pty;
    const std::string list = folder + "/file:" + folder + ":/dev/null:" + folder + "/fifo:" + folder +
                             "/dangling:" + folder +
                             "/missing:/dev/ptmx:/dev/console:/dev/tty0:" + pty.SlavePath();
    setenv("VELKOR_PORTS", list.c_str(), 1);
    CliRun run = Cli({"ports"});
    unsetenv("VELKOR_PORTS");
    EXPECT_EQ(run.status, 0);
    const struct {
        std::string path;
        const char* status;
    } rows[] = {{folder + "/file", "not a serial port"}, {folder, "not a serial port"},
                {"/dev/null", "not a serial port"},      {folder + "/fifo", "not a serial port"},
                {folder + "/dangling", "missing"},       {folder + "/missing", "missing"},
                {"/dev/ptmx", "not a serial port"},      {"/dev/console", "not a serial port"},
                {"/dev/tty0", "not a serial port"},      {pty.SlavePath(), "free"}};
    for (const auto& row : rows) {
        EXPECT_NE(run.out.find(row.path + "\t" + row.status + "\n"), std::string::npos) << row.path << "\n"
                                                                                        << run.out;
    }
    CliRun ptmx = Cli({"send", "/dev/ptmx", "FA"});
    EXPECT_EQ(ptmx.status, 1);
    EXPECT_EQ(ptmx.err, "velkor-cli: cannot open /dev/ptmx: not a serial port\n");
    std::filesystem::remove_all(folder);
}

TEST(Cli, SendIsBoundedByItsWaitAndReportsWhatArrived) {
    {
        SimProcess storm({"--storm", "5"});
        ASSERT_TRUE(storm.Ready());
        auto start = std::chrono::steady_clock::now();
        CliRun run = Cli({"send", storm.Link(), "--baud", "115200", "--wait", "1000", "FA80F2006C0D"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, ""); // noise is never printed as an answer
        EXPECT_NE(run.err.find("still receiving when the wait ended"), std::string::npos) << run.err;
    }
    {
        SimProcess hangup({"--hangup-after", "1"});
        ASSERT_TRUE(hangup.Ready());
        CliRun run = Cli({"send", hangup.Link(), "FA80F2006C0D"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "FA 80 F2 00 6C 0D\n"); // the answer came before the line died
        EXPECT_EQ(run.err, "velkor-cli: " + hangup.Link() + ": the device went away\n");
    }
}

TEST(Cli, APortThatIsHeldOrForbiddenSaysWhoAndWhy) {
    PtyPair pty;
    int held = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    CliRun busy = Cli({"send", pty.SlavePath(), "FA"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(busy.err, "velkor-cli: cannot open " + pty.SlavePath() + ": busy: cli_tests (PID " +
                            std::to_string(getpid()) + ") has it open\n");
    close(held);

    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the program as another user";
    }
    // A device of root's in the group dialout, mode 0620, as a USB adapter is.
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(chown(pty.SlavePath().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0620), 0);
    CliRun forbidden = Cli({"send", pty.SlavePath(), "FA"}, {.input = "", .asNobody = true});
    if (forbidden.status == 126 || forbidden.status == 127) {
        GTEST_SKIP() << "the unprivileged user cannot run the program from this folder";
    }
    EXPECT_EQ(forbidden.status, 1);
    EXPECT_EQ(
        forbidden.err,
        "velkor-cli: cannot open " + pty.SlavePath() +
            ": permission denied; it belongs to the group dialout: sudo usermod -aG dialout $USER, then "
            "log in again\n");
}

// The ways a run can end that a program can catch each release the port, even for an ordinary user (on a
// pseudo-terminal the exclusive flag outlives a killed process while the other side stays open).
TEST(Cli, EveryCatchableEndReleasesThePort) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the program as another user";
    }
    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    ASSERT_EQ(chmod(std::filesystem::canonical(sim.Link()).c_str(), 0666), 0);
    const ChildProcess::Options nobody{.input = "", .asNobody = true};
    auto reopen = [&] { return Cli({"send", sim.Link(), "--wait", "0", "FA80F2006C0D"}, nobody); };
    CliRun first = reopen();
    if (first.status == 126 || first.status == 127) {
        GTEST_SKIP() << "the unprivileged user cannot run the program from this folder";
    }
    ASSERT_EQ(first.status, 0) << first.err;

    // A reader that has what it wants and goes: the next line fails (no death by SIGPIPE), exit 1.
    ChildProcess piped(
        {"/bin/bash", "-c",
         "\"$0\" text \"$1\" --seq 1 --every 5 --count 2 --json hi | head -1; exit ${PIPESTATUS[0]}",
         VELKOR_CLI_PATH, sim.Link()},
        nobody);
    EXPECT_EQ(piped.Wait(20s), 1) << piped.Err();
    EXPECT_NE(piped.Err().find("velkor-cli: cannot write to standard output"), std::string::npos)
        << piped.Err();
    CliRun afterPipe = reopen();
    EXPECT_EQ(afterPipe.status, 0) << "after SIGPIPE: " << afterPipe.err;

    // Output lost to a full disk is a failure too, reported once the port is released.
    ChildProcess full({"/bin/sh", "-c", "exec \"$0\" text \"$1\" --seq 1 --json hi >/dev/full",
                       VELKOR_CLI_PATH, sim.Link()},
                      nobody);
    EXPECT_EQ(full.Wait(10s), 1);
    EXPECT_EQ(full.Err(), "velkor-cli: cannot write to standard output\n");
    EXPECT_EQ(reopen().status, 0) << "after /dev/full";

    // A terminal's Ctrl-C, a service manager's stop, a log-out: timed sending ends between frames, exit 0.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string words = "signal " + std::to_string(signal);
        ChildProcess timed({VELKOR_CLI_PATH, "text", sim.Link(), "--seq", "1", "--every", "5", words},
                           nobody);
        EXPECT_FALSE(sim.WaitForLine("\"text\":\"" + words + "\"", 5s).empty()); // sending, so running
        timed.Signal(signal);
        // Within moments; the bound is wide for ThreadSanitizer's build on a loaded machine (a program that
        // ignored the signal would send every 5 s for ever).
        EXPECT_EQ(timed.Wait(10s), 0) << strsignal(signal) << ": " << timed.Err();
        CliRun again = reopen();
        EXPECT_EQ(again.status, 0) << "after " << strsignal(signal) << ": " << again.err;
    }
}

TEST(Cli, AnInterruptDuringAStallIsObeyedAtOnce) {
    PtyPair pty; // a device that takes nothing
    ChildProcess cli(SendCommand(pty.SlavePath(), Pattern(100000)));
    std::this_thread::sleep_for(1500ms); // well inside the write's 3 s of waiting
    auto start = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_NE(cli.Err().find(": interrupted while the device had taken "), std::string::npos) << cli.Err();
    EXPECT_TRUE(NativePort::Probe(pty.SlavePath())); // released
}

TEST(Cli, TextIsCheckedBeforeItIsSent) {
    auto text = [](std::vector<std::string> words, const std::string& input = "") {
        std::vector<std::string> args = {"text", "P", "--seq", "1", "--dry-run"};
        args.insert(args.end(), words.begin(), words.end());
        return Cli(args, {.input = input, .asNobody = false});
    };
    // Control characters other than line breaks are refused, by position; a NUL no longer cuts the text.
    CliRun nul = text({"-"}, std::string("a\0b", 3));
    EXPECT_EQ(nul.status, 2);
    EXPECT_EQ(nul.out, "");
    EXPECT_EQ(nul.err, "velkor-cli: the text has the control character U+0000 at character 2; only line "
                       "breaks may be in it\n");
    CliRun tab = text({"号\tb"});
    EXPECT_EQ(tab.status, 2);
    EXPECT_NE(tab.err.find("U+0009 at character 2"), std::string::npos) << tab.err;
    // Characters GBK lacks go out as "?", as the page sends them, and are named.
    CliRun foreign = text({"😀한\xEF\xBB\xBFok😀"});
    EXPECT_EQ(foreign.status, 0) << foreign.err;
    EXPECT_EQ(foreign.out, HexLine(BuildTextFrame(1, BROADCAST_ADDRESS, "???ok?")));
    EXPECT_EQ(foreign.err,
              "velkor-cli: GBK has no 😀 (U+1F600), 한 (U+D55C), \xEF\xBB\xBF (U+FEFF); sent as \"?\"\n");
    // "--" ends the options.
    CliRun dash = text({"--", "-5度"});
    EXPECT_EQ(dash.status, 0) << dash.err;
    EXPECT_EQ(dash.out, HexLine(BuildTextFrame(1, BROADCAST_ADDRESS, EncodeTextMessage(u"-5度").bytes)));
    // Standard input loses only the one line break that ends it.
    EXPECT_EQ(text({"-"}, "hi\n\n").out, HexLine(BuildTextFrame(1, BROADCAST_ADDRESS, "hi\n")));
    EXPECT_EQ(text({"-"}, "hi\r\n").out, HexLine(BuildTextFrame(1, BROADCAST_ADDRESS, "hi")));
    // ... and is read only as far as can matter.
    CliRun most = text({"-"}, std::string(4096, 'a'));
    EXPECT_EQ(most.status, 0);
    EXPECT_NE(most.err.find("only the first 84 bytes are sent"), std::string::npos) << most.err;
    CliRun tooMuch = text({"-"}, std::string(4097, 'a'));
    EXPECT_EQ(tooMuch.status, 2);
    EXPECT_NE(tooMuch.err.find("standard input holds more than 4096 bytes"), std::string::npos)
        << tooMuch.err;
}

// A machine whose console is a serial line: the console is refused unless VELKOR_PORTS names it. A
// pseudo-terminal stands in for the console in a sysfs of the test's own, mounted over the real one in a
// mount namespace of the run's own, so the machine's console is never reached.
TEST(Cli, TheSystemConsoleIsRefusedUnlessNamed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a mount namespace";
    }
    PtyPair pty;
    struct stat st {};
    ASSERT_EQ(stat(pty.SlavePath().c_str(), &st), 0);
    const std::filesystem::path sys = "/tmp/velkor-console-sysfs-" + std::to_string(getpid());
    std::filesystem::create_directories(sys / "console");
    std::filesystem::create_directories(sys / "ttyS7");
    std::ofstream(sys / "console" / "active") << "tty0 ttyS7\n";
    std::ofstream(sys / "ttyS7" / "dev") << major(st.st_rdev) << ":" << minor(st.st_rdev) << "\n";
    auto inNamespace = [&](const std::string& command) {
        return std::vector<std::string>{"/usr/bin/unshare",
                                        "--mount",
                                        "/bin/sh",
                                        "-c",
                                        "mount --bind \"$0\" /sys/class/tty && exec " + command,
                                        sys.string(),
                                        VELKOR_CLI_PATH,
                                        pty.SlavePath()};
    };
    ChildProcess probe(inNamespace("cat /sys/class/tty/console/active"));
    if (probe.Wait(10s) != 0 || probe.Out() != "tty0 ttyS7\n") {
        std::filesystem::remove_all(sys);
        GTEST_SKIP() << "no mount namespace here: " << probe.Err();
    }
    const std::vector<std::string> run = inNamespace("\"$1\" text \"$2\" --seq 1 hi");
    ChildProcess refused(run);
    EXPECT_EQ(refused.Wait(10s), 1);
    EXPECT_EQ(refused.Err(),
              "velkor-cli: cannot open " + pty.SlavePath() +
                  ": it is the system console (the machine's messages and log-in are on it); name "
                  "it in VELKOR_PORTS to use it anyway\n");
    EXPECT_TRUE(pty.Receive(1, 300ms).empty()); // nothing reached it

    setenv("VELKOR_PORTS", pty.SlavePath().c_str(), 1);
    ChildProcess named(run);
    EXPECT_EQ(named.Wait(10s), 0) << named.Err();
    unsetenv("VELKOR_PORTS");
    EXPECT_EQ(pty.Receive(11, 2s), BuildTextFrame(1, BROADCAST_ADDRESS, "hi"));
    std::filesystem::remove_all(sys);
}

TEST(Cli, WhatIsNoPortOrNoDeviceIsSaidRightly) {
    // A path that is not UTF-8 keeps the JSON line valid.
    CliRun odd = Cli({"module", "/tmp/\xFF", "reset", "--dry-run", "--json"});
    EXPECT_EQ(odd.out,
              "{\"command\":\"module reset\",\"port\":\"/tmp/\xEF\xBF\xBD\",\"sent\":\"FA 80 F2 00 6C "
              "0D\",\"dry_run\":true}\n");
    // /dev/tty without a terminal: no such device, nothing went away.
    ChildProcess noTerminal({"/usr/bin/setsid", VELKOR_CLI_PATH, "text", "/dev/tty", "--seq", "1", "hi"});
    EXPECT_EQ(noTerminal.Wait(5s), 1);
    EXPECT_EQ(noTerminal.Err(), "velkor-cli: cannot open /dev/tty: no such device\n");
}

// The help a program prints and its man page name the same options: each option --help shows is in the man
// page (whose roff writes "-" as "\\-").
TEST(Cli, EveryOptionOfTheHelpIsInTheManPage) {
    auto optionsIn = [](const std::string& text) {
        std::set<std::string> options;
        std::regex option("--[a-z][a-z-]*[a-z]");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator();
             ++it) {
            options.insert(it->str());
        }
        return options;
    };
    auto manPage = [](const char* path) {
        std::ifstream in(path);
        std::string text(std::istreambuf_iterator<char>(in), {});
        text.erase(std::remove(text.begin(), text.end(), '\\'), text.end());
        return text;
    };
    const std::string cliMan = manPage(VELKOR_CLI_MAN);
    ASSERT_FALSE(cliMan.empty());
    std::set<std::string> seen;
    for (const char* command :
         {"", "ports", "send", "text", "time", "host-address", "channel", "transmitter", "module"}) {
        std::vector<std::string> args = {VELKOR_CLI_PATH};
        if (*command != '\0') {
            args.emplace_back(command);
        }
        args.emplace_back("--help");
        ChildProcess help(args);
        ASSERT_EQ(help.Wait(5s), 0) << command;
        for (const std::string& option : optionsIn(help.Out())) {
            seen.insert(option);
            EXPECT_NE(cliMan.find(option), std::string::npos) << "velkor-cli " << command << " " << option;
        }
    }
    EXPECT_GE(seen.size(), 20U); // the help lists the options, not only prose
    const std::string simMan = manPage(VELKOR_SIM_MAN);
    ChildProcess simHelp({VELKOR_SIM_PATH, "--help"});
    ASSERT_EQ(simHelp.Wait(5s), 0);
    const std::set<std::string> simOptions = optionsIn(simHelp.Out());
    EXPECT_GE(simOptions.size(), 10U);
    for (const std::string& option : simOptions) {
        EXPECT_NE(simMan.find(option), std::string::npos) << "velkor-sim " << option;
    }
}

TEST(Cli, AWatchListGoesOutWatchByWatchAsTheBuildersMakeIt) {
    StateFolder state;
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "velkor-cli-site.csv";
    std::ofstream(file, std::ios::binary) << SiteList(50);
    CliRun check = Cli({"watches", "check", file.string()});
    EXPECT_EQ(check.status, 0) << check.err;

    // What the frames must be: each watch's, numbered on from the first.
    std::variant<WatchList, std::vector<WatchListFault>> list = LoadWatchList(file.string());
    ASSERT_TRUE(std::holds_alternative<WatchList>(list));
    uint8_t sequence = 0;
    std::vector<std::string> expected;
    for (const WatchEntry& entry : std::get<WatchList>(list).entries) {
        for (const WatchFrame& frame : EntryFrames(entry, [&] { return ++sequence; })) {
            std::string hex = HexLine(frame.bytes);
            hex.pop_back(); // its line break
            expected.push_back(hex);
        }
    }
    ASSERT_GT(expected.size(), 80U);
    EXPECT_EQ(check.out, file.string() + ": 50 watches, " + std::to_string(expected.size()) + " frames\n");

    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    CliRun run = Cli({"watches", "apply", sim.Link(), file.string(), "--gap", "0", "--time", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const std::string& bytes : expected) {
        const std::string line = sim.WaitForLine("\"dir\":\"in\"", 3s);
        EXPECT_NE(line.find("\"bytes\":\"" + bytes + "\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"valid\":true"), std::string::npos) << line;
    }
    EXPECT_NE(sim.WaitForLine("\"dir\":\"in\"", 3s).find("\"command\":\"set_time\""), std::string::npos);
    EXPECT_NE(run.out.find(R"({"watch":"床 1","address":"0.0.0.1","line":2,"row":1,"command":"channel")"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), static_cast<long>(expected.size()) + 1);

    // The gap between frames: three frames, 300 ms apart.
    std::ofstream(file, std::ios::binary)
        << "name,address,host1,host2\nw,0.0.0.1,1.1.1.1,2.2.2.2\nv,0.0.0.2,,3.3.3.3\n";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Cli({"watches", "apply", sim.Link(), file.string(), "--gap", "300"}).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    std::filesystem::remove(file);
}

// The gateway's duty rosters checked as the gateway reads them: who is on duty, or each fault where it is.
TEST(Cli, RostersAreCheckedWithEachFaultWhereItIs) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "velkor-cli-rosters";
    std::ofstream(file, std::ios::binary)
        << "desk daily 00:00-24:00 front-desk\nward weekdays 25:00-07:00 x\n";
    CliRun bad = Cli({"rosters", "check", file.string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err,
              file.string() + ":2:15: \"25:00-07:00\" is not a shift's hours: HH:MM-HH:MM, as 07:00-19:00\n");
    std::ofstream(file, std::ios::binary) << "desk daily 00:00-24:00 front-desk\n";
    CliRun good = Cli({"rosters", "check", file.string()});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out, "desk: front-desk now\n") << "a roster on duty all day has no next change";
    EXPECT_EQ(Cli({"rosters", "apply", file.string()}).status, 2);
    std::filesystem::remove(file);
}

TEST(Cli, ABadWatchListSendsNothingAndAStallSaysHowFarItGot) {
    StateFolder state;
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "velkor-cli-bad.csv";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"name,address\nbed,0.0.0.1\nbed,0.0.0.2\n", ":3: name: \"bed\" is the name of line 2 too"},
        {"name,address,host11\nbed,0.0.0.1,1.2.3.4\n", ":1: host11: a watch has ten address slots"},
        {std::string("\x89PNG\r\n\x1A\n\0\0", 10), ": not UTF-8 text"},
        {"name,address,freq,net\nbed,0.0.0.1,434,\n", ":2: net: freq and net go together"},
    };
    PtyPair pty;
    for (const auto& [text, fault] : bad) {
        std::ofstream(file, std::ios::binary) << text;
        CliRun run = Cli({"watches", "apply", pty.SlavePath(), file.string(), "--gap", "0"});
        EXPECT_EQ(run.status, 2) << text;
        EXPECT_EQ(run.err.find(file.string() + fault), 0U) << run.err;
        EXPECT_TRUE(pty.Receive(1, 200ms).empty()) << "sent something for a bad list";
    }

    // Numbers that cannot be kept: said once (not once per frame of the watch), nothing sent.
    std::ofstream(file, std::ios::binary) << "name,address,host1,host2\nw,0.0.0.1,1.1.1.1,2.2.2.2\n";
    const std::string kept = std::getenv("XDG_STATE_HOME");
    setenv("XDG_STATE_HOME", "/proc/velkor-cannot-be-made", 1);
    setenv("VELKOR_SEQUENCE_DIR", (std::string("/proc/velkor-cannot-be-made") + "/velkor").c_str(), 1);
    CliRun unkept = Cli({"watches", "apply", pty.SlavePath(), file.string(), "--gap", "0"});
    setenv("XDG_STATE_HOME", kept.c_str(), 1);
    setenv("VELKOR_SEQUENCE_DIR", (std::string(kept.c_str()) + "/velkor").c_str(), 1);
    EXPECT_EQ(unkept.status, 1);
    EXPECT_EQ(std::count(unkept.err.begin(), unkept.err.end(), '\n'), 1) << unkept.err;
    EXPECT_NE(unkept.err.find("cannot keep the sequence number"), std::string::npos) << unkept.err;
    EXPECT_NE(unkept.err.find("cannot make the state folder /proc/velkor-cannot-be-made/velkor: "),
              std::string::npos)
        << "the folder named, and the reason it cannot be made: " << unkept.err;
    EXPECT_TRUE(pty.Receive(1, 200ms).empty());
    if (geteuid() == 0) {
        // A folder the user may not make one in: permission denied, not "no such file".
        ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
        ChildProcess denied({"/usr/bin/env", "VELKOR_SEQUENCE_DIR=/root/velkor-cli-test/velkor",
                             VELKOR_CLI_PATH, "text", pty.SlavePath(), "hi"},
                            {.input = "", .asNobody = true});
        const int status = denied.Wait(20s);
        if (status != 126 && status != 127) {
            EXPECT_EQ(status, 1);
            EXPECT_NE(denied.Err().find(
                          "cannot make the state folder /root/velkor-cli-test/velkor: Permission denied"),
                      std::string::npos)
                << denied.Err();
        }
    }

    // A device that stops taking bytes after three frames: exit 1, with the watch the run stopped at.
    SimProcess sim({"--stall-after", "3"});
    ASSERT_TRUE(sim.Ready());
    std::ofstream(file, std::ios::binary) << SiteList(6);
    CliRun run = Cli({"watches", "apply", sim.Link(), file.string(), "--gap", "0"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("watch 床 "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not written"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("the watches before it are done"), std::string::npos) << run.err;
    std::filesystem::remove(file);
}

} // namespace
} // namespace velkor
