#pragma once
// A serial link whose byte sink records what arrives, for tests that play the device on a pty.

#include "serial/cxserial.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

class RecordingSerial : public velkor::CXSerial {
public:
    ~RecordingSerial() { Close(); }

    // Waits until `count` bytes in all have arrived or `timeout` passed; returns everything so far.
    std::vector<uint8_t> WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_for(lock, timeout, [&] { return m_bytes.size() >= count; });
        return m_bytes;
    }
    std::size_t Count() {
        std::lock_guard lock(m_mutex);
        return m_bytes.size();
    }
    void Forget() {
        std::lock_guard lock(m_mutex);
        m_bytes.clear();
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return Write(bytes.data(), static_cast<uint32_t>(bytes.size())) == 1;
    }

protected:
    void OnReceiveByte(uint8_t byte) override {
        std::lock_guard lock(m_mutex);
        m_bytes.push_back(byte);
        m_arrived.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<uint8_t> m_bytes;
};
