#include "support/pty_pair.h"
#include "support/recording_serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> Pattern(std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    return bytes;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(SerialEngine, OpensAPtyWithEveryParityAndBaudRate) {
    PtyPair pty;
    RecordingSerial serial;
    for (int parity = 0; parity <= 2; ++parity) {
        for (int baud : {1200, 9600, 115200}) {
            ASSERT_EQ(serial.Open(pty.SlavePath(), baud, parity), 1) << baud << " parity " << parity;
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
    EXPECT_EQ(serial.Open(pty.SlavePath(), 300, 0), 0);
    EXPECT_FALSE(serial.IsOpen());
    EXPECT_EQ(serial.Open("/dev/velkor-no-such-port", 9600, 0), 0);
    EXPECT_EQ(serial.Open("/dev/null", 9600, 0), 0); // not a tty
}

TEST(SerialEngine, ExclusiveOpenAndProbe) {
    PtyPair pty;
    RecordingSerial first;
    RecordingSerial second;
    EXPECT_EQ(first.ProbePort(pty.SlavePath()), 1);
    ASSERT_EQ(first.Open(pty.SlavePath(), 9600, 0), 1);
    EXPECT_EQ(first.ProbePort(pty.SlavePath()), 0);
    EXPECT_EQ(second.ProbePort(pty.SlavePath()), 0);
    EXPECT_EQ(second.Open(pty.SlavePath(), 9600, 0), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(first.IsOpen()); // the failed second open did not disturb the first

    // Opening another port releases the first one, and a failed open leaves nothing open.
    PtyPair other;
    ASSERT_EQ(first.Open(other.SlavePath(), 9600, 0), 1);
    EXPECT_EQ(second.ProbePort(pty.SlavePath()), 1);
    EXPECT_EQ(first.Open("/dev/velkor-no-such-port", 9600, 0), 0);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(second.ProbePort(other.SlavePath()), 1);
}

TEST(SerialEngine, BurstsArriveWholeAndInOrder) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 115200, 0), 1);
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
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, 0), 1);
    serial.Close();
    EXPECT_EQ(serial.Write(&byte, 1), 0);
    EXPECT_TRUE(pty.Receive(1, 100ms).empty());
}

TEST(SerialEngine, StalledWriteGivesUpAndTheEngineStaysUsable) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, 0), 1);
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

TEST(SerialEngine, HangUpReleasesThePortAndIsReportedOnce) {
    auto pty = std::make_unique<PtyPair>();
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty->SlavePath(), 9600, 0), 1);
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
    ASSERT_EQ(serial.Open(back.SlavePath(), 9600, 0), 1);
    back.Send({7});
    EXPECT_EQ(serial.WaitFor(4, 2s).back(), 7);
    EXPECT_FALSE(serial.TakeDeviceLost());
}

TEST(SerialEngine, NoByteAfterClose) {
    PtyPair pty;
    RecordingSerial serial;
    ASSERT_EQ(serial.Open(pty.SlavePath(), 115200, 0), 1);
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

TEST(SerialEngine, OmbiSerialFeedsTheReceiveBuffer) {
    PtyPair pty;
    ReceiveBuffer buffer;
    OmbiSerial serial(buffer);
    ASSERT_EQ(serial.Open(pty.SlavePath(), 9600, 0), 1);
    pty.Send({0xFA, 0x80, 0xF3, 0x00, 0x6D, 0x0D});
    ASSERT_TRUE(WaitUntil([&] { return buffer.Count() == 6; }, 2s));
    std::optional<ReceivedFrame> frame;
    for (int tick = 0; tick < 4 && !frame; ++tick) {
        frame = buffer.Tick();
    }
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->count, 6);
    EXPECT_EQ(frame->bytes[5], 0x0D);
}

} // namespace
} // namespace velkor
