#include "device_link.h"

#include <thread>
#include <utility>

namespace velkor {

DeviceLink::DeviceLink(ReceiveMode mode) : m_engine(mode, m_buffer, m_bytes) {}

DeviceLink::~DeviceLink() {
    m_engine.Close();
}

bool DeviceLink::Probe(const std::string& port, PortError* error) {
    return NativePort::Probe(port, error);
}

bool DeviceLink::Open(const std::string& port, int baudRate, Parity parity, int dataBits) {
    Close();
    m_buffer.Clear();
    m_bytes.Clear();
    m_lost = false;
    if (m_engine.Open(port, baudRate, parity, dataBits) != 1) {
        m_events.push_back(PortEvent::Closed); // what the port is after the attempt
        return false;
    }
    m_events.push_back(PortEvent::Opened);
    return true;
}

void DeviceLink::Close() {
    NoteLoss();
    const bool wasOpen = m_engine.IsOpen();
    m_engine.Close();
    if (wasOpen) {
        m_events.push_back(PortEvent::Closed);
    }
}

bool DeviceLink::IsOpen() const {
    return m_engine.IsOpen();
}

bool DeviceLink::Send(std::span<const uint8_t> frame) {
    return m_engine.Write(frame.data(), static_cast<uint32_t>(frame.size())) == 1;
}

std::optional<ReceivedFrame> DeviceLink::Tick() {
    return m_buffer.Tick();
}

std::string DeviceLink::TakeBytes(std::chrono::milliseconds wait) {
    return m_bytes.Take(wait);
}

void DeviceLink::Wake() {
    m_bytes.Wake();
}

void DeviceLink::ByteQueue::Append(uint8_t byte) {
    std::lock_guard lock(m_mutex);
    m_bytes.push_back(static_cast<char>(byte));
    m_arrived.notify_one();
}

std::string DeviceLink::ByteQueue::Take(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, wait, [this] { return !m_bytes.empty() || m_woken; });
    m_woken = false;
    return std::exchange(m_bytes, {});
}

void DeviceLink::ByteQueue::Wake() {
    std::lock_guard lock(m_mutex);
    m_woken = true;
    m_arrived.notify_one();
}

void DeviceLink::ByteQueue::Clear() {
    std::lock_guard lock(m_mutex);
    m_bytes.clear();
}

void DeviceLink::NoteLoss() {
    if (m_engine.TakeDeviceLost()) {
        m_lost = true;
        m_events.push_back(PortEvent::Lost);
    }
}

std::optional<PortEvent> DeviceLink::TakePortEvent() {
    NoteLoss();
    if (m_events.empty()) {
        return std::nullopt;
    }
    PortEvent event = m_events.front();
    m_events.pop_front();
    return event;
}

DeviceLink::Waited DeviceLink::WaitForFrame(Clock::time_point firstByteBy, Clock::time_point lastByteBy,
                                            const std::function<bool()>& stop) {
    Waited waited;
    for (;;) {
        std::this_thread::sleep_for(TICK);
        if (std::optional<ReceivedFrame> frame = Tick()) {
            waited.end = Waited::End::Frame;
            waited.frame = *frame;
            waited.bytes = frame->received;
            return waited;
        }
        NoteLoss();
        const auto now = Clock::now();
        if (m_lost && !Receiving()) {
            waited.end = Waited::End::Lost;
            return waited;
        }
        if (!Receiving() && now >= firstByteBy) {
            waited.end = Waited::End::Silence;
            return waited;
        }
        if (now >= lastByteBy) {
            waited.end = Waited::End::Noise;
            waited.bytes = m_buffer.Received();
            return waited;
        }
        if (stop && stop()) {
            waited.end = Waited::End::Stopped;
            return waited;
        }
    }
}

} // namespace velkor
