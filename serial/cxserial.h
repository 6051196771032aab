#pragma once
// The serial engine: one open port, a reader thread that hands every byte to OnReceiveByte, and writes
// with bounded waits. DeviceLink puts a receive path and state changes around it.
//
// Threads and sharing:
// - The user-interface thread alone calls ProbePort, Open, Close, Write, StartReader and StopReader.
// - While a port is open, one reader thread waits in the port without using CPU and calls OnReceiveByte
//   for every received byte, in order. It never calls OnReceiveByte after StopReader or Close returned.
// - m_writeLock is held for a whole Write, and whenever the port object is replaced or released, so no
//   descriptor is closed while a writer uses it. The reader takes it only to release a lost device.
// - A lost device (adapter pulled, other end hung up) ends the reader and releases the port; the loss
//   is reported once by TakeDeviceLost.
// - Interrupt may be called from any thread and from a signal handler: it only stores an atomic flag,
//   which a Write under way looks at every WRITE_SLICE_MS.

#include "serial_port.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velkor {

class CXSerial {
public:
    CXSerial() = default;
    CXSerial(const CXSerial&) = delete;
    CXSerial& operator=(const CXSerial&) = delete;

    // 1 if the port can be opened now (nobody, this program included, has it open), else 0.
    int ProbePort(const std::string& port) const;
    // Closes any open port first, then opens `port` with 8 data bits (or `dataBits`: 7), 1 stop bit, no flow
    // control, the baud rate (1200 to 115200) and parity, and starts the reader. 1 on success; on failure 0
    // and no port is open.
    int Open(const std::string& port, int baudRate, Parity parity, int dataBits = 8);
    // Stops the reader and releases the port. Always 1.
    int Close();
    // Every byte out, in chunks of at most 1024, each given 1000 ms to leave; 1 when all went out.
    // 0 at once when no port is open or the device was lost; 0 after three consecutive waits of 1000 ms in
    // which the device took nothing, so a stalled device cannot hold the caller for ever. Bytes the device
    // took are never withdrawn: a write that gives up has put a head of the block on the line (or will,
    // when the device moves again), never a tail. Once a write has given up, later writes return 0 at once,
    // sending nothing, until the device can take bytes again.
    int Write(const uint8_t* bytes, uint32_t length);
    int StartReader();
    int StopReader();
    // Makes a Write under way give up within WRITE_SLICE_MS, and every later Write fail at once, until the
    // next Open: a program told to end must not sit out a stalled device's wait first. Async-signal-safe.
    void Interrupt() noexcept;

    bool IsOpen() const;
    // Why the last Open or Write returned 0, and for a write that gave up, how much the device took.
    struct Failure {
        PortError error = PortError::None;
        uint32_t accepted = 0; // bytes of the failed write the device took
        uint32_t length = 0;   // bytes the failed write was given
    };
    Failure LastFailure() const;
    // True once after the device was lost while open; the caller shows the port as closed.
    bool TakeDeviceLost();

    const std::string& PortName() const { return m_port; }
    int BaudRate() const { return m_baudRate; }
    Parity LineParity() const { return m_parity; }

    static constexpr uint32_t CHUNK_SIZE = 1024;
    static constexpr int WRITE_TIMEOUT_MS = 1000;
    static constexpr int MAX_WRITE_FAILURES = 3;
    static constexpr int WRITE_SLICE_MS = 50;

protected:
    // Derived classes must call Close() in their destructor: the reader calls OnReceiveByte.
    ~CXSerial();
    virtual void OnReceiveByte(uint8_t byte) = 0;

private:
    void ReaderThread();
    void ReleasePort();

    std::string m_port;
    int m_baudRate = DEFAULT_BAUD_RATE;
    Parity m_parity = Parity::None;

    mutable std::mutex m_writeLock;
    std::unique_ptr<NativePort> m_hComm; // the open port; null when closed. Guarded by m_writeLock.
    std::thread m_readerThread;
    bool m_writeSawLoss = false;           // guarded by m_writeLock
    bool m_stalled = false;                // the last write gave up; guarded by m_writeLock
    Failure m_lastFailure;                 // guarded by m_writeLock
    std::atomic<bool> m_deviceLost{false}; // set by the reader only, so a loss is reported once
    std::atomic<bool> m_interrupted{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "Interrupt must be async-signal-safe");
};

} // namespace velkor
