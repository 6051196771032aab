#include "gateway/queue/change_notifier.h"

namespace velkor::gateway {

ChangeNotifier::ChangeNotifier() : m_thread([this] { Run(); }) {}

ChangeNotifier::~ChangeNotifier() {
    Stop();
}

void ChangeNotifier::Add(Change change, Listener listener) {
    (change == Change::State ? m_stateListeners : m_sendingListeners).push_back(std::move(listener));
}

void ChangeNotifier::Tell(Change change, int64_t page) {
    if ((change == Change::State ? m_stateListeners : m_sendingListeners).empty()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return;
        }
        m_changes.emplace_back(change, page);
    }
    m_changed.notify_one();
}

void ChangeNotifier::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void ChangeNotifier::Run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [this] { return m_stopping || !m_changes.empty(); });
        if (m_changes.empty()) {
            return; // stopping, and everything told
        }
        std::deque<std::pair<Change, int64_t>> changes;
        changes.swap(m_changes);
        lock.unlock();
        for (const auto& [change, page] : changes) {
            for (const Listener& listener : change == Change::State ? m_stateListeners : m_sendingListeners) {
                listener(page);
            }
        }
        lock.lock();
    }
}

} // namespace velkor::gateway
