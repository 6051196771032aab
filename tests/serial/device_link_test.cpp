// The device link as the window, velkor-cli and the gateway use it, against pseudo-terminals: frames by the
// silence rule, state changes in order, two links side by side, and waits that end whatever the line does.

#include "serial/device_link.h"
#include "support/pty_pair.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velkor {
namespace {

using namespace std::chrono_literals;
using End = DeviceLink::Waited::End;

TEST(DeviceLink, TwoLinksSideBySideEachWithItsFramesAndStateChanges) {
    PtyPair a;
    PtyPair b;
    DeviceLink first;
    DeviceLink second;
    EXPECT_FALSE(first.TakePortEvent());
    ASSERT_TRUE(first.Open(a.SlavePath(), 9600, Parity::None));
    ASSERT_TRUE(second.Open(b.SlavePath(), 115200, Parity::Even));
    EXPECT_EQ(second.BaudRate(), 115200);
    EXPECT_EQ(second.LineParity(), Parity::Even);
    EXPECT_EQ(first.TakePortEvent(), PortEvent::Opened);
    EXPECT_FALSE(first.TakePortEvent());

    // Each link hears its own device; the fourth tick after the last byte completes a frame.
    a.Send({0xFA, 0x80, 0xF3, 0x00, 0x6D, 0x0D});
    b.Send({0x01, 0x02});
    ASSERT_TRUE(WaitUntil([&] { return first.Buffer().Count() == 6 && second.Buffer().Count() == 2; }, 2s));
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_FALSE(first.Tick()) << tick;
    }
    std::optional<ReceivedFrame> frame = first.Tick();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->count, 6);
    EXPECT_EQ(frame->received, 6U);
    EXPECT_EQ(frame->bytes[5], 0x0D);
    EXPECT_FALSE(first.Receiving());
    EXPECT_TRUE(second.Receiving());
    for (int tick = 0; tick < 3; ++tick) {
        second.Tick();
    }
    frame = second.Tick();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->count, 2);

    // Each link writes to its own device only.
    const std::vector<uint8_t> bytes = {0xFA, 0x80, 0xF4, 0x00, 0x6E, 0x0D};
    EXPECT_TRUE(first.Send(bytes));
    EXPECT_EQ(a.Receive(bytes.size(), 2s), bytes);
    EXPECT_TRUE(b.Receive(1, 200ms).empty());

    // Closing is reported once; a closed link says why a send fails.
    first.Close();
    EXPECT_EQ(first.TakePortEvent(), PortEvent::Closed);
    EXPECT_FALSE(first.Send(bytes));
    EXPECT_EQ(first.LastFailure().error, PortError::NotOpen);
    first.Close();
    EXPECT_FALSE(first.TakePortEvent());

    // A pulled device: the port is released and the loss reported once, after the earlier changes.
    b.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !second.IsOpen(); }, 2s));
    EXPECT_EQ(second.TakePortEvent(), PortEvent::Opened);
    EXPECT_EQ(second.TakePortEvent(), PortEvent::Lost);
    EXPECT_FALSE(second.TakePortEvent());
    EXPECT_FALSE(second.Send(bytes));

    // A port that does not open leaves the link closed, and says so.
    EXPECT_FALSE(first.Open("/dev/velkor-no-such-port", 9600, Parity::None));
    EXPECT_EQ(first.LastFailure().error, PortError::NotFound);
    EXPECT_EQ(first.TakePortEvent(), PortEvent::Closed);

    // Opening again starts from an empty receive path.
    first.Buffer().Append(0x42);
    ASSERT_TRUE(first.Open(a.SlavePath(), 9600, Parity::None));
    EXPECT_EQ(first.Buffer().Count(), 0);
    EXPECT_FALSE(first.Receiving());
}

TEST(DeviceLink, WaitingForAFrameEndsWhateverTheLineDoes) {
    using Clock = DeviceLink::Clock;
    PtyPair pty;
    DeviceLink link;
    ASSERT_TRUE(link.Open(pty.SlavePath(), 9600, Parity::None));

    // Nothing comes.
    auto start = Clock::now();
    DeviceLink::Waited waited = link.WaitForFrame(start + 300ms, start + 700ms);
    EXPECT_EQ(waited.end, End::Silence);
    EXPECT_LT(Clock::now() - start, 600ms);
    // The caller stops it.
    start = Clock::now();
    waited = link.WaitForFrame(start + 5s, start + 6s, [] { return true; });
    EXPECT_EQ(waited.end, End::Stopped);
    EXPECT_LT(Clock::now() - start, 1s);

    // A frame longer than the buffer: its bytes wrap, its length in all is kept.
    pty.Send(std::vector<uint8_t>(1500, 0x22));
    start = Clock::now();
    waited = link.WaitForFrame(start + 2s, start + 4s);
    ASSERT_EQ(waited.end, End::Frame);
    EXPECT_EQ(waited.bytes, 1500U);
    EXPECT_EQ(waited.frame.count, 1500 - RECEIVE_BUFFER_SIZE);

    // Noise that never pauses ends the wait at its last moment, with the bytes counted.
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop) {
            pty.Send({0x55});
            std::this_thread::sleep_for(20ms);
        }
    });
    start = Clock::now();
    waited = link.WaitForFrame(start + 300ms, start + 700ms);
    stop = true;
    noise.join();
    EXPECT_EQ(waited.end, End::Noise);
    EXPECT_GT(waited.bytes, 10U);
    EXPECT_LT(Clock::now() - start, 1100ms);
    EXPECT_EQ(link.WaitForFrame(Clock::now() + 1s, Clock::now() + 2s).end,
              End::Frame); // the noise, once quiet

    // A frame under way when the device goes comes first, then the loss.
    pty.Send({0xFA, 0x0D});
    ASSERT_TRUE(WaitUntil([&] { return link.Buffer().Count() == 2; }, 2s));
    pty.CloseMaster();
    waited = link.WaitForFrame(Clock::now() + 2s, Clock::now() + 3s);
    ASSERT_EQ(waited.end, End::Frame);
    EXPECT_EQ(waited.bytes, 2U);
    EXPECT_EQ(link.WaitForFrame(Clock::now() + 2s, Clock::now() + 3s).end, End::Lost);
}

} // namespace
} // namespace velkor
