#pragma once
// The HTTP API (JSON): pages in, their state out, the gateway's health and its metrics.
//
// Threads: Run on a thread of its own (the server's pool serves the requests); Stop from any thread.

#include "alerts.h"
#include "console.h"
#include "espa_panel.h"
#include "events.h"
#include "hooks.h"
#include "intake.h"
#include "listen_address.h"
#include "mqtt_link.h"
#include "page_json.h"
#include "refusals.h"
#include "tokens.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace velkor::gateway {

struct ConsoleSettings {
    std::string folder; // the console's files; "" serves none
    std::vector<QuickText> texts;
};

class HttpApi {
public:
    static constexpr std::size_t MAX_BODY = 16 * 1024; // a page, a time, a cancel
    // A webhook's notification: Alertmanager groups of hundreds of alerts (60 weigh 18 kB); the pages made
    // of it stay bounded by their recipients and the text cut.
    static constexpr std::size_t MAX_WEBHOOK_BODY = 1024 * 1024;
    // A connection holds its thread until it is cut off: many threads and short waits keep a crowd of
    // idle connections from starving the systems that page (on a LAN a request's bytes come within
    // milliseconds). Past THREADS + MAX_WAITING, further clients wait in the kernel's backlog.
    static constexpr int THREADS = 32;        // connections served at once
    static constexpr int MAX_WAITING = 64;    // accepted connections waiting for a thread
    static constexpr int TIMEOUT_SECONDS = 2; // a read, a write, or an idle keep-alive connection
    // Each open event stream (a console) holds a thread of its own, beside the THREADS for requests.
    static constexpr int MAX_STREAMS = 64;
    // A comment on a quiet stream this often: proxies keep it, and a console that went away is noticed at
    // the next write but one (the first only brings the peer's reset), so its slot is free within 2 s.
    static constexpr int KEEP_ALIVE_SECONDS = 1;
    static constexpr int GATHER_MS = 20; // a stream's events after the first, written with it

    // `tokens`: nullopt lets every request in. `mqtt`: the broker link whose health is shown, if any.
    HttpApi(Intake& intake, std::optional<Tokens> tokens, MqttLink* mqtt = nullptr,
            ConsoleSettings console = {}, AlertSettings alerts = {});
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // The hooks file's hooks (nullptr: none), at start and when it is read again.
    void SetHooks(std::shared_ptr<const Hooks> hooks);
    // The panel whose health is told beside the transmitter's (nullptr: none). Set before Run.
    void SetPanel(EspaPanel* panel) { m_panel = panel; }

    // Where this listener counts its refusals, and whose counts /metrics shows (the other listeners'
    // too, when they count there). Set before Run; by default its own.
    void SetRefusals(Refusals& refusals) { m_refusals = &refusals; }

    // Binds; false with the reason in `error`.
    bool Bind(const ListenAddress& address, std::string* error);
    // Serves until Stop.
    void Run();
    void Stop();

private:
    void Routes();
    void ConsoleRoutes();
    void HookRoutes();
    // The health as /v1/health tells it; whether pages can go out (and come in from the broker).
    std::pair<Json, bool> HealthNow();
    // Publishes a health event whenever the health changes, until Stop.
    void WatchHealth();
    // Publishes a page event for each change of a page's state, until Stop: off the threads that store
    // pages, and many changes read in one go under load.
    void PublishPages();
    // Queues a page read from `request` and answers 202 with its id and Location (503 when it cannot be
    // stored). With an Idempotency-Key header, the same key (of the same token) within a day is answered
    // as the first time and queues nothing; with another request, 422. A refusal is thrown, for the route
    // to answer.
    void Queue(const std::variant<ReadPage, PageRefusal>& read, const httplib::Request& request,
               httplib::Response& response);
    // The key a request came with: every scope when no keys are used; none for no key of the file.
    Key KeyOf(const httplib::Request& request) const;

    Intake& m_intake;
    Refusals m_ownRefusals;
    Refusals* m_refusals = &m_ownRefusals;
    std::optional<Tokens> m_tokens;
    MqttLink* m_mqtt;
    EspaPanel* m_panel = nullptr;
    ConsoleSettings m_console;
    AlertSettings m_alerts;
    std::mutex m_hooksMutex; // guards m_hooks
    std::shared_ptr<const Hooks> m_hooks;
    EventHub m_events{MAX_STREAMS};
    std::unique_ptr<httplib::Server> m_server;
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::thread m_healthThread;
    std::vector<int64_t> m_changed; // pages whose state changed, not yet told (guarded by m_stopMutex)
    std::condition_variable m_pageChanged;
    std::thread m_publisher;
};

} // namespace velkor::gateway
