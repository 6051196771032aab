#pragma once
// The HTTP API (JSON): pages in, their state out, the gateway's health and its metrics.
//
// Threads: Run on a thread of its own (the server's pool serves the requests); Stop from any thread.

#include "intake.h"
#include "listen_address.h"
#include "mqtt_link.h"
#include "tokens.h"

#include <memory>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

namespace velkor::gateway {

class HttpApi {
public:
    static constexpr std::size_t MAX_BODY = 16 * 1024;
    // A connection holds its thread until it is cut off: many threads and short waits keep a crowd of
    // idle connections from starving the systems that page (on a LAN a request's bytes come within
    // milliseconds). Past THREADS + MAX_WAITING, further clients wait in the kernel's backlog.
    static constexpr int THREADS = 32;        // connections served at once
    static constexpr int MAX_WAITING = 64;    // accepted connections waiting for a thread
    static constexpr int TIMEOUT_SECONDS = 2; // a read, a write, or an idle keep-alive connection

    // `tokens`: nullopt lets every request in. `mqtt`: the broker link whose health is shown, if any.
    HttpApi(Intake& intake, std::optional<Tokens> tokens, MqttLink* mqtt = nullptr);
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Binds; false with the reason in `error`.
    bool Bind(const ListenAddress& address, std::string* error);
    // Serves until Stop.
    void Run();
    void Stop();

private:
    void Routes();

    Intake& m_intake;
    std::optional<Tokens> m_tokens;
    MqttLink* m_mqtt;
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace velkor::gateway
