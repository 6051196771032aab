#include "receive_buffer.h"

namespace velkor {

void ReceiveBuffer::Append(uint8_t byte) {
    std::lock_guard lock(m_mutex);
    int index = m_frame.count >= RECEIVE_BUFFER_SIZE ? 0 : m_frame.count;
    m_frame.bytes[static_cast<std::size_t>(index)] = byte;
    m_frame.count = index + 1;
    ++m_frame.received;
    m_idleTicks = 0;
}

std::optional<ReceivedFrame> ReceiveBuffer::Tick() {
    std::lock_guard lock(m_mutex);
    int ticks = m_idleTicks;
    if (ticks < 0) {
        return std::nullopt;
    }
    m_idleTicks = ticks + 1;
    if (ticks < FRAME_END_TICKS) {
        return std::nullopt;
    }
    m_idleTicks = -1;
    ReceivedFrame frame = m_frame;
    m_frame.count = 0;
    m_frame.received = 0;
    return frame;
}

int ReceiveBuffer::IdleTicks() const {
    std::lock_guard lock(m_mutex);
    return m_idleTicks;
}

int ReceiveBuffer::Count() const {
    std::lock_guard lock(m_mutex);
    return m_frame.count;
}

std::size_t ReceiveBuffer::Received() const {
    std::lock_guard lock(m_mutex);
    return m_frame.received;
}

void ReceiveBuffer::Clear() {
    std::lock_guard lock(m_mutex);
    m_frame = ReceivedFrame{};
    m_idleTicks = -1;
}

} // namespace velkor
