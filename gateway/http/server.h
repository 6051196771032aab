#pragma once
// The HTTP server every route is added to: its threads, its limits, its keys, and the answers of what no
// route serves (a body too large, no such resource, a method a resource has not, a handler that failed).
//
// Threads: Run on a thread of its own (its pool serves the requests); Stop from any thread.

#include "gateway/net/listen_address.h"
#include "gateway/net/refusals.h"
#include "gateway/net/tokens.h"

#include <httplib.h>

#include <memory>
#include <optional>
#include <string>

namespace velkor::gateway {

class HttpServer {
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

    // `tokens`: nullopt lets every request in. `refusals`: where the refusals are counted.
    HttpServer(std::optional<Tokens> tokens, Refusals& refusals);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Where the routes are added, before Run.
    httplib::Server& Routes() { return m_server; }
    // The key a request came with: every scope when no keys are used; none for no key of the file.
    Key KeyOf(const httplib::Request& request) const;
    bool KeysRequired() const { return m_tokens.has_value(); }
    Refusals& RefusalCounts() { return m_refusals; }

    // Binds; false with the reason in `error`.
    bool Bind(const ListenAddress& address, std::string* error);
    // Serves until Stop.
    void Run();
    void Stop();

private:
    httplib::Server::HandlerResponse BeforeRouting(const httplib::Request& request,
                                                   httplib::Response& response) const;
    void CountRefusal(const httplib::Request& request, const httplib::Response& response);

    std::optional<Tokens> m_tokens;
    Refusals& m_refusals;
    httplib::Server m_server;
};

} // namespace velkor::gateway
