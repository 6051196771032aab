#include "gateway/http/server.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/http/access.h"
#include "gateway/http/replies.h"
#include "gateway/log/log.h"
#include "gateway/queue/page_store.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velkor::gateway {
namespace {

// httplib's pool with a bound on the connections waiting for a thread: past it the accepting thread waits,
// and further clients wait in the kernel's backlog instead of in our memory.
class BoundedPool final : public httplib::TaskQueue {
public:
    BoundedPool(int threads, std::size_t maxWaiting) : m_maxWaiting(maxWaiting) {
        for (int i = 0; i < threads; ++i) {
            m_threads.emplace_back([this] { Work(); });
        }
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [this] { return m_jobs.size() < m_maxWaiting || m_shutdown; });
        m_jobs.push_back(std::move(fn));
        m_ready.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard lock(m_mutex);
            m_shutdown = true;
        }
        m_ready.notify_all();
        m_room.notify_all();
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }

private:
    void Work() {
        while (true) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_jobs.empty() || m_shutdown; });
                if (m_jobs.empty()) {
                    return;
                }
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_room.notify_one();
            }
            job();
        }
    }

    const std::size_t m_maxWaiting;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    bool m_shutdown = false;
};

// httplib's own refusals (413 for a body over the limit, 404 for no route, 400 for a bad request) carry
// no body: the API's error object for them.
void AnswerUnserved(const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::string> allowed = AllowedMethods(request.path);
    if (allowed && allowed->find(request.method) == std::string::npos &&
        (response.status == 404 || response.status == 400)) {
        // A PUT without a body fails in httplib before routing, as a 400.
        response.set_header("Allow", *allowed);
        ReplyError(response, 405, "method_not_allowed",
                   request.method + " is not a method of " + request.path + " (" + *allowed + ")");
        return;
    }
    const bool needsBody = request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
    const std::string length = request.get_header_value("Content-Length");
    if (response.status == 400 && !request.method.empty() && !needsBody) {
        // The request line was read, and a request without a body fails only in its headers: one longer
        // than httplib takes.
        ReplyError(response, 431, "header_too_large",
                   "a header line is longer than 8 kB, or is not a header");
    } else if (response.status == 400) {
        ReplyError(response, 400, "invalid_http",
                   "the request is not valid HTTP: a POST needs a body (or Content-Length: 0), and no header "
                   "line may be longer than 8 kB");
    } else if (response.status == 413 && !length.empty() && !ParseUnsigned(length, 0, 0xFFFFFFFF) &&
               length.find_first_not_of("0123456789") != std::string::npos) {
        ReplyError(response, 400, "bad_content_length", "Content-Length is not a number of bytes: " + length);
    } else if (response.status == 413) {
        ReplyError(response, 413, "body_too_large",
                   "the body is larger than " + std::to_string(HttpServer::MAX_WEBHOOK_BODY / 1024) + " kB");
    } else if (response.status == 404) {
        ReplyError(response, 404, "no_such_resource",
                   "no such resource: " + request.method + " " + request.path);
    } else if (response.status == 414) {
        ReplyError(response, 414, "address_too_long", "the address is too long");
    } else {
        ReplyError(response, response.status, "refused", "the request cannot be served");
    }
}

// Whatever a handler throws ends here, never in the process: logged, and answered without the library's
// words.
void AnswerFailure(const httplib::Request& request, httplib::Response& response, std::exception_ptr error) {
    const std::string what = "http " + ValidUtf8(request.method + " " + request.path);
    try {
        std::rethrow_exception(error);
    } catch (const StoreError& failure) {
        LogError(what + ": " + failure.what());
        ReplyError(response, 503, "queue_unavailable",
                   std::string("the queue cannot be read or stored: ") + failure.what());
    } catch (const std::exception& failure) {
        LogError(what + ": internal error: " + ValidUtf8(failure.what()));
        ReplyError(response, 500, "internal_error", "internal error (the gateway's log says more)");
    } catch (...) {
        LogError(what + ": internal error");
        ReplyError(response, 500, "internal_error", "internal error (the gateway's log says more)");
    }
}

// The token a request carries: in its Authorization header; for Gotify's route also as its clients give
// it (X-Gotify-Key, ?token=); for ntfy's, its ?auth= (the Authorization header's value in base64).
std::optional<std::string> TokenOf(const httplib::Request& request) {
    if (request.has_header("Authorization")) {
        return TokenOfAuthorization(request.get_header_value("Authorization")).value_or("");
    }
    if (request.path == "/message") {
        if (request.has_header("X-Gotify-Key")) {
            return request.get_header_value("X-Gotify-Key");
        }
        if (const std::optional<std::string> token = Value(QueryOf(request), "token")) {
            return token;
        }
    } else if (!request.path.starts_with("/v1/")) {
        if (const std::optional<std::string> auth = Value(QueryOf(request), "auth")) {
            const std::optional<std::string> header = DecodeBase64(*auth);
            return header ? TokenOfAuthorization(*header).value_or("") : "";
        }
    }
    return std::nullopt;
}

} // namespace

HttpServer::HttpServer(std::optional<Tokens> tokens, Refusals& refusals)
    : m_tokens(std::move(tokens)), m_refusals(refusals) {
    m_server.new_task_queue = [] { return new BoundedPool(THREADS + MAX_STREAMS, MAX_WAITING); };
    // httplib's own default is SO_REUSEPORT alone, with which a second gateway on the same port would share
    // its connections instead of being refused, and the connections this one cut off would keep a
    // restarted gateway from binding its port for a minute (their TIME_WAIT carries the option).
    m_server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The largest body of any route; each route's own limit is checked before its body is read.
    m_server.set_payload_max_length(MAX_WEBHOOK_BODY);
    m_server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        CountRefusal(request, response);
    });
    // An answer goes out in two writes (head, body): without this, Nagle's wait for the client's delayed
    // ACK adds 40 ms to every request on a kept-alive connection.
    m_server.set_tcp_nodelay(true);
    m_server.set_read_timeout(TIMEOUT_SECONDS, 0);
    m_server.set_write_timeout(TIMEOUT_SECONDS, 0);
    m_server.set_keep_alive_timeout(TIMEOUT_SECONDS);
    m_server.set_keep_alive_max_count(1000);
    m_server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        return BeforeRouting(request, response);
    });
    // Nothing may leave the error handler: httplib calls it outside its own guard.
    m_server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        try {
            if (response.body.empty()) {
                AnswerUnserved(request, response);
            }
        } catch (const std::exception& error) {
            LogError(std::string("http: an error answer failed: ") + error.what());
            response.status = 500;
            response.set_content("{\"error\":\"internal error\",\"code\":\"internal_error\"}\n",
                                 "application/json");
        }
    });
    m_server.set_exception_handler(AnswerFailure);
}

void HttpServer::CountRefusal(const httplib::Request& request, const httplib::Response& response) {
    // Health's 503 is its verdict (pages cannot go out), not a request refused.
    if (response.status < 400 || request.path == "/v1/health") {
        return;
    }
    std::string why;
    if (const Json body = Json::parse(response.body, nullptr, false);
        body.is_object() && body.contains("error") && body["error"].is_string()) {
        why = body["error"].get<std::string>();
    }
    m_refusals.Count("http", HttpRefusalReason(response.status),
                     request.method + " " + request.path + " from " + PeerText(request) + ": " +
                         std::to_string(response.status) + " " + why);
}

httplib::Server::HandlerResponse HttpServer::BeforeRouting(const httplib::Request& request,
                                                           httplib::Response& response) const {
    using Result = httplib::Server::HandlerResponse;
    // Two lengths make the body's end a guess that a proxy may make otherwise (RFC 9112, 6.3).
    if (request.get_header_value_count("Content-Length") > 1) {
        ReplyError(response, 400, "duplicate_content_length", "more than one Content-Length header");
        return Result::Handled;
    }
    // No browser needs several ranges of one answer, and httplib would make each a copy of it (8 kB became
    // 8 MB), of an error answer too: several are served as the whole answer, once (RFC 9110 lets a server
    // ignore Range). The request is httplib's own, not const where it lives.
    if (request.ranges.size() > 1) {
        auto& own = const_cast<httplib::Request&>(request);
        own.ranges.clear();
        own.headers.erase("Range"); // or the file handler still answers 206
    }
    const std::size_t limit = request.path.starts_with("/v1/hooks/") ? MAX_WEBHOOK_BODY : MAX_BODY;
    const std::optional<uint32_t> length =
        ParseUnsigned(request.get_header_value("Content-Length"), 0, 0xFFFFFFFF);
    if ((length && *length > limit) || request.body.size() > limit) {
        ReplyError(response, 413, "body_too_large",
                   "the body is larger than " + std::to_string(limit / 1024) + " kB");
        return Result::Handled;
    }
    const unsigned needed = ScopeNeeded(request.method, request.path);
    if (!m_tokens || needed == 0) {
        return Result::Unhandled;
    }
    const std::optional<std::string> token = TokenOf(request);
    if (const std::optional<AccessRefusal> refusal =
            CheckAccess(token ? m_tokens->Match(*token) : std::nullopt, token.has_value(), needed)) {
        if (refusal->status == 401) {
            response.set_header("WWW-Authenticate", "Bearer realm=\"velkor-gateway\"");
        }
        ReplyError(response, refusal->status, refusal->code, refusal->message);
        return Result::Handled;
    }
    return Result::Unhandled;
}

Key HttpServer::KeyOf(const httplib::Request& request) const {
    if (!m_tokens) {
        return Key{};
    }
    const std::optional<std::string> token = TokenOf(request);
    return (token ? m_tokens->Match(*token) : std::nullopt).value_or(Key{"", 0, ""});
}

bool HttpServer::Bind(const ListenAddress& address, std::string* error) {
    // httplib does not say why a bind failed; our own try does, and leaves the port free again.
    const int probe = ListenOn(address, error);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    if (!m_server.bind_to_port(address.host, address.port)) {
        *error = "cannot listen on " + address.Text();
        return false;
    }
    return true;
}

void HttpServer::Run() {
    m_server.listen_after_bind();
}

void HttpServer::Stop() {
    m_server.stop();
}

} // namespace velkor::gateway
