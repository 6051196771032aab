#include "support/pty_pair.h"
#include "support/recording_serial.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using namespace std::chrono_literals;

TEST(SerialEngine, OpensAPtyWithEveryParityAndBaudRate) {
    PtyPair pty;
    RecordingSerial serial;
    for (Parity parity : {Parity::None, Parity::Odd, Parity::Even}) {
        for (int baud : {1200, 9600, 115200}) {
            ASSERT_EQ(serial.Open(pty.SlavePath(), baud, parity), 1)
                << baud << " parity " << ParityName(parity);
            EXPECT_TRUE(serial.IsOpen());
            // The master reports the slave's line settings.
            termios t{};
            ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);
            EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
            EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | HUPCL), 0U);
            EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0U);
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0U);
            EXPECT_EQ(serial.Close(), 1);
            EXPECT_FALSE(serial.IsOpen());
        }
    }
    EXPECT_EQ(serial.Open(pty.SlavePath(), 300, Parity::None), 0);
    EXPECT_FALSE(serial.IsOpen());
    EXPECT_EQ(serial.Open("/dev/velkor-no-such-port", 9600, Parity::None), 0);
    EXPECT_EQ(serial.Open("/dev/null", 9600, Parity::None), 0); // not a tty
}

// An alarm panel's 7-bit line on a pseudo-terminal (which keeps 8 data bits and no parity whatever is
// asked): opened again and again, never refused.
TEST(SerialEngine, OpensAPtyAsASevenBitLineAsOftenAsAsked) {
    PtyPair pty;
    RecordingSerial serial;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::Even, 7), 1) << i;
        EXPECT_EQ(serial.Close(), 1);
    }
    EXPECT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None, 9), 0);
    EXPECT_EQ(serial.LastFailure().error, PortError::Unsupported);
}

TEST(SerialEngine, ExclusiveOpenAndProbe) {
    PtyPair pty;
    RecordingSerial first;
    RecordingSerial second;
    EXPECT_EQ(first.ProbePort(pty.SlavePath()), 1);
    ASSERT_EQ(first.Open(pty.SlavePath(), 9600, Parity::None), 1);
    EXPECT_EQ(first.ProbePort(pty.SlavePath()), 0);
    EXPECT_EQ(second.ProbePort(pty.SlavePath()), 0);
    EXPECT_EQ(second.Open(pty.SlavePath(), 9600, Parity::None), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(first.IsOpen()); // the failed second open did not disturb the first

    // Opening another port releases the first one, and a failed open leaves nothing open.
    PtyPair other;
    ASSERT_EQ(first.Open(other.SlavePath(), 9600, Parity::None), 1);
    EXPECT_EQ(second.ProbePort(pty.SlavePath()), 1);
    EXPECT_EQ(first.Open("/dev/velkor-no-such-port", 9600, Parity::None), 0);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(second.ProbePort(other.SlavePath()), 1);
}

// Is the tty's exclusive flag set? Asked through a descriptor of our own.
bool ExclusiveFlag(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = -1;
    if (fd >= 0) {
        ioctl(fd, TIOCGEXCL, &exclusive);
        ::close(fd);
    }
    return exclusive != 0;
}

TEST(SerialEngine, ClosingAndProbingLeaveNoExclusiveFlagBehind) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.ProbePort(pty.SlavePath()), 1);
    EXPECT_FALSE(ExclusiveFlag(pty.SlavePath()));
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None), 1);
    // Not even while open: on a pseudo-terminal the flag would outlive a holder killed with SIGKILL and
    // lock every later opener but root out. The flock guards it, and dies with its holder.
    EXPECT_FALSE(ExclusiveFlag(pty.SlavePath()));
    RecordingSerial second;
    EXPECT_EQ(second.Open(pty.SlavePath(), 9600, Parity::None), 0);
    EXPECT_EQ(second.LastFailure().error, PortError::Busy);
    serial.Close();
    EXPECT_FALSE(ExclusiveFlag(pty.SlavePath()));
    // A refused open (the line setting) and a failed probe leave it as they found it.
    EXPECT_EQ(serial.Open(pty.SlavePath(), 300, Parity::None), 0);
    EXPECT_FALSE(ExclusiveFlag(pty.SlavePath()));

    // A program that holds the port with the flag alone (no flock) keeps it, even against root, and keeps
    // its flag.
    int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    EXPECT_EQ(serial.ProbePort(pty.SlavePath()), 0);
    EXPECT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None), 0);
    int exclusive = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ioctl(other, TIOCNXCL);
    ::close(other);
    EXPECT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None), 1);
}

// Runs `check` in a child process as the unprivileged user nobody (65534), with no groups; returns what it
// reports ("" when all went well). Root passes the tty's exclusive flag, which hides faults that only an
// ordinary user meets.
std::string RunAsNobody(const std::function<std::string()>& check) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "no pipe";
    }
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            report = "cannot become nobody";
        } else {
            report = check();
        }
        ssize_t ignored = ::write(fds[1], report.data(), report.size());
        (void)ignored;
        _exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report += " (the child did not end normally)";
    }
    return report;
}

TEST(SerialEngine, AnOrdinaryUserReopensAPortAsOftenAsItLikes) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user; as an ordinary user the other tests cover it";
    }
    std::string report = RunAsNobody([] {
        std::string failures;
        auto expect = [&](bool ok, const char* what) {
            if (!ok) {
                failures += std::string(what) + "; ";
            }
        };
        PtyPair pty; // made by nobody, so nobody may open its slave
        RecordingSerial serial;
        for (int round = 0; round < 3; ++round) {
            expect(serial.ProbePort(pty.SlavePath()) == 1, "probe before open");
            expect(serial.Open(pty.SlavePath(), 9600, Parity::None) == 1, "open");
            expect(serial.Send({0x5A, static_cast<uint8_t>(round)}), "write");
            expect(pty.Receive(2, 2s).size() == 2, "bytes on the line");
            // Held: a second engine is refused.
            RecordingSerial second;
            expect(second.Open(pty.SlavePath(), 9600, Parity::None) == 0, "second engine refused");
            serial.Close();
            int after = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            expect(after >= 0, "plain open after close");
            if (after >= 0) {
                ::close(after);
            }
        }
        // A holder killed with SIGKILL (a service manager's last resort) leaves nothing that locks the
        // port: on a pseudo-terminal its tty, and so an exclusive flag, would outlive it.
        int ready[2];
        expect(pipe(ready) == 0, "pipe");
        const pid_t holder = fork();
        if (holder == 0) {
            RecordingSerial killed;
            const char opened = killed.Open(pty.SlavePath(), 9600, Parity::None) == 1 ? 'y' : 'n';
            ssize_t ignored = ::write(ready[1], &opened, 1);
            (void)ignored;
            pause();
            _exit(0);
        }
        char opened = 'n';
        expect(::read(ready[0], &opened, 1) == 1 && opened == 'y', "the holder opened the port");
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        expect(serial.Open(pty.SlavePath(), 9600, Parity::None) == 1, "open after the holder was killed");
        serial.Close();
        return failures;
    });
    EXPECT_EQ(report, "");
}

TEST(SerialEngine, BurstsArriveWholeAndInOrder) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 115200, Parity::None), 1);
    std::vector<uint8_t> incoming = Pattern(3000);
    pty.Send(incoming);
    EXPECT_EQ(serial.WaitFor(3000, 5s), incoming);

    std::vector<uint8_t> outgoing = Pattern(2500);
    EXPECT_EQ(serial.Write(outgoing.data(), 2500), 1);
    EXPECT_EQ(pty.Receive(2500, 5s), outgoing);
    EXPECT_EQ(serial.Write(outgoing.data(), 0), 1);
}

TEST(SerialEngine, ClosedPortWritesNothing) {
    RecordingSerial serial;
    uint8_t byte = 0x5A;
    EXPECT_EQ(serial.Write(&byte, 1), 0);
    PtyPair pty;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None), 1);
    serial.Close();
    EXPECT_EQ(serial.Write(&byte, 1), 0);
    EXPECT_TRUE(pty.Receive(1, 100ms).empty());
}

TEST(SerialEngine, StalledWriteGivesUpAndTheEngineStaysUsable) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, Parity::None), 1);
    // Suspend the line's output, as a device that stops taking bytes does (root may open the tty again).
    int tty = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(tty, 0);
    ASSERT_EQ(tcflow(tty, TCOOFF), 0);
    std::vector<uint8_t> big = Pattern(256 * 1024);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Write(big.data(), static_cast<uint32_t>(big.size())), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 8s);
    EXPECT_GE(took, 2s); // three one-second waits, not an immediate give-up
    // While the line stays stalled, later sends give up at once instead of waiting again.
    std::vector<uint8_t> small = {1, 2, 3};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Write(small.data(), 3), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    ASSERT_EQ(tcflow(tty, TCOON), 0);
    ::close(tty);
    pty.Receive(big.size(), 300ms); // drain what got through
    EXPECT_EQ(serial.Write(small.data(), 3), 1);
    pty.Send({9});
    EXPECT_EQ(serial.WaitFor(1, 2s).back(), 9);
}

// Reads from the master until it has been quiet for `quiet`.
std::vector<uint8_t> Drain(const PtyPair& pty, std::chrono::milliseconds quiet = 300ms) {
    std::vector<uint8_t> all;
    for (;;) {
        std::vector<uint8_t> more = pty.Receive(1 << 20, quiet);
        if (more.empty()) {
            return all;
        }
        all.insert(all.end(), more.begin(), more.end());
    }
}

TEST(SerialEngine, AStalledDeviceGetsWholeFramesOrAHeadNeverATail) {
    PtyPair pty; // the device reads nothing until the test says so
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 115200, Parity::None), 1);
    // Numbered 13-byte frames until the line is full and one gives up; each accepted one was reported as
    // sent and must reach the device.
    std::vector<uint8_t> accepted;
    std::vector<uint8_t> frame(13);
    for (uint32_t n = 0;; ++n) {
        for (std::size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<uint8_t>((n >> (8 * (i % 4))) + i);
        }
        if (serial.Write(frame.data(), 13) != 1) {
            break;
        }
        accepted.insert(accepted.end(), frame.begin(), frame.end());
        ASSERT_LT(accepted.size(), 4U << 20) << "the line never filled";
    }
    const std::vector<uint8_t> refused = frame;
    // The device takes a little, then stops again in the middle of a long block.
    std::vector<uint8_t> line = pty.Receive(20000, 2s);
    ASSERT_GE(line.size(), 20000U);
    std::this_thread::sleep_for(50ms);
    std::vector<uint8_t> big = Pattern(300 * 1024);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.Write(big.data(), static_cast<uint32_t>(big.size())), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);

    std::vector<uint8_t> rest = Drain(pty);
    line.insert(line.end(), rest.begin(), rest.end());
    ASSERT_GE(line.size(), accepted.size());
    ASSERT_TRUE(std::equal(accepted.begin(), accepted.end(), line.begin()))
        << "a frame reported as sent was lost";
    // After them: a head of the refused frame, then a head of the long block (it got in while there was
    // room), and nothing else.
    std::vector<uint8_t> after(line.begin() + static_cast<std::ptrdiff_t>(accepted.size()), line.end());
    bool headsOnly = false;
    for (std::size_t cut = 0; cut < refused.size() && cut <= after.size() && !headsOnly; ++cut) {
        bool refusedHead =
            std::equal(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(cut), refused.begin());
        std::size_t tail = after.size() - cut;
        headsOnly = refusedHead && tail > 0 && tail < big.size() &&
                    std::equal(after.begin() + static_cast<std::ptrdiff_t>(cut), after.end(), big.begin());
    }
    EXPECT_TRUE(headsOnly) << after.size() << " bytes after the accepted frames are not heads";

    // The device reads again: the next frame goes out whole.
    EXPECT_EQ(serial.Write(refused.data(), 13), 1);
    EXPECT_EQ(pty.Receive(13, 2s), refused);
}

TEST(SerialEngine, HangUpReleasesThePortAndIsReportedOnce) {
    auto pty = std::make_unique<PtyPair>();
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty->SlavePath(), 9600, Parity::None), 1);
    pty->Send({1, 2, 3});
    EXPECT_EQ(serial.WaitFor(3, 2s).size(), 3U);
    pty->CloseMaster();
    EXPECT_TRUE(WaitUntil([&] { return !serial.IsOpen(); }, 2s));
    EXPECT_TRUE(serial.TakeDeviceLost());
    EXPECT_FALSE(serial.TakeDeviceLost());
    uint8_t byte = 0;
    EXPECT_EQ(serial.Write(&byte, 1), 0);

    // The device comes back (a new pty here): opening works again.
    PtyPair back;
    ASSERT_EQ(serial.Open(back.SlavePath(), 9600, Parity::None), 1);
    back.Send({7});
    EXPECT_EQ(serial.WaitFor(4, 2s).back(), 7);
    EXPECT_FALSE(serial.TakeDeviceLost());
}

TEST(SerialEngine, NoByteAfterClose) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 115200, Parity::None), 1);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        std::vector<uint8_t> chunk(64, 0x55);
        while (!stop) {
            ::write(pty.Master(), chunk.data(), chunk.size());
            std::this_thread::sleep_for(1ms);
        }
    });
    serial.WaitFor(256, 2s);
    serial.Close();
    std::size_t afterClose = serial.Count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(serial.Count(), afterClose);
    stop = true;
    device.join();
}

} // namespace
} // namespace velkor
