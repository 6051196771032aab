#pragma once
// The receive path: bytes from the reader thread are collected into one buffer, and the main window's
// 100 ms tick ends a frame once the line has been quiet for three to four ticks.
//
// Threads: Append runs on the reader thread, everything else on the user-interface thread. One mutex
// guards the buffer, its count and the idle-tick counter; it is held only for a few stores, never
// while a frame is handed over.

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

namespace velkor {

inline constexpr int RECEIVE_BUFFER_SIZE = 1024;
// The tick that finds the counter at this value completes the frame: the fourth tick after the last byte.
inline constexpr int FRAME_END_TICKS = 3;

// A completed frame, taken out of the receive buffer. Like the buffer itself, positions at and past
// `count` still hold bytes of earlier frames.
struct ReceivedFrame {
    std::array<uint8_t, RECEIVE_BUFFER_SIZE> bytes{};
    int count = 0;
    std::size_t received = 0; // the frame's bytes in all: more than RECEIVE_BUFFER_SIZE when it wrapped

    std::span<const uint8_t> View() const { return {bytes.data(), static_cast<std::size_t>(count)}; }
};

class ReceiveBuffer {
public:
    // A received byte: stored at `count` (the 1025th byte of one frame starts over at position 0), and
    // the idle counter restarts at 0. Reader thread; no allocation, no call out.
    void Append(uint8_t byte);

    // One timer tick. On the tick that completes a frame, the frame is taken and the receive state reset
    // before it is returned, so bytes arriving while the caller handles it start the next frame.
    std::optional<ReceivedFrame> Tick();

    // -1 when idle, otherwise ticks since the last byte.
    int IdleTicks() const;
    int Count() const;
    // Bytes of the frame being received in all, past the wrap too.
    std::size_t Received() const;
    // Back to the start-up state: all bytes 0, count 0, idle.
    void Clear();

private:
    mutable std::mutex m_mutex;
    ReceivedFrame m_frame; // the bytes and count of the frame being received
    int m_idleTicks = -1;  // g_idleTicks of the design
};

} // namespace velkor
