#pragma once
// The HTTP API (JSON) as the gateway runs it: the server, with the page routes, the health and metrics,
// and the console's routes. Other folders add routes of their own to Server() before Run (the webhooks).
//
// Threads: Run on a thread of its own (the server's pool serves the requests); Stop from any thread.

#include "gateway/health/health.h"
#include "gateway/http/console_routes.h"
#include "gateway/http/server.h"
#include "gateway/intake/intake.h"

#include <optional>
#include <string>

namespace velkor::gateway {

class HttpApi {
public:
    // `tokens`: nullopt lets every request in. `refusals`: where its refusals are counted, and whose
    // counts /metrics shows (the other listeners' too, when they count there).
    HttpApi(Intake& intake, std::optional<Tokens> tokens, const HealthSources& health,
            ConsoleSettings console, Refusals& refusals);
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    HttpServer& Server() { return m_server; }

    // Binds; false with the reason in `error`.
    bool Bind(const ListenAddress& address, std::string* error) { return m_server.Bind(address, error); }
    // Serves until Stop.
    void Run();
    void Stop();

private:
    HttpServer m_server;
    ConsoleRoutes m_console;
};

} // namespace velkor::gateway
