#include "http_api.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "log.h"
#include "page_json.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <unordered_set>

namespace velkor::gateway {
namespace {

constexpr int MAX_LIST = 1000;

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

void Reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    // Paths, query values and logins are the client's bytes: whatever is not UTF-8 shows as U+FFFD.
    response.set_content(JsonText(body) + "\n", "application/json");
}

void ReplyError(httplib::Response& response, int status, const std::string& message) {
    if (status == 503) {
        response.set_header("Retry-After", "1"); // the queue or the disk is held up for a moment
    }
    Reply(response, status, Json{{"error", message}});
}

// A request's fingerprint, to tell whether a retry with the same idempotency key asks the same thing
// (FNV-1a over what it asks: its target, its type and its body).
std::string RequestFingerprint(const httplib::Request& request) {
    uint64_t hash = 14695981039346656037ULL;
    const std::string type = request.get_header_value("Content-Type");
    for (const std::string* part : {&request.method, &request.target, &type, &request.body}) {
        for (const unsigned char c : *part) {
            hash = (hash ^ c) * 1099511628211ULL;
        }
        hash = (hash ^ 0xFF) * 1099511628211ULL; // a separator no byte of the parts can shift
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// An Idempotency-Key header's value: 1 to 255 visible ASCII characters (a UUID, a job id).
bool IdempotencyKeyValid(const std::string& key) {
    return !key.empty() && key.size() <= 255 &&
           std::all_of(key.begin(), key.end(), [](unsigned char c) { return c >= 0x21 && c <= 0x7E; });
}

std::string PeerText(const httplib::Request& request) {
    return HostPortText(request.remote_addr, request.remote_port);
}

// The options of the query string alone. httplib also files a form-encoded body's fields as parameters,
// and a page's text is never options.
httplib::Params QueryOf(const httplib::Request& request) {
    httplib::Params params;
    const std::size_t mark = request.target.find('?');
    if (mark != std::string::npos) {
        httplib::detail::parse_query_text(request.target.substr(mark + 1), params);
    }
    return params;
}

std::vector<std::string> Values(const httplib::Params& params, const std::string& key) {
    std::vector<std::string> values;
    for (auto [it, end] = params.equal_range(key); it != end; ++it) {
        values.push_back(it->second);
    }
    return values;
}

std::optional<std::string> Value(const httplib::Params& params, const std::string& key) {
    auto found = params.find(key);
    return found == params.end() ? std::nullopt : std::optional<std::string>(found->second);
}

// The token of an "Authorization: Bearer TOKEN" header; the scheme's name is case-insensitive.
std::optional<std::string_view> BearerToken(const std::string& header) {
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) {
            return std::nullopt;
        }
    }
    return std::string_view(header).substr(scheme.size());
}

// The methods each resource answers, for 405's Allow.
std::optional<std::string> AllowedMethods(const std::string& path) {
    if (path == "/v1/pages") {
        return "GET, POST";
    }
    if (path.starts_with("/v1/pages/") && path.find('/', 10) == std::string::npos) {
        return "GET, DELETE";
    }
    if (path == "/v1/time" || path.starts_with("/v1/hooks/")) {
        return "POST";
    }
    if (path == "/v1/health" || path == "/metrics" || path == "/v1/events" || path == "/v1/watches" ||
        path == "/v1/texts" || path == "/v1/key") {
        return "GET";
    }
    return std::nullopt;
}

// The scope a request needs; 0 for the console's own files (they hold no secret, and the page asks for
// a key itself).
unsigned ScopeNeeded(const httplib::Request& request) {
    const std::string& path = request.path;
    if (!path.starts_with("/v1/") && path != "/metrics") {
        return 0;
    }
    if (request.method == "POST" && path == "/v1/time") {
        return ADMIN;
    }
    if (request.method == "POST" || request.method == "DELETE") {
        return SEND; // a cancel of another's page needs admin too: its handler knows whose it is
    }
    if (path == "/v1/key") {
        return SEND | READ | ADMIN; // any one of them
    }
    return READ;
}

std::string ScopeNames(unsigned scopes) {
    std::string names;
    for (const auto& [scope, name] :
         {std::pair{SEND, "send"}, std::pair{READ, "read"}, std::pair{ADMIN, "admin"}}) {
        if ((scopes & scope) != 0) {
            names += (names.empty() ? "" : ",") + std::string(name);
        }
    }
    return names.empty() ? "none" : names;
}

std::optional<int64_t> IdOf(const httplib::Request& request) {
    std::optional<uint32_t> id = ParseUnsigned(request.matches[1].str(), 1, 0xFFFFFFFF);
    if (!id) {
        return std::nullopt;
    }
    return static_cast<int64_t>(*id);
}

int TtlText(const std::string& text) {
    std::optional<uint32_t> ttl = ParseUnsigned(text, 1, MAX_TTL_SECONDS);
    if (!ttl) {
        throw PageRefusal{422, "ttl: a whole number of seconds from 1 to " + std::to_string(MAX_TTL_SECONDS)};
    }
    return static_cast<int>(*ttl);
}

} // namespace

HttpApi::HttpApi(Intake& intake, std::optional<Tokens> tokens, MqttLink* mqtt, ConsoleSettings console,
                 AlertSettings alerts)
    : m_intake(intake), m_tokens(std::move(tokens)), m_mqtt(mqtt), m_console(std::move(console)),
      m_alerts(std::move(alerts)), m_server(std::make_unique<httplib::Server>()) {
    m_server->new_task_queue = [] { return new BoundedPool(THREADS + MAX_STREAMS, MAX_WAITING); };
    // Every change of a page's state goes to the open consoles, as the listing shows the page.
    const auto changed = [this](int64_t id) {
        {
            std::lock_guard lock(m_stopMutex);
            m_changed.push_back(id);
        }
        m_pageChanged.notify_one();
    };
    m_intake.Store().OnStateChange(changed);
    m_intake.Store().OnSending(changed); // queued → sending is a change a person watches for
    // httplib's own default is SO_REUSEPORT alone, with which a second gateway on the same port would share
    // its connections instead of being refused, and the connections this one cut off would keep a
    // restarted gateway from binding its port for a minute (their TIME_WAIT carries the option).
    m_server->set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The largest body of any route; each route's own limit is checked before its body is read.
    m_server->set_payload_max_length(MAX_WEBHOOK_BODY);
    m_server->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        // Health's 503 is its verdict (pages cannot go out), not a request refused.
        if (response.status >= 400 && request.path != "/v1/health") {
            std::string why;
            if (const Json body = Json::parse(response.body, nullptr, false);
                body.is_object() && body.contains("error") && body["error"].is_string()) {
                why = body["error"].get<std::string>();
            }
            m_refusals->Count("http", HttpRefusalReason(response.status),
                              request.method + " " + request.path + " from " + PeerText(request) + ": " +
                                  std::to_string(response.status) + " " + why);
        }
    });
    // An answer goes out in two writes (head, body): without this, Nagle's wait for the client's delayed
    // ACK adds 40 ms to every request on a kept-alive connection.
    m_server->set_tcp_nodelay(true);
    m_server->set_read_timeout(TIMEOUT_SECONDS, 0);
    m_server->set_write_timeout(TIMEOUT_SECONDS, 0);
    m_server->set_keep_alive_timeout(TIMEOUT_SECONDS);
    m_server->set_keep_alive_max_count(1000);
    Routes();
}

HttpApi::~HttpApi() = default;

bool HttpApi::Bind(const ListenAddress& address, std::string* error) {
    // httplib does not say why a bind failed; our own try does, and leaves the port free again.
    const int probe = ListenOn(address, error);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    if (!m_server->bind_to_port(address.host, address.port)) {
        *error = "cannot listen on " + address.Text();
        return false;
    }
    return true;
}

void HttpApi::Run() {
    m_healthThread = std::thread([this] { WatchHealth(); });
    m_publisher = std::thread([this] { PublishPages(); });
    m_server->listen_after_bind();
}

void HttpApi::Stop() {
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_pageChanged.notify_all();
    m_events.Close(); // every console's stream ends now, not at its next keep-alive
    m_server->stop();
    for (std::thread* thread : {&m_healthThread, &m_publisher}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

void HttpApi::PublishPages() {
    std::unique_lock lock(m_stopMutex);
    while (true) {
        m_pageChanged.wait(lock, [this] { return m_stopping || !m_changed.empty(); });
        if (m_stopping) {
            return;
        }
        std::vector<int64_t> ids;
        ids.swap(m_changed);
        lock.unlock();
        // A page that changed twice before it was read is told once, as it is now.
        std::vector<int64_t> once;
        std::unordered_set<int64_t> seen;
        for (const int64_t id : ids) {
            if (seen.insert(id).second) {
                once.push_back(id);
            }
        }
        try {
            for (const PageRecord& page : m_intake.Store().Pages(once)) {
                m_events.Publish("page", JsonText(PageJson(page, false)));
            }
        } catch (const StoreError& error) {
            LogWarning(std::string("console: ") + std::to_string(once.size()) +
                       " page changes not told: " + error.what());
        }
        lock.lock();
    }
}

void HttpApi::WatchHealth() {
    std::string told;
    std::unique_lock lock(m_stopMutex);
    while (!m_stopping) {
        lock.unlock();
        try {
            const std::string now = JsonText(HealthNow().first);
            if (now != told) {
                m_events.Publish("health", now);
                told = now;
            }
        } catch (const std::exception& error) {
            LogWarning(std::string("console: health not told: ") + error.what());
        }
        lock.lock();
        m_stopped.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; });
    }
}

std::pair<Json, bool> HttpApi::HealthNow() {
    const Health health = m_intake.Sender().CurrentHealth();
    // The first thing that keeps pages from going out names the state.
    std::string status = "ok";
    if (!health.storeProblem.empty()) {
        status = "queue cannot be stored";
    } else if (!health.open) {
        status = "port closed";
    } else if (health.writesFailing) {
        status = "writes failing";
    }
    Json body = {{"status", status},
                 {"port", health.port},
                 {"open", health.open},
                 {"lost_since", TimeOrNull(health.lostSince)}};
    if (!health.portProblem.empty()) {
        body["port_problem"] = health.portProblem;
    }
    if (!health.storeProblem.empty()) {
        body["store_problem"] = health.storeProblem;
    }
    body["queue_depth"] = health.queueDepth;
    body["frames_written"] = health.framesWritten;
    body["write_failures"] = health.writeFailures;
    body["last_failure"] = health.lastFailure.empty() ? Json(nullptr)
                                                      : Json{{"time", IsoTime(health.lastFailureTime)},
                                                             {"reason", health.lastFailure}};
    // What does not stop pages going out, but someone should know of.
    Json warnings = Json::array();
    if (!health.sequenceProblem.empty()) {
        body["sequence_problem"] = health.sequenceProblem;
        warnings.push_back("sequence numbers are counted in the queue, which the window and velkor-cli do "
                           "not see: " +
                           health.sequenceProblem);
    }
    if (health.drainSeconds > 0) {
        body["drain_seconds"] = std::round(health.drainSeconds);
        warnings.push_back("the queue takes about " + std::to_string(std::lround(health.drainSeconds)) +
                           " s to send at the port's pace, and its first page expires in " +
                           std::to_string(std::lround(health.firstExpiresIn)) +
                           " s: pages will expire unsent");
    }
    body["warnings"] = warnings;
    bool whole = status == "ok";
    if (m_mqtt) {
        const MqttHealth broker = m_mqtt->CurrentHealth();
        Json mqtt = {{"broker", broker.broker},
                     {"connected", broker.connected},
                     {broker.connected ? "connected_since" : "lost_since", TimeOrNull(broker.since)}};
        if (!broker.connected) {
            mqtt["problem"] = broker.problem;
            if (whole) {
                body["status"] = "broker not connected";
            }
        }
        mqtt["accepted"] = broker.accepted;
        mqtt["rejected"] = broker.rejected;
        mqtt["duplicates"] = broker.duplicates;
        body["mqtt"] = mqtt;
        whole = whole && broker.connected;
    }
    if (m_panel) {
        const PanelHealth calls = m_panel->CurrentHealth();
        Json panel = {{"port", calls.port},
                      {"open", calls.open},
                      {"lost_since", TimeOrNull(calls.lostSince)},
                      {"calls", calls.calls},
                      {"unknown_calls", calls.unknownCalls},
                      {"naks", calls.naks},
                      {"link_resets", calls.linkResets},
                      {"last_call", TimeOrNull(calls.lastCall)}};
        if (!calls.open) {
            panel["problem"] = calls.problem;
            if (whole) {
                body["status"] = "panel port closed";
            }
        }
        body["panel"] = panel;
        whole = whole && calls.open;
    }
    return {body, whole};
}

void HttpApi::Queue(const std::variant<ReadPage, PageRefusal>& read, const httplib::Request& request,
                    httplib::Response& response) {
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        throw *refusal;
    }
    const ReadPage& accepted = std::get<ReadPage>(read);
    int64_t id = 0;
    bool replayed = false;
    if (request.has_header("Idempotency-Key")) {
        // A client that retries after a lost answer gets the first answer, and the page once.
        const std::string key = request.get_header_value("Idempotency-Key");
        if (request.get_header_value_count("Idempotency-Key") > 1 || !IdempotencyKeyValid(key)) {
            throw PageRefusal{422, "Idempotency-Key: one value of 1 to 255 visible ASCII characters"};
        }
        std::variant<Notified, std::string> stored =
            m_intake.SubmitNotification({accepted.page}, "idempotency-key " + accepted.page.key + "\n" + key,
                                        RequestFingerprint(request));
        if (const auto* reason = std::get_if<std::string>(&stored)) {
            ReplyError(response, 503, "not queued: " + *reason);
            return;
        }
        const Notified& notified = std::get<Notified>(stored);
        if (notified.conflict) {
            throw PageRefusal{422, "Idempotency-Key " + key +
                                       " was used within a day for another request (page " +
                                       std::to_string(notified.pages.empty() ? 0 : notified.pages.front()) +
                                       "); a new request needs a new key"};
        }
        id = notified.pages.empty() ? 0 : notified.pages.front();
        replayed = notified.duplicate;
    } else {
        std::variant<int64_t, std::string> submitted = m_intake.Submit(accepted.page);
        if (const auto* reason = std::get_if<std::string>(&submitted)) {
            ReplyError(response, 503, "not queued: " + *reason);
            return;
        }
        id = std::get<int64_t>(submitted);
    }
    Json body = {{"id", id}, {"state", "queued"}};
    if (!accepted.warning.empty()) {
        body["warning"] = accepted.warning;
    }
    if (replayed) {
        response.set_header("Idempotent-Replayed", "true");
    }
    response.set_header("Location", "/v1/pages/" + std::to_string(id));
    Reply(response, 202, body);
}

Key HttpApi::KeyOf(const httplib::Request& request) const {
    if (!m_tokens) {
        return Key{};
    }
    const std::string header = request.get_header_value("Authorization"); // the token points into it
    const std::optional<std::string_view> token = BearerToken(header);
    return (token ? m_tokens->Match(*token) : std::nullopt).value_or(Key{"", 0});
}

void HttpApi::Routes() {
    httplib::Server& server = *m_server;

    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        // Two lengths make the body's end a guess that a proxy may make otherwise (RFC 9112, 6.3).
        if (request.get_header_value_count("Content-Length") > 1) {
            ReplyError(response, 400, "more than one Content-Length header");
            return httplib::Server::HandlerResponse::Handled;
        }
        // No browser needs several ranges of one answer, and httplib would make each a copy of it (8 kB
        // became 8 MB), of an error answer too: several are served as the whole answer, once (RFC 9110
        // lets a server ignore Range). The request is httplib's own, not const where it lives.
        if (request.ranges.size() > 1) {
            auto& own = const_cast<httplib::Request&>(request);
            own.ranges.clear();
            own.headers.erase("Range"); // or the file handler still answers 206
        }
        const std::size_t limit = request.path.starts_with("/v1/hooks/") ? MAX_WEBHOOK_BODY : MAX_BODY;
        const std::optional<uint32_t> length =
            ParseUnsigned(request.get_header_value("Content-Length"), 0, 0xFFFFFFFF);
        if ((length && *length > limit) || request.body.size() > limit) {
            ReplyError(response, 413, "the body is larger than " + std::to_string(limit / 1024) + " kB");
            return httplib::Server::HandlerResponse::Handled;
        }
        const unsigned needed = ScopeNeeded(request);
        if (!m_tokens || needed == 0) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const std::string header = request.get_header_value("Authorization");
        const std::optional<std::string_view> token = BearerToken(header);
        const std::optional<Key> key = token ? m_tokens->Match(*token) : std::nullopt;
        if (!key) {
            response.set_header("WWW-Authenticate", "Bearer realm=\"velkor-gateway\"");
            ReplyError(response, 401,
                       header.empty() ? "a token is needed: Authorization: Bearer TOKEN"
                                      : "the token is not one of the gateway's");
            return httplib::Server::HandlerResponse::Handled;
        }
        if ((key->scopes & needed) == 0) {
            ReplyError(response, 403,
                       "the key " + (key->name.empty() ? std::string("given") : "\"" + key->name + "\"") +
                           " may not " +
                           (needed == ADMIN  ? "do this (admin)"
                            : needed == SEND ? "send"
                                             : "read") +
                           "; its scopes: " + ScopeNames(key->scopes));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // httplib's own refusals (413 for a body over the limit, 404 for no route, 400 for a bad request) carry
    // no body: give them the API's error object. Nothing may leave this handler: httplib calls it outside
    // its own guard.
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        try {
            if (!response.body.empty()) {
                return;
            }
            const std::optional<std::string> allowed = AllowedMethods(request.path);
            if (allowed && allowed->find(request.method) == std::string::npos &&
                (response.status == 404 || response.status == 400)) {
                // A PUT without a body fails in httplib before routing, as a 400.
                response.set_header("Allow", *allowed);
                ReplyError(response, 405,
                           request.method + " is not a method of " + request.path + " (" + *allowed + ")");
                return;
            }
            std::string message = "the request cannot be served";
            const bool needsBody =
                request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
            if (response.status == 400 && !request.method.empty() && !needsBody) {
                // The request line was read, and a request without a body fails only in its headers: one
                // longer than httplib takes.
                response.status = 431;
                message = "a header line is longer than 8 kB, or is not a header";
            } else if (response.status == 400) {
                message = "the request is not valid HTTP: a POST needs a body (or Content-Length: 0), and no "
                          "header line may be longer than 8 kB";
            } else if (response.status == 413) {
                const std::string length = request.get_header_value("Content-Length");
                if (!ParseUnsigned(length, 0, 0xFFFFFFFF) && !length.empty() &&
                    length.find_first_not_of("0123456789") != std::string::npos) {
                    response.status = 400;
                    message = "Content-Length is not a number of bytes: " + length;
                } else {
                    message = "the body is larger than " + std::to_string(MAX_WEBHOOK_BODY / 1024) + " kB";
                }
            } else if (response.status == 404) {
                message = "no such resource: " + request.method + " " + request.path;
            } else if (response.status == 414) {
                message = "the address is too long";
            }
            ReplyError(response, response.status, message);
        } catch (const std::exception& error) {
            LogError(std::string("http: an error answer failed: ") + error.what());
            response.status = 500;
            response.set_content("{\"error\":\"internal error\"}\n", "application/json");
        }
    });

    // Whatever a handler throws ends here, never in the process: logged, and answered without the
    // library's words.
    server.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                    std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const StoreError& failure) {
            LogError("http " + ValidUtf8(request.method + " " + request.path) + ": " + failure.what());
            ReplyError(response, 503, std::string("the queue cannot be read or stored: ") + failure.what());
        } catch (const std::exception& failure) {
            LogError("http " + ValidUtf8(request.method + " " + request.path) +
                     ": internal error: " + ValidUtf8(failure.what()));
            ReplyError(response, 500, "internal error (the gateway's log says more)");
        } catch (...) {
            LogError("http " + ValidUtf8(request.method + " " + request.path) + ": internal error");
            ReplyError(response, 500, "internal error (the gateway's log says more)");
        }
    });

    server.Post("/v1/pages", [this](const httplib::Request& request, httplib::Response& response) {
        NewPage page;
        page.source = "http " + PeerText(request);
        page.key = KeyOf(request).name;
        if (!page.key.empty()) {
            page.source += " (token " + page.key + ")";
        }
        try {
            const std::string type = request.get_header_value("Content-Type");
            const httplib::Params query = QueryOf(request);
            // curl -d sends any body as a form; one that starts with { is read as the JSON it is, unless
            // the client says text/plain. Any other body is the text, whole: a form's & and = are letters.
            const bool json = type.find("json") != std::string::npos ||
                              (type.find("text/plain") == std::string::npos && request.body.starts_with('{'));
            std::variant<ReadPage, PageRefusal> read;
            if (json) {
                read = PageFromJson(request.body, std::move(page), m_intake);
            } else {
                // A plain-text body for shell scripts: the recipients and settings in the query.
                std::string text = request.body;
                if (text.ends_with('\n')) {
                    text.pop_back();
                    if (text.ends_with('\r')) {
                        text.pop_back();
                    }
                }
                const std::vector<std::string> to = Values(query, "to");
                if (const std::optional<std::string> priority = Value(query, "priority")) {
                    page.priority = ReadPriority(*priority);
                }
                if (const std::optional<std::string> ttl = Value(query, "ttl")) {
                    page.ttlSeconds = TtlText(*ttl);
                    page.ttlGiven = true;
                }
                read = CompletePage(std::move(page), to, text, m_intake);
            }
            Queue(read, request, response);
        } catch (const PageRefusal& error) {
            ReplyError(response, error.status, error.message);
        }
    });

    server.Get("/v1/pages", [this](const httplib::Request& request, httplib::Response& response) {
        const httplib::Params query = QueryOf(request);
        PageQuery pages;
        if (const std::optional<std::string> state = Value(query, "state")) {
            if (!m_intake.Store().CountByState().contains(*state)) {
                ReplyError(response, 422, "state: queued, sent, expired, cancelled or failed");
                return;
            }
            pages.state = state;
        }
        if (const std::optional<std::string> limit = Value(query, "limit")) {
            std::optional<uint32_t> value = ParseUnsigned(*limit, 1, MAX_LIST);
            if (!value) {
                ReplyError(response, 422, "limit: a number from 1 to " + std::to_string(MAX_LIST));
                return;
            }
            pages.limit = static_cast<int>(*value);
        }
        if (const std::optional<std::string> search = Value(query, "q")) {
            if (search->size() > 200) {
                ReplyError(response, 422, "q: at most 200 bytes");
                return;
            }
            // SQLite's LIKE ends its pattern at a NUL: the search would match every page.
            if (search->find('\0') != std::string::npos) {
                ReplyError(response, 422, "q: no text holds a NUL byte (%00)");
                return;
            }
            pages.search = *search;
        }
        if (const std::optional<std::string> before = Value(query, "before")) {
            std::optional<uint32_t> value = ParseUnsigned(*before, 1, 0xFFFFFFFF);
            if (!value) {
                ReplyError(response, 422, "before: a page's id (the listing goes on with older pages)");
                return;
            }
            pages.before = static_cast<int64_t>(*value);
        }
        Json list = Json::array();
        const std::vector<PageRecord> records = m_intake.Store().List(pages);
        for (const PageRecord& page : records) {
            list.push_back(PageJson(page, false));
        }
        Json body = {{"pages", list}};
        if (static_cast<int>(records.size()) == pages.limit) {
            // The next page of the listing: the same query, older pages.
            std::string next = "/v1/pages?";
            if (pages.state) {
                next += "state=" + *pages.state + "&";
            }
            if (!pages.search.empty()) {
                next += "q=" + httplib::detail::encode_query_param(pages.search) + "&";
            }
            next += "limit=" + std::to_string(pages.limit) + "&before=" + std::to_string(records.back().id);
            body["next"] = next;
        }
        Reply(response, 200, body);
    });

    server.Get(R"(/v1/pages/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        std::optional<int64_t> id = IdOf(request);
        std::optional<PageRecord> page = id ? m_intake.Store().Get(*id) : std::nullopt;
        if (!page) {
            ReplyError(response, 404, "no page " + request.matches[1].str());
            return;
        }
        Reply(response, 200, PageJson(*page));
    });

    server.Delete(
        R"(/v1/pages/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
            std::optional<int64_t> id = IdOf(request);
            Cancelled cancel;
            if (id && m_tokens) {
                const Key key = KeyOf(request);
                std::optional<PageRecord> page = m_intake.Store().Get(*id);
                if (page && (key.scopes & ADMIN) == 0 && (key.name.empty() || page->key != key.name)) {
                    ReplyError(response, 403,
                               "page " + std::to_string(*id) +
                                   " was not sent with this key: cancelling it needs "
                                   "an admin key");
                    return;
                }
            }
            if (id) {
                cancel = m_intake.Store().Cancel(*id, QueueNow());
            }
            switch (cancel.outcome) {
            case Cancelled::Outcome::NoSuchPage:
                ReplyError(response, 404, "no page " + request.matches[1].str());
                return;
            case Cancelled::Outcome::Sending:
                ReplyError(response, 409,
                           "page " + std::to_string(*id) + " is being sent now; its frame goes out");
                return;
            case Cancelled::Outcome::NotQueued:
                ReplyError(response, 409,
                           "page " + std::to_string(cancel.page->id) + " is " + cancel.page->state +
                               "; only a queued page can be cancelled");
                return;
            case Cancelled::Outcome::Cancelled:
                break;
            }
            LogLine("page " + std::to_string(*id) + " cancelled by http " + PeerText(request));
            Reply(response, 200, PageJson(*cancel.page));
        });

    server.Post("/v1/time", [this](const httplib::Request& request, httplib::Response& response) {
        NewPage page;
        page.kind = PageKind::Time;
        page.recipients = {Recipient{BROADCAST_ADDRESS, "all"}};
        page.source = "http " + PeerText(request);
        try {
            if (!request.body.empty()) {
                Json body = Json::parse(request.body, nullptr, false);
                if (body.is_discarded() || !body.is_object()) {
                    throw PageRefusal{400, "the body is not a JSON object"};
                }
                for (const auto& [key, value] : body.items()) {
                    if (key == "priority") {
                        page.priority = ReadPriority(value);
                    } else if (key == "ttl") {
                        page.ttlSeconds = ReadTtl(value);
                    } else {
                        throw PageRefusal{422, "unknown field \"" + key + "\" (priority, ttl)"};
                    }
                }
            }
        } catch (const PageRefusal& error) {
            ReplyError(response, error.status, error.message);
            return;
        }
        std::variant<int64_t, std::string> id = m_intake.Submit(page);
        if (auto* reason = std::get_if<std::string>(&id)) {
            ReplyError(response, 503, "not queued: " + *reason);
            return;
        }
        response.set_header("Location", "/v1/pages/" + std::to_string(std::get<int64_t>(id)));
        Reply(response, 202, Json{{"id", std::get<int64_t>(id)}, {"state", "queued"}});
    });

    server.Get("/v1/health", [this](const httplib::Request&, httplib::Response& response) {
        const auto [body, whole] = HealthNow();
        // 503 while the queue cannot be stored, the port is closed or refuses every write, or the broker is
        // away, so that a plain HTTP check sees that pages cannot go out, or cannot come in.
        Reply(response, whole ? 200 : 503, body);
    });

    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const Health health = m_intake.Sender().CurrentHealth();
        std::string text = "# HELP velkor_gateway_pages Pages in the database by state.\n"
                           "# TYPE velkor_gateway_pages gauge\n";
        for (const auto& [state, count] : m_intake.Store().CountByState()) {
            text += "velkor_gateway_pages{state=\"" + state + "\"} " + std::to_string(count) + "\n";
        }
        text += "# HELP velkor_gateway_queue_depth Pages waiting to be sent.\n"
                "# TYPE velkor_gateway_queue_depth gauge\n"
                "velkor_gateway_queue_depth " +
                std::to_string(health.queueDepth) +
                "\n"
                "# HELP velkor_gateway_port_up Whether the transmitter's port is open.\n"
                "# TYPE velkor_gateway_port_up gauge\n"
                "velkor_gateway_port_up " +
                std::string(health.open ? "1" : "0") +
                "\n"
                "# HELP velkor_gateway_frames_written_total Frames written whole to the port.\n"
                "# TYPE velkor_gateway_frames_written_total counter\n"
                "velkor_gateway_frames_written_total " +
                std::to_string(health.framesWritten) +
                "\n"
                "# HELP velkor_gateway_write_failures_total Frame writes that failed.\n"
                "# TYPE velkor_gateway_write_failures_total counter\n"
                "velkor_gateway_write_failures_total " +
                std::to_string(health.writeFailures) +
                "\n"
                "# HELP velkor_gateway_pages_removed_total Finished pages removed past --keep-days.\n"
                "# TYPE velkor_gateway_pages_removed_total counter\n"
                "velkor_gateway_pages_removed_total " +
                std::to_string(health.pagesRemoved) + "\n";
        if (m_mqtt) {
            const MqttHealth broker = m_mqtt->CurrentHealth();
            text += "# HELP velkor_gateway_mqtt_up Whether the gateway is connected to its broker.\n"
                    "# TYPE velkor_gateway_mqtt_up gauge\n"
                    "velkor_gateway_mqtt_up " +
                    std::string(broker.connected ? "1" : "0") +
                    "\n"
                    "# HELP velkor_gateway_mqtt_messages_total Messages from the broker, by what became of "
                    "them.\n"
                    "# TYPE velkor_gateway_mqtt_messages_total counter\n";
            for (const auto& [result, count] :
                 {std::pair{"accepted", broker.accepted}, std::pair{"rejected", broker.rejected},
                  std::pair{"duplicate", broker.duplicates}}) {
                text += "velkor_gateway_mqtt_messages_total{result=\"" + std::string(result) + "\"} " +
                        std::to_string(count) + "\n";
            }
        }
        if (m_panel) {
            const PanelHealth calls = m_panel->CurrentHealth();
            text += "# HELP velkor_gateway_panel_up Whether the panel's port is open.\n"
                    "# TYPE velkor_gateway_panel_up gauge\n"
                    "velkor_gateway_panel_up ";
            text += calls.open ? "1\n" : "0\n";
            for (const auto& [name, help, count] :
                 {std::tuple{"calls", "Calls from the panel stored as pages (unknown numbers included).",
                             calls.calls},
                  std::tuple{"unknown_calls", "Calls to a number no watch has.", calls.unknownCalls},
                  std::tuple{"naks", "Blocks from the panel answered NAK.", calls.naks},
                  std::tuple{"link_resets", "Exchanges with the panel dropped half done.",
                             calls.linkResets}}) {
                text += "# HELP velkor_gateway_panel_";
                text += name;
                text += "_total ";
                text += help;
                text += "\n# TYPE velkor_gateway_panel_";
                text += name;
                text += "_total counter\nvelkor_gateway_panel_";
                text += name;
                text += "_total ";
                text += std::to_string(count);
                text += '\n';
            }
        }
        text += "# HELP velkor_gateway_refused_total Requests a listener refused, by listener and reason.\n"
                "# TYPE velkor_gateway_refused_total counter\n";
        for (const auto& [kind, count] : m_refusals->Counts()) {
            text += "velkor_gateway_refused_total{listener=\"" + kind.first + "\",reason=\"" + kind.second +
                    "\"} " + std::to_string(count) + "\n";
        }
        response.set_content(text, "text/plain; version=0.0.4");
    });

    ConsoleRoutes();
    HookRoutes();
}

void HttpApi::ConsoleRoutes() {
    httplib::Server& server = *m_server;

    if (!m_console.folder.empty()) {
        // The page and its scripts come from the gateway alone, and are checked again on each load (an
        // upgraded gateway serves its own console at once).
        server.set_mount_point(
            "/", m_console.folder,
            {{"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                         "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"Cache-Control", "no-cache"}});
        server.Get("/gbk-map", [](const httplib::Request&, httplib::Response& response) {
            const std::string& map = GbkCharacterMap();
            if (map.empty()) {
                ReplyError(response, 503, "no GBK converter on this system");
                return;
            }
            response.set_header("Cache-Control", "max-age=86400");
            response.set_content(map, "application/octet-stream");
        });
    }

    server.Get("/v1/key", [this](const httplib::Request& request, httplib::Response& response) {
        const Key key = KeyOf(request);
        Json scopes = Json::array();
        for (const auto& [scope, name] :
             {std::pair{SEND, "send"}, std::pair{READ, "read"}, std::pair{ADMIN, "admin"}}) {
            if ((key.scopes & scope) != 0) {
                scopes.push_back(name);
            }
        }
        Reply(response, 200,
              Json{{"required", m_tokens.has_value()},
                   {"name", key.name.empty() ? Json(nullptr) : Json(key.name)},
                   {"scopes", scopes}});
    });

    server.Get("/v1/watches", [this](const httplib::Request&, httplib::Response& response) {
        const std::shared_ptr<const WatchNames> names = m_intake.Names();
        Json watches = Json::array();
        std::map<std::string, Json> groups;
        for (const WatchNames::Watch& watch : names->Watches()) {
            Json row{{"name", watch.name}, {"address", AddressText(watch.address)}, {"groups", watch.groups}};
            if (!watch.call.empty()) {
                row["call"] = watch.call;
            }
            watches.push_back(std::move(row));
            for (const std::string& group : watch.groups) {
                auto [entry, added] = groups.try_emplace(group, Json::array());
                entry->second.push_back(watch.name);
            }
        }
        Json groupList = Json::array();
        for (auto& [name, members] : groups) {
            groupList.push_back(Json{{"name", name}, {"members", std::move(members)}});
        }
        Reply(response, 200, Json{{"watches", watches}, {"groups", groupList}});
    });

    server.Get("/v1/texts", [this](const httplib::Request&, httplib::Response& response) {
        Json texts = Json::array();
        for (const QuickText& text : m_console.texts) {
            Json entry = {{"label", text.label}, {"text", text.text}};
            if (!text.to.empty()) {
                entry["to"] = text.to;
            }
            texts.push_back(entry);
        }
        Reply(response, 200, Json{{"texts", texts}});
    });

    // Server-Sent Events: "page" (a page's record as the listing shows it) and "health" (as /v1/health
    // says it) as they change; "reload" when the events after the client's Last-Event-ID are no longer
    // kept. Each stream holds a thread until the client goes, or the gateway stops.
    server.Get("/v1/events", [this](const httplib::Request& request, httplib::Response& response) {
        if (!m_events.Enter()) {
            ReplyError(response, 503,
                       std::to_string(MAX_STREAMS) +
                           " consoles are open already (each holds an event stream): close one, then reload");
            return;
        }
        auto last = std::make_shared<std::string>(request.get_header_value("Last-Event-ID"));
        if (last->empty() || last->size() > 64) {
            *last = m_events.LastId();
        }
        auto first = std::make_shared<bool>(true);
        response.set_header("Cache-Control", "no-cache");
        response.set_header("X-Accel-Buffering", "no");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, last, first](std::size_t, httplib::DataSink& sink) {
                std::string out;
                if (*first) {
                    // The health as it is now, so that the page shows it before the first change.
                    *first = false;
                    out = "retry: 2000\nevent: health\ndata: " + JsonText(HealthNow().first) + "\n\n";
                } else {
                    EventHub::Batch batch = m_events.After(*last, std::chrono::seconds(KEEP_ALIVE_SECONDS),
                                                           std::chrono::milliseconds(GATHER_MS));
                    if (batch.closed) {
                        // The gateway stops: the stream is cut, and the browser reconnects to the next
                        // gateway. Not sink.done(): every stream would write httplib's closing chunk at once,
                        // which ThreadSanitizer reports as a race inside Debian's uninstrumented build.
                        return false;
                    }
                    if (batch.missed) {
                        *last = m_events.LastId();
                        out += "id: " + *last + "\nevent: reload\ndata: {}\n\n";
                    }
                    for (const Event& event : batch.events) {
                        out +=
                            "id: " + event.id + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
                        *last = event.id;
                    }
                    if (out.empty()) {
                        out = ": keep-alive\n\n";
                    }
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) { m_events.Leave(); });
    });
}

void HttpApi::HookRoutes() {
    httplib::Server& server = *m_server;

    // Prometheus Alertmanager's webhook: each alert a page, answered 200 only once all are stored, and a
    // notification sent again after a lost answer not paged twice.
    server.Post("/v1/hooks/alertmanager", [this](const httplib::Request& request,
                                                 httplib::Response& response) {
        const Key key = KeyOf(request);
        std::string source = "alertmanager " + PeerText(request);
        if (!key.name.empty()) {
            source += " (token " + key.name + ")";
        }
        try {
            const Notification notification =
                AlertmanagerPages(request.body, Values(QueryOf(request), "to"), m_alerts, m_intake, source);
            std::vector<NewPage> pages;
            Json warnings = Json::array();
            for (const ReadPage& read : notification.pages) {
                pages.push_back(read.page);
                pages.back().key = key.name;
                if (!read.warning.empty()) {
                    warnings.push_back(read.warning);
                }
            }
            std::variant<Notified, std::string> stored =
                m_intake.SubmitNotification(pages, notification.digest);
            if (auto* reason = std::get_if<std::string>(&stored)) {
                // 503: Alertmanager sends it again later.
                ReplyError(response, 503, "not queued: " + *reason);
                return;
            }
            const Notified& notified = std::get<Notified>(stored);
            Json body = {{"pages", notified.pages}, {"duplicate", notified.duplicate}};
            if (!warnings.empty()) {
                body["warnings"] = warnings;
            }
            Reply(response, 200, body);
        } catch (const PageRefusal& refusal) {
            LogWarning("alertmanager notification from " + PeerText(request) +
                       " refused: " + refusal.message);
            ReplyError(response, refusal.status, refusal.message);
        }
    });

    // The hooks file's: a page made of the posted JSON by the hook's templates.
    server.Post(R"(/v1/hooks/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        std::shared_ptr<const Hooks> hooks;
        {
            std::lock_guard lock(m_hooksMutex);
            hooks = m_hooks;
        }
        const std::string name = request.matches[1].str();
        const Hook* hook = hooks ? hooks->Find(name) : nullptr;
        if (!hook) {
            std::string known;
            for (const std::string& one : hooks ? hooks->Names() : std::vector<std::string>{}) {
                known += (known.empty() ? "" : ", ") + one;
            }
            ReplyError(
                response, 404,
                "no hook named \"" + name + "\" (" +
                    (hooks ? "the hooks file has: alertmanager, " + known : "no --hooks file; alertmanager") +
                    ")");
            return;
        }
        const Json body = Json::parse(request.body, nullptr, false);
        if (body.is_discarded()) {
            ReplyError(response, 400, "the body is not JSON");
            return;
        }
        const Key key = KeyOf(request);
        NewPage page;
        page.source = "hook " + name + " " + PeerText(request);
        page.key = key.name;
        if (!key.name.empty()) {
            page.source += " (token " + key.name + ")";
        }
        try {
            const HookPage made = ApplyHook(*hook, body);
            page.priority = made.priority;
            Queue(CompletePage(std::move(page), made.to, FitPageText(made.text), m_intake), request,
                  response);
        } catch (const PageRefusal& refusal) {
            LogWarning("hook " + name + " from " + PeerText(request) + " refused: " + refusal.message);
            ReplyError(response, refusal.status, refusal.message);
        }
    });
}

void HttpApi::SetHooks(std::shared_ptr<const Hooks> hooks) {
    std::lock_guard lock(m_hooksMutex);
    m_hooks = std::move(hooks);
}

} // namespace velkor::gateway
