// velkor-cli's strict argument reading and its stored sequence numbers.

#include "cli/cli_args.h"
#include "serial/sequence_store.h"

#include "support/child_process.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <unistd.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#endif

namespace velkor::cli {
using namespace std::chrono_literals;

namespace {

TEST(CliArgs, NumbersAndAddressesAreWholeAndInRange) {
    EXPECT_EQ(ParseUnsigned("12345", 0, 20000), 12345U);
    EXPECT_EQ(ParseUnsigned("007", 0, 10), 7U);
    for (const char* bad :
         {"", "-1", "+1", " 1", "1 ", "1e3", "0x10", "9600abc", "4294967296", "99999999999"}) {
        EXPECT_FALSE(ParseUnsigned(bad, 0, 4294967295U)) << bad;
    }
    EXPECT_FALSE(ParseUnsigned("11", 1, 10));
    EXPECT_FALSE(ParseUnsigned("0", 1, 10));

    EXPECT_EQ(ParseAddress("192.168.0.255"), (WatchAddress{192, 168, 0, 255}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.", "a.b.c.d", "1.2.3.-4",
                            "0001.2.3.4", " 1.2.3.4"}) {
        EXPECT_FALSE(ParseAddress(bad)) << bad;
    }

    EXPECT_EQ(ParseHexBytes({"FA 80", "f4"}), (std::vector<uint8_t>{0xFA, 0x80, 0xF4}));
    for (std::vector<std::string> bad :
         std::vector<std::vector<std::string>>{{"-1"}, {"+F"}, {" F"}, {"F"}, {""}, {"GG"}, {"FA", "8"}}) {
        EXPECT_FALSE(ParseHexBytes(bad)) << bad[0];
    }

    EXPECT_EQ(ParseMegahertz("434"), 434.0);
    EXPECT_EQ(ParseMegahertz("434.5"), 434.5);
    EXPECT_EQ(ParseMegahertz("1023.99"), 1023.99);
    for (const char* bad : {"", "1024", "434.001", "-1", "4e2", "434.", ".5", "434,00", "１２"}) {
        EXPECT_FALSE(ParseMegahertz(bad)) << bad;
    }
}

TEST(CliArgs, ClockAndChoices) {
    const struct {
        const char* text;
        int weekday; // Monday 0
    } clocks[] = {{"2026-12-07 08:00:00", 0},
                  {"2030-02-27 13:45:30", 2},
                  {"2000-02-29 23:59:59", 1},
                  {"2099-12-31 00:00:00", 3}};
    for (const auto& c : clocks) {
        std::optional<ClockTime> clock = ParseClockTime(c.text);
        ASSERT_TRUE(clock) << c.text;
        EXPECT_EQ(clock->weekdayMondayFirst, c.weekday) << c.text;
    }
    for (const char* bad :
         {"2001-02-29 00:00:00", "2026-13-01 00:00:00", "2026-04-31 00:00:00", "2026-01-01 24:00:00",
          "1999-12-31 23:59:59", "2026-1-01 00:00:00", "2026-01-01T00:00:00", "2026-01-01 00:00"}) {
        EXPECT_FALSE(ParseClockTime(bad)) << bad;
    }

    EXPECT_EQ(ParseChoice("Level7", {"Level1", "Level7"}), 1);
    EXPECT_FALSE(ParseChoice("level7", {"Level1", "Level7"}));
}

TEST(CliSequence, ContinuesAcrossRunsWrapsAndNeverRepeatsUnderConcurrency) {
    const auto folder = std::filesystem::temp_directory_path() / ("velkor-state-" + std::to_string(getpid()));
    setenv("XDG_STATE_HOME", folder.c_str(), 1);
    setenv("VELKOR_SEQUENCE_DIR", (std::string(folder.c_str()) + "/velkor").c_str(), 1);
    std::string error;
    std::string warning;
    EXPECT_EQ(PeekSequence("/dev/ttyUSB0"), 1);
    EXPECT_EQ(TakeSequence("/dev/ttyUSB0", &error, &warning), 1) << error;
    EXPECT_EQ(TakeSequence("/dev/ttyUSB0", &error, &warning), 2);
    EXPECT_EQ(PeekSequence("/dev/ttyUSB0"), 3);
    EXPECT_EQ(TakeSequence("/tmp/other", &error, &warning), 1); // each port its own
    EXPECT_EQ(SequenceFile("/dev/ttyUSB0"), (folder / "velkor" / "sequence-_dev_ttyUSB0").string());

    std::ofstream(SequenceFile("/dev/ttyUSB0")) << "255\n";
    EXPECT_EQ(TakeSequence("/dev/ttyUSB0", &error, &warning), 0); // wraps as a page's counter
    EXPECT_EQ(warning, "");
    // What holds no number starts again at 1, and says so.
    for (const char* stored : {"garbage", "999\n", "-1\n", ""}) {
        std::ofstream(SequenceFile("/dev/ttyUSB0")) << stored;
        warning.clear();
        EXPECT_EQ(TakeSequence("/dev/ttyUSB0", &error, &warning), 1) << stored;
        EXPECT_NE(warning.find("holds no sequence number"), std::string::npos) << stored << ": " << warning;
    }

    // Four writers at once, each opening the file for itself as another process would.
    std::vector<std::thread> writers;
    std::vector<std::vector<int>> taken(4);
    for (auto& numbers : taken) {
        writers.emplace_back([&numbers] {
            std::string ignored;
            for (int i = 0; i < 50; ++i) {
                numbers.push_back(TakeSequence("/dev/shared", &ignored, &ignored).value_or(-1));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    std::set<int> distinct;
    for (const auto& numbers : taken) {
        distinct.insert(numbers.begin(), numbers.end());
    }
    EXPECT_EQ(distinct.size(), 200U);
    EXPECT_EQ(*distinct.begin(), 1);
    EXPECT_EQ(*distinct.rbegin(), 200);

    unsetenv("XDG_STATE_HOME");
    unsetenv("VELKOR_SEQUENCE_DIR");
    setenv("HOME", folder.c_str(), 1);
    // The machine's shared folder where the packages made it, else the user's own.
    EXPECT_EQ(SequenceFile("x"), std::filesystem::is_directory(SHARED_SEQUENCE_FOLDER)
                                     ? std::string(SHARED_SEQUENCE_FOLDER) + "/sequence-x"
                                     : (folder / ".local" / "state" / "velkor" / "sequence-x").string());
    std::filesystem::remove_all(folder);
}

TEST(CliSequence, OneCounterPerDeviceWhateverItsNameAndNoLinkIsFollowed) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("velkor-state-dev-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    setenv("XDG_STATE_HOME", folder.c_str(), 1);
    setenv("VELKOR_SEQUENCE_DIR", (std::string(folder.c_str()) + "/velkor").c_str(), 1);
    PtyPair pty;
    const std::string link = (folder / "adapter").string();
    std::filesystem::create_symlink(pty.SlavePath(), link);
    std::filesystem::current_path("/dev");
    const std::string relative = std::filesystem::relative(pty.SlavePath(), "/dev").string();
    std::string error;
    std::string warning;
    EXPECT_EQ(TakeSequence(pty.SlavePath(), &error, &warning), 1) << error;
    EXPECT_EQ(TakeSequence(link, &error, &warning), 2);
    EXPECT_EQ(TakeSequence(relative, &error, &warning), 3) << relative;
    EXPECT_EQ(PeekSequence(link), 4);
    EXPECT_EQ(SequenceFile(link), SequenceFile(pty.SlavePath()));

    // A counter kept under the device's name by an earlier version goes on.
    EXPECT_EQ(TakeSequence("/dev/velkor-gone", &error, &warning), 1);
    std::ofstream(NameKeyedSequenceFile(link)) << "41\n";
    std::filesystem::remove(SequenceFile(link));
    EXPECT_EQ(TakeSequence(link, &error, &warning), 42);

    // A link planted where the device's file is kept: replaced, its target untouched.
    const auto target = folder / "precious";
    std::ofstream(target) << "keep me";
    std::filesystem::remove(SequenceFile(link));
    std::filesystem::create_symlink(target, SequenceFile(link));
    warning.clear();
    EXPECT_EQ(TakeSequence(link, &error, &warning), 1);
    EXPECT_NE(warning.find("not a plain file"), std::string::npos) << warning;
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(SequenceFile(link)));
    warning.clear();
    EXPECT_EQ(TakeSequence(link, &error, &warning), 2);
    EXPECT_EQ(warning, "");

    std::filesystem::current_path("/");
    unsetenv("XDG_STATE_HOME");
    unsetenv("VELKOR_SEQUENCE_DIR");
    std::filesystem::remove_all(folder);
}

} // namespace
// The counter's order across 255 -> 0, and a caller that keeps its own count (the gateway's queue) going on
// from the later of its own and the file's.
TEST(CliSequence, GoesOnFromTheLaterOfTheFilesAndTheCallersOwnLastNumber) {
    EXPECT_EQ(LaterSequence(1, 41), 41);
    EXPECT_EQ(LaterSequence(41, 1), 41);
    EXPECT_EQ(LaterSequence(250, 3), 3); // 3 comes after 250 in a page counter
    EXPECT_EQ(LaterSequence(3, 250), 3);
    EXPECT_EQ(LaterSequence(7, 7), 7);
    EXPECT_EQ(ContinueFrom(std::nullopt, 9), 9);
    EXPECT_EQ(ContinueFrom(12, std::nullopt), 12);
    EXPECT_EQ(ContinueFrom(std::nullopt, std::nullopt), 0);

    const auto folder =
        std::filesystem::temp_directory_path() / ("velkor-state-own-" + std::to_string(getpid()));
    setenv("VELKOR_SEQUENCE_DIR", folder.c_str(), 1);
    std::string error;
    std::string warning;
    const SequenceTake queue{SEQUENCE_LOCK_WAIT, 30};
    EXPECT_EQ(TakeSequence("/dev/own", &error, &warning, queue), 31) << error; // no file yet
    std::ofstream(SequenceFile("/dev/own")) << "60\n";                         // velkor-cli went ahead
    EXPECT_EQ(TakeSequence("/dev/own", &error, &warning, queue), 61);
    std::ofstream(SequenceFile("/dev/own")) << "5\n"; // a file put back from an old copy
    EXPECT_EQ(TakeSequence("/dev/own", &error, &warning, SequenceTake{SEQUENCE_LOCK_WAIT, 61}), 62);
    std::ofstream(SequenceFile("/dev/own")) << "damaged";
    warning.clear();
    EXPECT_EQ(TakeSequence("/dev/own", &error, &warning, SequenceTake{SEQUENCE_LOCK_WAIT, 62}), 63);
    EXPECT_NE(warning.find("the count goes on after 62"), std::string::npos) << warning;
    unsetenv("VELKOR_SEQUENCE_DIR");
    std::filesystem::remove_all(folder);
}

#ifndef _WIN32
// Another process that holds the folder's lock (a velkor-cli stopped with Ctrl-Z) costs a taker the wait
// it asked for, and then the reason with that process's PID; once it lets go, the number is taken.
TEST(CliSequence, ALockHeldByAnotherProcessIsWaitedForABoundedTime) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("velkor-state-lock-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    setenv("VELKOR_SEQUENCE_DIR", folder.c_str(), 1);
    // flock(1) holds the lock itself (-o: not its child) until it ends.
    ChildProcess holder({"/usr/bin/flock", "-o", folder.string(), "/bin/sleep", "3"});
    const auto held = [&folder] { // by flock(1): this process's own try fails
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return locked;
    };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline && !held()) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(held());
    std::string error;
    std::string warning;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TakeSequence("/dev/held", &error, &warning, SequenceTake{250ms, std::nullopt}));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 1500ms);
    EXPECT_NE(error.find("locked by another program (PID " + std::to_string(holder.Pid()) + ")"),
              std::string::npos)
        << error;
    EXPECT_EQ(holder.Wait(10s), 0);
    EXPECT_EQ(TakeSequence("/dev/held", &error, &warning, SequenceTake{250ms, std::nullopt}), 1) << error;
    unsetenv("VELKOR_SEQUENCE_DIR");
    std::filesystem::remove_all(folder);
}
#endif

} // namespace velkor::cli
