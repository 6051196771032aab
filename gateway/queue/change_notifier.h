#pragma once
// Tells the queue's listeners of each committed change on a thread of its own, in the order of the
// changes: the thread that changed a page (an intake's, the transmitter's) never runs a listener, so a
// listener that reads the database or publishes to a broker holds up no one.
//
// Threads: Add before the first Tell; Tell and Stop from any thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velkor::gateway {

class ChangeNotifier {
public:
    enum class Change {
        State,   // a page's state changed: queued, sent, expired, failed, cancelled
        Sending, // a page's first frame is taken to be written
    };
    using Listener = std::function<void(int64_t page)>;

    ChangeNotifier();
    ~ChangeNotifier();
    ChangeNotifier(const ChangeNotifier&) = delete;
    ChangeNotifier& operator=(const ChangeNotifier&) = delete;

    void Add(Change change, Listener listener);
    void Tell(Change change, int64_t page);
    // Tells what is waiting, then ends; changes after it are not told. For the owner of the listeners,
    // before they go.
    void Stop();

private:
    void Run();

    std::vector<Listener> m_stateListeners;
    std::vector<Listener> m_sendingListeners;
    std::mutex m_mutex; // guards m_changes and m_stopping
    std::condition_variable m_changed;
    std::deque<std::pair<Change, int64_t>> m_changes;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace velkor::gateway
