#pragma once
// What the consoles are told as it happens: page state changes and health changes, each with an id, the
// last ones kept so that a console that reconnects with Last-Event-ID misses nothing.
//
// Threads: any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velkor::gateway {

struct Event {
    std::string id; // "RUN-N": RUN tells this run of the gateway from an earlier one
    std::string type;
    std::string data; // one line of JSON
};

class EventHub {
public:
    static constexpr std::size_t KEPT = 2000;

    explicit EventHub(std::size_t maxStreams);

    void Publish(const std::string& type, const std::string& data);

    struct Batch {
        std::vector<Event> events;
        bool missed = false; // events after `lastId` are no longer kept (or came from another run): reload
        bool closed = false; // the gateway is stopping
    };
    // The events after `lastId` ("" for none yet seen: only what comes from now on), waiting up to `wait`
    // for the first, then `gather` for those that come right after it: under a burst of pages a stream
    // wakes and writes once for many events, not once for each.
    Batch After(const std::string& lastId, std::chrono::milliseconds wait,
                std::chrono::milliseconds gather = std::chrono::milliseconds(0));
    // The id of the newest event, for a stream that starts without Last-Event-ID.
    std::string LastId();

    // A stream's place: false when maxStreams are open already.
    bool Enter();
    void Leave();
    std::size_t Streams();

    // Ends every wait at once, and every wait after.
    void Close();

private:
    std::optional<uint64_t> NumberOf(const std::string& id) const;
    std::string IdOf(uint64_t number) const;

    const std::size_t m_maxStreams;
    const std::string m_run;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::condition_variable m_closing; // told only of Close: a gathering stream sleeps through events
    std::deque<Event> m_events;
    uint64_t m_next = 1;
    std::size_t m_streams = 0;
    bool m_closed = false;
};

} // namespace velkor::gateway
