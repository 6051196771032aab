#pragma once
// The HTTP API (JSON): pages in, their state out, the gateway's health and its metrics.
//
// Threads: Run on a thread of its own (the server's pool serves the requests); Stop from any thread.

#include "intake.h"
#include "listen_address.h"
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
    static constexpr int THREADS = 8;         // requests served at once
    static constexpr int MAX_WAITING = 64;    // accepted connections waiting for a thread
    static constexpr int TIMEOUT_SECONDS = 5; // a read, a write, or an idle keep-alive connection

    // `tokens`: nullopt lets every request in.
    HttpApi(Intake& intake, std::optional<Tokens> tokens);
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
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace velkor::gateway
