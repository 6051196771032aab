// velkor-sim driven as the tool drives it: through the serial engine on its link.

#include "frames/hex.h"
#include "support/recording_serial.h"
#include "support/sim_process.h"

#include "support/pty_pair.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Sends `request` and returns what came back within `wait`.
std::string Exchange(RecordingSerial& serial, const char* request, std::size_t expected,
                     std::chrono::milliseconds wait = 2s) {
    serial.Forget();
    EXPECT_TRUE(serial.Send(Hex(request)));
    return ToHex(serial.WaitFor(expected, wait));
}

bool LinkExists(const std::string& link) {
    struct stat st {};
    return lstat(link.c_str(), &st) == 0;
}

std::string LinkTarget(const std::string& link) {
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

TEST(Simulator, AnswersEveryModuleCommandAndRemembersWhatWasWritten) {
    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);

    EXPECT_EQ(Exchange(serial, "FA 80 F4 00 6E 0D", 13), "FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D");
    EXPECT_NE(sim.WaitForLine("\"dir\":\"out\"", 2s).find("\"valid\":true"), std::string::npos);
    EXPECT_EQ(Exchange(serial, "FA 80 F3 07 6C 7A F3 04 05 2C 00 82 0D", 6), "FA 80 F3 00 6D 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 F4 00 6E 0D", 13), "FA 80 F4 07 6C 7A F3 04 05 2C 00 83 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 FB 04 05 F5 E0 FF 52 0D", 6), "FA 80 FB 00 75 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 EE 00 68 0D", 10), "FA 80 EE 04 05 F5 E0 FF 45 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 FC 07 11 03 05 0E 1E 0F 00 D1 0D", 6), "FA 80 FC 00 76 0D");
    std::string clock = Exchange(serial, "FA 80 FD 00 77 0D", 13);
    // The clock set a moment ago; its second may have ticked on since.
    EXPECT_EQ(clock.substr(0, 27), "FA 80 FD 07 11 03 05 0E 1E ");
    EXPECT_TRUE(clock.substr(27, 3) == "0F " || clock.substr(27, 3) == "10 ") << clock;
    // Watch commands and the transmitter frame get no answer, but are decoded as valid.
    EXPECT_EQ(Exchange(serial, "5A 01 FF FF FF FF E0 03 61 62 63 60", 1, 300ms), "");
    std::string text = sim.WaitForLine("\"command\":\"text\"", 2s);
    EXPECT_NE(text.find("\"valid\":true"), std::string::npos) << text;
    EXPECT_NE(text.find("\"text\":\"abc\""), std::string::npos) << text;
    // A broken module frame is reported invalid and not answered.
    EXPECT_EQ(Exchange(serial, "FA 80 F4 00 6F 0D", 1, 300ms), "");
    std::string invalid = sim.WaitForLine("\"valid\":false", 2s);
    EXPECT_NE(invalid.find("checksum 6F, expected 6E"), std::string::npos) << invalid;
}

TEST(Simulator, FaultOptions) {
    {
        SimProcess sim({"--no-answer"});
        RecordingSerial serial;
        ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        EXPECT_EQ(Exchange(serial, "FA 80 F4 00 6E 0D", 1, 500ms), "");
    }
    {
        SimProcess sim({"--bad-checksum"});
        RecordingSerial serial;
        ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6D 0D");
    }
    {
        SimProcess sim({"--split-answer", "600"});
        RecordingSerial serial;
        ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        serial.Forget();
        ASSERT_TRUE(serial.Send(Hex("FA 80 F4 00 6E 0D")));
        EXPECT_EQ(serial.WaitFor(6, 1s).size(), 6U); // the first half, then a pause
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(serial.Count(), 6U);
        EXPECT_EQ(ToHex(serial.WaitFor(13, 2s)), "FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D");
    }
    {
        SimProcess sim({"--garbage"});
        RecordingSerial serial;
        ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        serial.Forget();
        ASSERT_TRUE(serial.Send(Hex("FA 80 F2 00 6C 0D")));
        std::vector<uint8_t> got = serial.WaitFor(12, 3s);
        ASSERT_EQ(got.size(), 12U);
        EXPECT_NE(got[0], 0xFA);
        EXPECT_EQ(ToHex({got.begin() + 6, got.end()}), "FA 80 F2 00 6C 0D");
    }
    {
        SimProcess sim({"--answer-delay", "700"});
        RecordingSerial serial;
        ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
        serial.Forget();
        ASSERT_TRUE(serial.Send(Hex("FA 80 F2 00 6C 0D")));
        EXPECT_EQ(serial.WaitFor(6, 400ms).size(), 0U);
        EXPECT_EQ(serial.WaitFor(6, 2s).size(), 6U);
    }
}

TEST(Simulator, StormThenAnswer) {
    SimProcess sim({"--storm", "1"});
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(sim.Link(), 115200, velkor::Parity::None), 1);
    ASSERT_TRUE(serial.Send(Hex("FA 80 F2 00 6C 0D")));
    EXPECT_FALSE(sim.WaitForLine("\"event\":\"storm-end\"", 5s).empty());
    std::this_thread::sleep_for(800ms);
    std::vector<uint8_t> got = serial.WaitFor(1, 1s);
    ASSERT_GT(got.size(), 1000U);
    EXPECT_EQ(ToHex({got.end() - 6, got.end()}), "FA 80 F2 00 6C 0D");
    for (std::size_t i = 0; i + 6 < got.size(); ++i) {
        ASSERT_TRUE(got[i] != 0x0D && got[i] != 0xFA) << i;
    }
}

TEST(Simulator, StallAfterNFramesStopsTakingBytes) {
    SimProcess sim({"--stall-after", "1"});
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    EXPECT_FALSE(sim.WaitForLine("\"event\":\"stall\"", 2s).empty());
    std::vector<uint8_t> frame = Hex("5A 01 FF FF FF FF E0 03 61 62 63 60");
    auto start = std::chrono::steady_clock::now();
    int result = 1;
    for (int i = 0; i < 2000 && result == 1; ++i) { // fills what the line can queue, then gives up
        result = serial.Write(frame.data(), static_cast<uint32_t>(frame.size()));
    }
    EXPECT_EQ(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_TRUE(serial.IsOpen()); // stalled, not lost
}

TEST(Simulator, HangUpAfterNFramesLooksLikeAPulledAdapter) {
    SimProcess sim({"--hangup-after", "2"});
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D"); // answered, then the line dies
    EXPECT_FALSE(sim.WaitForLine("\"event\":\"hangup\"", 2s).empty());
    for (int i = 0; i < 100 && serial.IsOpen(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(serial.IsOpen());
    EXPECT_TRUE(serial.TakeDeviceLost());
    EXPECT_EQ(sim.WaitExit(2s), 0);
    EXPECT_FALSE(LinkExists(sim.Link()));
}

TEST(Simulator, LinkLifecycle) {
    std::string link;
    {
        SimProcess sim;
        ASSERT_TRUE(sim.Ready());
        link = sim.Link();
        EXPECT_TRUE(LinkExists(link));
        EXPECT_EQ(sim.Stop(), 0);
        EXPECT_FALSE(LinkExists(link)); // removed on SIGTERM
    }
    // A taken path or a missing directory fails with a message, not a half-made link.
    std::string taken = "/tmp/velkor-test-taken-" + std::to_string(getpid());
    FILE* file = std::fopen(taken.c_str(), "w");
    std::fclose(file);
    SimProcess onTaken({"--link", taken});
    EXPECT_FALSE(onTaken.Ready());
    EXPECT_EQ(onTaken.WaitExit(2s), 1);
    std::remove(taken.c_str());
    SimProcess noDirectory({"--link", "/nonexistent-dir/velkor-sim"});
    EXPECT_EQ(noDirectory.WaitExit(2s), 1);
    // A dangling link left by a killed simulator is replaced.
    std::string stale = "/tmp/velkor-test-stale-" + std::to_string(getpid());
    ASSERT_EQ(symlink("/dev/pts/velkor-gone", stale.c_str()), 0);
    SimProcess onStale({"--link", stale});
    EXPECT_TRUE(onStale.Ready());
    onStale.Stop();
    EXPECT_FALSE(LinkExists(stale));
}

TEST(Simulator, ARestartAfterAKillTakesTheLinkBackButNeverARunningOnes) {
    const std::string link = "/tmp/velkor-test-restart-" + std::to_string(getpid());
    {
        SimProcess killed({"--link", link});
        ASSERT_TRUE(killed.Ready());
        killed.Signal(SIGKILL);
        killed.WaitExit(2s);
    }
    ASSERT_TRUE(LinkExists(link)); // SIGKILL leaves it; the next start usually gets the same pty number
    SimProcess restarted({"--link", link});
    ASSERT_TRUE(restarted.Ready());
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(link, 9600, velkor::Parity::None), 1);
    EXPECT_EQ(Exchange(serial, "FA 80 F2 00 6C 0D", 6), "FA 80 F2 00 6C 0D");
    serial.Close();

    // While that one runs, its link is not taken over.
    SimProcess second({"--link", link});
    EXPECT_FALSE(second.Ready());
    EXPECT_EQ(second.WaitExit(2s), 1);
    EXPECT_EQ(restarted.Stop(), 0);
    EXPECT_FALSE(LinkExists(link));

    // A link to a pseudo-terminal that some other program holds (here: this test) is a stale one.
    PtyPair other;
    ASSERT_EQ(symlink(other.SlavePath().c_str(), link.c_str()), 0);
    SimProcess overOther({"--link", link});
    EXPECT_TRUE(overOther.Ready());
    EXPECT_NE(LinkTarget(link), other.SlavePath());
    overOther.Stop();
    EXPECT_FALSE(LinkExists(link));
}

TEST(Simulator, EndsCleanlyOnHangUpSignalAndWhenItsReaderGoes) {
    {
        SimProcess sim;
        ASSERT_TRUE(sim.Ready());
        sim.Signal(SIGHUP);
        EXPECT_EQ(sim.WaitExit(2s), 0);
        EXPECT_FALSE(LinkExists(sim.Link()));
    }
    for (bool traffic : {false, true}) {
        SimProcess sim; // `velkor-sim --json | head -1`
        ASSERT_TRUE(sim.Ready());
        sim.CloseOutput();
        if (traffic) {
            RecordingSerial serial;
            if (serial.Open(sim.Link(), 9600, velkor::Parity::None) == 1) {
                serial.Send(Hex("FA 80 F2 00 6C 0D"));
            }
        }
        EXPECT_EQ(sim.WaitExit(2s), 0) << (traffic ? "with" : "without") << " traffic";
        EXPECT_FALSE(LinkExists(sim.Link()));
    }
}

TEST(Simulator, ReportsUnknownBytesAfterTheSilenceAndKeepsItsLinesValid) {
    SimProcess sim;
    ASSERT_TRUE(sim.Ready());
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(sim.Link(), 9600, velkor::Parity::None), 1);
    ASSERT_TRUE(serial.Send(Hex("01 02 03")));
    std::string unknown = sim.WaitForLine("\"format\":\"unknown\"", 1s);
    EXPECT_NE(unknown.find("01 02 03"), std::string::npos) << unknown;

    // A link path that is not UTF-8 still gives a valid JSON ready line.
    const std::string link = "/tmp/velkor-test-\xff\xc3(-" + std::to_string(getpid());
    SimProcess odd({"--link", link});
    ASSERT_TRUE(odd.Ready());
    EXPECT_TRUE(LinkExists(link));
    const std::string& ready = odd.ReadyLine();
    const nlohmann::json parsed = nlohmann::json::parse(ready); // throws for a line that is no JSON
    EXPECT_EQ(parsed["link"].get<std::string>().rfind("/tmp/velkor-test-\uFFFD\uFFFD(-", 0), 0U) << ready;
}

} // namespace
