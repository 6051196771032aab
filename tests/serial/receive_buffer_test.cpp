#include "serial/receive_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velkor {
namespace {

// Ticks until a frame completes or `limit` ticks passed; returns the frame and the ticks used.
std::pair<std::optional<ReceivedFrame>, int> TickUntilFrame(ReceiveBuffer& buffer, int limit) {
    for (int tick = 1; tick <= limit; ++tick) {
        if (auto frame = buffer.Tick()) {
            return {frame, tick};
        }
    }
    return {std::nullopt, limit};
}

TEST(ReceiveBuffer, OneByteCompletesOnTheFourthTick) {
    ReceiveBuffer buffer;
    EXPECT_FALSE(TickUntilFrame(buffer, 20).first); // nothing before any byte
    buffer.Append(0x42);
    EXPECT_EQ(buffer.IdleTicks(), 0);
    auto [frame, ticks] = TickUntilFrame(buffer, 10);
    ASSERT_TRUE(frame);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(frame->count, 1);
    EXPECT_EQ(frame->bytes[0], 0x42);
    EXPECT_EQ(buffer.IdleTicks(), -1);
    EXPECT_EQ(buffer.Count(), 0);
}

TEST(ReceiveBuffer, ShortPausesJoinLongPausesSplit) {
    ReceiveBuffer buffer;
    // A byte every 250 ms: two or three ticks between bytes never complete the frame.
    for (int i = 0; i < 40; ++i) {
        buffer.Append(static_cast<uint8_t>(i));
        EXPECT_FALSE(TickUntilFrame(buffer, i % 2 == 0 ? 2 : 3).first);
    }
    auto [frame, ticks] = TickUntilFrame(buffer, 4);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->count, 40);

    // Two bursts 500 ms (five ticks) apart are two frames.
    buffer.Append(1);
    buffer.Append(2);
    auto first = TickUntilFrame(buffer, 5).first;
    buffer.Append(3);
    auto second = TickUntilFrame(buffer, 5).first;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->count, 2);
    EXPECT_EQ(second->count, 1);
    EXPECT_EQ(second->bytes[0], 3);
    EXPECT_EQ(second->bytes[1], 2); // positions past the count keep earlier bytes
}

TEST(ReceiveBuffer, The1025thByteStartsOver) {
    ReceiveBuffer buffer;
    for (int i = 1; i <= 1030; ++i) {
        buffer.Append(static_cast<uint8_t>(i % 256));
    }
    auto frame = TickUntilFrame(buffer, 4).first;
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->count, 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(frame->bytes[i], (1025 + i) % 256);
    }
    EXPECT_EQ(frame->bytes[6], 7); // byte 7 of the burst is still there
}

TEST(ReceiveBuffer, BytesDuringHandOverStartTheNextFrame) {
    ReceiveBuffer buffer;
    buffer.Append(0xFA);
    buffer.Append(0x0D);
    auto frame = TickUntilFrame(buffer, 4).first;
    ASSERT_TRUE(frame);
    // While the page handles the first frame (a message box open), a new answer arrives.
    buffer.Append(0x11);
    buffer.Append(0x22);
    buffer.Append(0x33);
    EXPECT_EQ(frame->count, 2); // the frame being handled is not extended
    auto next = TickUntilFrame(buffer, 4).first;
    ASSERT_TRUE(next);
    EXPECT_EQ(next->count, 3);
    EXPECT_EQ(next->bytes[0], 0x11);
    EXPECT_EQ(next->bytes[2], 0x33);
}

TEST(ReceiveBuffer, ConcurrentAppendAndTickLoseNothing) {
    ReceiveBuffer buffer;
    constexpr int kBursts = 300;
    constexpr int kBurst = 100;
    std::atomic<int> received{0};
    std::thread reader([&] {
        int value = 0;
        for (int b = 0; b < kBursts; ++b) {
            for (int i = 0; i < kBurst; ++i) {
                buffer.Append(static_cast<uint8_t>(value++ % 251));
            }
            while (received.load() < value) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<uint8_t> all;
    while (static_cast<int>(all.size()) < kBursts * kBurst) {
        if (auto frame = buffer.Tick()) {
            all.insert(all.end(), frame->bytes.begin(), frame->bytes.begin() + frame->count);
            received.store(static_cast<int>(all.size()));
        }
    }
    reader.join();
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i], i % 251) << i;
    }
}

} // namespace
} // namespace velkor
