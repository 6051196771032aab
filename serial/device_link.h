#pragma once
// One link to the device: an open serial port, its receive path and its state changes, owned by whoever
// talks to the device (the window's main window, velkor-cli, the gateway). Nothing here is process-wide:
// two links live side by side in one process.
//
// Threads: the owner calls everything from one thread, except Interrupt (any thread, a signal handler
// included). The engine's reader thread feeds the receive buffer, which has its own lock.

#include "cxserial.h"
#include "receive_buffer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace velkor {

enum class PortEvent {
    Opened,
    Closed,
    Lost, // the device went away while open; the port is already released
};

// How the bytes a link receives are taken: as the watches' frames, each ended by a silence (Tick), or as
// they come (TakeBytes), for a protocol that marks its own blocks, such as a nurse-call panel's.
enum class ReceiveMode { Frames, Bytes };

class DeviceLink {
public:
    explicit DeviceLink(ReceiveMode mode = ReceiveMode::Frames);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Can `port` be opened now (nobody has it open)? Opens and closes at once.
    static bool Probe(const std::string& port, PortError* error = nullptr);

    // Closes any open port first, then opens `port` (`dataBits` data bits, 1 stop bit, no flow control) with
    // an empty receive path. False when it did not open: LastFailure says why. Queues Opened, or Closed when
    // it did not open.
    bool Open(const std::string& port, int baudRate, Parity parity, int dataBits = 8);
    // Releases the port; queues Closed when one was open.
    void Close();
    bool IsOpen() const;
    const std::string& PortName() const { return m_engine.PortName(); }
    int BaudRate() const { return m_engine.BaudRate(); }
    Parity LineParity() const { return m_engine.LineParity(); }

    // Writes the frame whole (the engine's bounded waits). False when it did not: no port open, the device
    // stalled or went away, or Interrupt was called; LastFailure says why and how much the device took.
    bool Send(std::span<const uint8_t> frame);
    CXSerial::Failure LastFailure() const { return m_engine.LastFailure(); }
    // Makes a Send under way give up at once, and every later one until the next Open. Async-signal-safe.
    void Interrupt() noexcept { m_engine.Interrupt(); }

    // One 100 ms tick of the receive path: the frame this tick completes (300 to 400 ms of silence after
    // its last byte; bytes past 1024 start over at position 0), if any.
    std::optional<ReceivedFrame> Tick();
    // Whether a frame is being received (bytes came, the silence that ends it has not).
    bool Receiving() const { return m_buffer.IdleTicks() >= 0; }
    // The receive path itself, for tests that feed it bytes and for its state.
    ReceiveBuffer& Buffer() { return m_buffer; }

    // With ReceiveMode::Bytes: the bytes received since the last call, waiting up to `wait` for the first
    // (less when Wake is called). Any thread may call Wake.
    std::string TakeBytes(std::chrono::milliseconds wait);
    void Wake();

    // The next change of the port's state, oldest first; nullopt when there is none. A device lost while
    // open shows here as Lost.
    std::optional<PortEvent> TakePortEvent();

    // For the programs without a timer of their own: ticks every 100 ms, as the window does, until
    //  - a frame completes (Frame),
    //  - nothing has begun to arrive by `firstByteBy` (Silence),
    //  - the line has not gone quiet by `lastByteBy`, the bytes so far in `bytes` (Noise),
    //  - the device is gone and no frame is under way (Lost; a frame that was under way comes first),
    //  - `stop` returns true (Stopped).
    struct Waited {
        enum class End { Frame, Silence, Noise, Lost, Stopped } end = End::Silence;
        ReceivedFrame frame;   // with Frame
        std::size_t bytes = 0; // with Frame, the frame's bytes in all (more than 1024 when it overflowed);
                               // with Noise, the bytes that came
    };
    using Clock = std::chrono::steady_clock;
    Waited WaitForFrame(Clock::time_point firstByteBy, Clock::time_point lastByteBy,
                        const std::function<bool()>& stop = {});

    static constexpr std::chrono::milliseconds TICK{100};

private:
    // Bytes taken as they come, for ReceiveMode::Bytes; the engine's reader thread adds to it.
    class ByteQueue {
    public:
        void Append(uint8_t byte);
        std::string Take(std::chrono::milliseconds wait);
        void Wake();
        void Clear();

    private:
        std::mutex m_mutex;
        std::condition_variable m_arrived;
        std::string m_bytes;
        bool m_woken = false;
    };

    // The engine's byte sink: the receive buffer, or the byte queue.
    class Engine final : public CXSerial {
    public:
        Engine(ReceiveMode mode, ReceiveBuffer& buffer, ByteQueue& bytes)
            : m_mode(mode), m_buffer(buffer), m_bytes(bytes) {}
        ~Engine() { Close(); }

    protected:
        void OnReceiveByte(uint8_t byte) override {
            if (m_mode == ReceiveMode::Frames) {
                m_buffer.Append(byte);
            } else {
                m_bytes.Append(byte);
            }
        }

    private:
        const ReceiveMode m_mode;
        ReceiveBuffer& m_buffer;
        ByteQueue& m_bytes;
    };

    void NoteLoss();

    ReceiveBuffer m_buffer;
    ByteQueue m_bytes;
    Engine m_engine;
    std::deque<PortEvent> m_events;
    bool m_lost = false; // the device went away since the last Open
};

} // namespace velkor
