// velkor-cli run as a script runs it, against a pseudo-terminal played by the test.

#include "support/child_process.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> Pattern(std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13 + i / 251);
    }
    return bytes;
}

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

} // namespace
