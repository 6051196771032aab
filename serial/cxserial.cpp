#include "cxserial.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <system_error>

namespace velkor {

CXSerial::~CXSerial() {
    Close();
}

int CXSerial::ProbePort(const std::string& port) const {
    return NativePort::Probe(port) ? 1 : 0;
}

int CXSerial::Open(const std::string& port, int baudRate, Parity parity, int dataBits) {
    Close();
    m_port = port;
    m_baudRate = baudRate;
    m_parity = parity;
    m_deviceLost = false;
    m_interrupted = false;
    PortError error = PortError::None;
    std::unique_ptr<NativePort> opened =
        NativePort::Open(port, LineSettings{baudRate, parity, dataBits}, &error);
    if (!opened) {
        std::lock_guard lock(m_writeLock);
        m_lastFailure = {error == PortError::None ? PortError::Io : error, 0, 0};
        return 0;
    }
    {
        std::lock_guard lock(m_writeLock);
        m_hComm = std::move(opened);
        m_writeSawLoss = false;
        m_stalled = false;
    }
    // A port without a reader would look open and never receive: release it instead.
    if (!StartReader()) {
        ReleasePort();
        std::lock_guard lock(m_writeLock);
        m_lastFailure = {PortError::Io, 0, 0};
        return 0;
    }
    return 1;
}

int CXSerial::Close() {
    StopReader();
    ReleasePort();
    return 1;
}

void CXSerial::ReleasePort() {
    std::lock_guard lock(m_writeLock);
    m_hComm.reset();
}

bool CXSerial::IsOpen() const {
    std::lock_guard lock(m_writeLock);
    return m_hComm != nullptr;
}

CXSerial::Failure CXSerial::LastFailure() const {
    std::lock_guard lock(m_writeLock);
    return m_lastFailure;
}

void CXSerial::Interrupt() noexcept {
    m_interrupted.store(true, std::memory_order_relaxed);
}

bool CXSerial::TakeDeviceLost() {
    return m_deviceLost.exchange(false);
}

int CXSerial::StartReader() {
    std::lock_guard lock(m_writeLock);
    if (!m_hComm) {
        return 0;
    }
    if (m_readerThread.joinable()) {
        return 1;
    }
    m_hComm->ClearStop();
    try {
        m_readerThread = std::thread(&CXSerial::ReaderThread, this);
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

int CXSerial::StopReader() {
    {
        std::lock_guard lock(m_writeLock);
        if (m_hComm) {
            m_hComm->RequestStop();
        }
    }
    // The reader sees the stop within one pass; waiting for it, rather than ending it by force, keeps the
    // port alive for as long as the reader may use it.
    if (m_readerThread.joinable()) {
        m_readerThread.join();
    }
    return 1;
}

void CXSerial::ReaderThread() {
    NativePort* port = nullptr;
    {
        std::lock_guard lock(m_writeLock);
        port = m_hComm.get();
    }
    if (port == nullptr) {
        return;
    }
    std::array<uint8_t, CHUNK_SIZE> buffer{};
    for (;;) {
        NativePort::ReadResult result = port->Read(buffer);
        if (result.status == NativePort::ReadStatus::Stopped) {
            return;
        }
        if (result.status == NativePort::ReadStatus::Lost) {
            // Release the device here, so it can be opened again as soon as it is back; writers wait on
            // the lock and find the port closed.
            std::lock_guard lock(m_writeLock);
            m_hComm.reset();
            m_deviceLost = true;
            return;
        }
        for (std::size_t i = 0; i < result.count; ++i) {
            OnReceiveByte(buffer[i]);
        }
    }
}

int CXSerial::Write(const uint8_t* bytes, uint32_t length) {
    std::lock_guard lock(m_writeLock);
    if (m_interrupted.load(std::memory_order_relaxed)) {
        m_lastFailure = {PortError::Interrupted, 0, length};
        return 0;
    }
    if (!m_hComm || m_writeSawLoss) {
        m_lastFailure = {m_hComm || m_deviceLost ? PortError::DeviceLost : PortError::NotOpen, 0, length};
        return 0;
    }
    // After a write gave up on a stalled device, the next one waits only if the device moves again, so
    // a stalled line costs the caller its bounded wait once, not on every send. Giving up at once puts
    // nothing on the line, so it cannot cut a frame.
    if (m_stalled) {
        if (!m_hComm->Writable()) {
            m_lastFailure = {PortError::Stalled, 0, length};
            return 0;
        }
        m_stalled = false;
    }
    // What the driver accepted is never dropped again: clearing its queue on a time-out would cut off the
    // head of this frame (and earlier frames already reported as sent) and then send the tail alone. So a
    // time-out only waits again, and giving up leaves at most a head of this frame queued. Each wait is
    // taken in short slices so that an interrupt is obeyed at once.
    using Clock = std::chrono::steady_clock;
    uint32_t sent = 0;
    int failures = 0;
    Clock::time_point waitEnd = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
    while (sent < length) {
        if (m_interrupted.load(std::memory_order_relaxed)) {
            m_lastFailure = {PortError::Interrupted, sent, length};
            return 0;
        }
        uint32_t chunk = std::min(length - sent, CHUNK_SIZE);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(waitEnd - Clock::now()).count();
        const int slice = static_cast<int>(std::clamp<long long>(left, 0, WRITE_SLICE_MS));
        NativePort::WriteResult result = m_hComm->Write({bytes + sent, chunk}, slice);
        if (result.status == NativePort::WriteStatus::Written && result.count > 0) {
            sent += static_cast<uint32_t>(result.count);
            failures = 0;
            waitEnd = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
            continue;
        }
        if (result.status == NativePort::WriteStatus::Lost) {
            // The reader sees the same hang-up, releases the port and reports the loss.
            m_writeSawLoss = true;
            m_lastFailure = {PortError::DeviceLost, sent, length};
            return 0;
        }
        if (result.status == NativePort::WriteStatus::TimedOut && Clock::now() < waitEnd) {
            continue; // a slice without room; the wait goes on
        }
        // A second without room, or a write that failed: the chunk is offered again, a bounded number of
        // times.
        if (++failures >= MAX_WRITE_FAILURES) {
            m_stalled = true;
            m_lastFailure = {result.status == NativePort::WriteStatus::Failed ? PortError::Io
                                                                              : PortError::Stalled,
                             sent, length};
            return 0;
        }
        waitEnd = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
    }
    return 1;
}

} // namespace velkor
