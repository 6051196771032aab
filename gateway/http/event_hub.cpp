#include "gateway/http/event_hub.h"

#include <charconv>

namespace velkor::gateway {

EventHub::EventHub(std::size_t maxStreams)
    : m_maxStreams(maxStreams), m_run(std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::system_clock::now().time_since_epoch())
                                                         .count())) {}

std::string EventHub::IdOf(uint64_t number) const {
    return m_run + "-" + std::to_string(number);
}

std::optional<uint64_t> EventHub::NumberOf(const std::string& id) const {
    if (!id.starts_with(m_run + "-")) {
        return std::nullopt;
    }
    uint64_t number = 0;
    const char* first = id.data() + m_run.size() + 1;
    const char* last = id.data() + id.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || first == last || number >= m_next) {
        return std::nullopt;
    }
    return number;
}

void EventHub::Publish(const std::string& type, const std::string& data) {
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(Event{IdOf(m_next++), type, data});
        if (m_events.size() > KEPT) {
            m_events.pop_front();
        }
    }
    m_changed.notify_all();
}

EventHub::Batch EventHub::After(const std::string& lastId, std::chrono::milliseconds wait,
                                std::chrono::milliseconds gather) {
    std::unique_lock lock(m_mutex);
    Batch batch;
    uint64_t after = m_next - 1;
    if (!lastId.empty()) {
        const std::optional<uint64_t> number = NumberOf(lastId);
        const uint64_t oldest = m_events.empty() ? m_next : m_next - m_events.size();
        if (!number || *number + 1 < oldest) {
            batch.missed = true; // said once; the console reloads and goes on from the newest
        } else {
            after = *number;
        }
    }
    if (!batch.missed) {
        const bool news = m_changed.wait_for(lock, wait, [&] { return m_closed || m_next - 1 > after; });
        if (news && !m_closed && gather.count() > 0) {
            m_closing.wait_for(lock, gather, [&] { return m_closed; });
        }
    }
    batch.closed = m_closed;
    const uint64_t oldest = m_next - m_events.size();
    for (uint64_t number = std::max(after + 1, oldest); number < m_next; ++number) {
        batch.events.push_back(m_events[number - oldest]);
    }
    return batch;
}

std::string EventHub::LastId() {
    std::lock_guard lock(m_mutex);
    return IdOf(m_next - 1);
}

bool EventHub::Enter() {
    std::lock_guard lock(m_mutex);
    if (m_streams >= m_maxStreams || m_closed) {
        return false;
    }
    ++m_streams;
    return true;
}

void EventHub::Leave() {
    std::lock_guard lock(m_mutex);
    --m_streams;
}

std::size_t EventHub::Streams() {
    std::lock_guard lock(m_mutex);
    return m_streams;
}

void EventHub::Close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
    m_closing.notify_all();
}

} // namespace velkor::gateway
