#pragma once
// What the browser console needs beside the page API: its files (with a strict Content-Security-Policy),
// the GBK map, the key it was given (/v1/key), the watch list (/v1/watches), the quick texts (/v1/texts)
// and the events (/v1/events) that keep it current.
//
// Threads: Start after the routes are added, Stop before the server stops; each open event stream holds
// one of the server's threads.

#include "gateway/health/health.h"
#include "gateway/http/event_hub.h"
#include "gateway/http/server.h"
#include "gateway/intake/intake.h"
#include "gateway/intake/quick_texts.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velkor::gateway {

struct ConsoleSettings {
    std::string folder; // the console's files; "" serves none
    std::vector<QuickText> texts;
};

class ConsoleRoutes {
public:
    // A comment on a quiet stream this often: proxies keep it, and a console that went away is noticed at
    // the next write but one (the first only brings the peer's reset), so its slot is free within 2 s.
    static constexpr int KEEP_ALIVE_SECONDS = 1;
    static constexpr int GATHER_MS = 20; // a stream's events after the first, written with it

    ConsoleRoutes(HttpServer& server, Intake& intake, const HealthSources& health, ConsoleSettings settings);
    ~ConsoleRoutes();
    ConsoleRoutes(const ConsoleRoutes&) = delete;
    ConsoleRoutes& operator=(const ConsoleRoutes&) = delete;

    // Starts telling the open consoles of pages and health; Stop ends every stream at once.
    void Start();
    void Stop();

private:
    void FileRoutes();
    void ListRoutes();
    void EventRoutes();
    // Publishes a page event for each change of a page's state, until Stop: many changes read in one go
    // under load.
    void PublishPages();
    // Publishes a health event whenever the health changes, until Stop.
    void WatchHealth();

    HttpServer& m_server;
    Intake& m_intake;
    const HealthSources& m_health;
    const ConsoleSettings m_settings;
    EventHub m_events{HttpServer::MAX_STREAMS};
    std::mutex m_mutex; // guards m_stopping and m_changed
    std::condition_variable m_stopped;
    std::condition_variable m_pageChanged;
    bool m_stopping = false;
    std::vector<int64_t> m_changed; // pages whose state changed, not yet told
    std::thread m_healthThread;
    std::thread m_publisher;
};

} // namespace velkor::gateway
