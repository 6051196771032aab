#include "http_api.h"

#include "frames/strict_text.h"
#include "log.h"
#include "page_text.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>

namespace velkor::gateway {
namespace {

using Json = nlohmann::ordered_json;

constexpr int MAX_RECIPIENTS = 100;
constexpr int MAX_TTL_SECONDS = 86400;
constexpr int MAX_REPEAT_COUNT = 1000;
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

// A field's fault: 422 with the field named.
struct FieldError {
    int status;
    std::string message;
};

std::string IsoTime(double seconds) {
    if (seconds <= 0) {
        return {};
    }
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ",
                  static_cast<int>((seconds - static_cast<double>(whole)) * 1000));
    return std::string(text) + millis;
}

Json TimeOrNull(double seconds) {
    return seconds > 0 ? Json(IsoTime(seconds)) : Json(nullptr);
}

Json RecipientJson(const Recipient& recipient) {
    Json to = {{"address", AddressText(recipient.address)}};
    if (!recipient.name.empty()) {
        to["name"] = recipient.name;
    }
    return to;
}

Json PageJson(const PageRecord& page) {
    Json json = {{"id", page.id}, {"kind", page.kind == PageKind::Time ? "time" : "text"}};
    Json to = Json::array();
    for (const Recipient& recipient : page.recipients) {
        to.push_back(RecipientJson(recipient));
    }
    json["to"] = to;
    if (page.kind == PageKind::Text) {
        json["text"] = page.text;
    }
    json["priority"] = PriorityName(page.priority);
    json["state"] = page.state;
    if (!page.reason.empty()) {
        json["reason"] = page.reason;
    }
    json["created"] = IsoTime(page.created);
    json["expires"] = IsoTime(page.expires);
    if (page.repeatEvery > 0) {
        json["repeat"] = {{"every", page.repeatEvery}, {"count", page.repeatCount}};
    }
    json["source"] = page.source;
    json["finished"] = TimeOrNull(page.finished);
    Json frames = Json::array();
    for (const FrameRecord& frame : page.frames) {
        Json entry = {
            {"to",
             page.recipients.empty()
                 ? std::string("255.255.255.255")
                 : AddressText(
                       page.recipients[static_cast<std::size_t>(frame.recipient) % page.recipients.size()]
                           .address)},
            {"round", frame.round + 1},
            {"sequence", frame.sequence},
            {"state", frame.state},
            {"time", TimeOrNull(frame.time)}};
        if (frame.tries > 0) {
            entry["failed_writes"] = frame.tries;
            entry["reason"] = frame.reason;
        }
        frames.push_back(entry);
    }
    json["frames"] = frames;
    return json;
}

void Reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump() + "\n", "application/json");
}

void ReplyError(httplib::Response& response, int status, const std::string& message) {
    Reply(response, status, Json{{"error", message}});
}

std::string PeerText(const httplib::Request& request) {
    const std::string& host = request.remote_addr;
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(request.remote_port);
}

std::optional<int64_t> IdOf(const httplib::Request& request) {
    std::optional<uint32_t> id = ParseUnsigned(request.matches[1].str(), 1, 0xFFFFFFFF);
    if (!id) {
        return std::nullopt;
    }
    return static_cast<int64_t>(*id);
}

Priority PriorityField(const Json& value) {
    if (value == "high") {
        return Priority::High;
    }
    if (value == "normal") {
        return Priority::Normal;
    }
    throw FieldError{422, "priority: \"normal\" or \"high\""};
}

int TtlField(const Json& value) {
    if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > MAX_TTL_SECONDS) {
        throw FieldError{422, "ttl: a whole number of seconds from 1 to " + std::to_string(MAX_TTL_SECONDS)};
    }
    return value.get<int>();
}

int TtlText(const std::string& text) {
    std::optional<uint32_t> ttl = ParseUnsigned(text, 1, MAX_TTL_SECONDS);
    if (!ttl) {
        throw FieldError{422, "ttl: a whole number of seconds from 1 to " + std::to_string(MAX_TTL_SECONDS)};
    }
    return static_cast<int>(*ttl);
}

} // namespace

HttpApi::HttpApi(Intake& intake, std::optional<Tokens> tokens)
    : m_intake(intake), m_tokens(std::move(tokens)), m_server(std::make_unique<httplib::Server>()) {
    m_server->new_task_queue = [] { return new BoundedPool(THREADS, MAX_WAITING); };
    // httplib's own default is SO_REUSEPORT alone, with which a second gateway on the same port would share
    // its connections instead of being refused, and the connections this one cut off would keep a
    // restarted gateway from binding its port for a minute (their TIME_WAIT carries the option).
    m_server->set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_server->set_payload_max_length(MAX_BODY);
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
    m_server->listen_after_bind();
}

void HttpApi::Stop() {
    m_server->stop();
}

void HttpApi::Routes() {
    httplib::Server& server = *m_server;

    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (!m_tokens) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const std::string header = request.get_header_value("Authorization");
        if (header.starts_with("Bearer ") && m_tokens->Match(std::string_view(header).substr(7))) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.set_header("WWW-Authenticate", "Bearer realm=\"velkor-gateway\"");
        ReplyError(response, 401,
                   header.empty() ? "a token is needed: Authorization: Bearer TOKEN"
                                  : "the token is not one of the gateway's");
        return httplib::Server::HandlerResponse::Handled;
    });

    // httplib's own refusals (413 for a body over the limit, 404 for no route, 400 for a bad request) carry
    // no body: give them the API's error object.
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) {
            return;
        }
        std::string message = "the request cannot be served";
        if (response.status == 400) {
            message = "the request is not valid HTTP (a POST needs a body, or Content-Length: 0)";
        } else if (response.status == 413) {
            message = "the body is larger than " + std::to_string(MAX_BODY / 1024) + " kB";
        } else if (response.status == 404) {
            message = "no such resource: " + request.method + " " + request.path;
        } else if (response.status == 414) {
            message = "the address is too long";
        }
        ReplyError(response, response.status, message);
    });

    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            std::string what = "internal error";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& exception) {
                what = exception.what();
            } catch (...) {
            }
            LogLine("http: " + what);
            ReplyError(response, 500, what);
        });

    server.Post("/v1/pages", [this](const httplib::Request& request, httplib::Response& response) {
        NewPage page;
        page.source = "http " + PeerText(request);
        if (m_tokens) {
            const std::string name =
                m_tokens->Match(request.get_header_value("Authorization").substr(7)).value_or("");
            if (!name.empty()) {
                page.source += " (token " + name + ")";
            }
        }
        std::vector<std::string> to;
        std::string text;
        try {
            const std::string type = request.get_header_value("Content-Type");
            // curl -d sends any body as a form; one that starts with { is read as the JSON it is, unless
            // the client says text/plain.
            const bool json = type.find("json") != std::string::npos ||
                              (type.find("text/plain") == std::string::npos && request.body.starts_with('{'));
            if (json) {
                Json body = Json::parse(request.body, nullptr, false);
                if (body.is_discarded()) {
                    throw FieldError{400, "the body is not JSON"};
                }
                if (!body.is_object()) {
                    throw FieldError{400, "the body is not a JSON object"};
                }
                for (const auto& [key, value] : body.items()) {
                    if (key == "to") {
                        if (value.is_string()) {
                            to.push_back(value.get<std::string>());
                        } else if (value.is_array() && !value.empty() &&
                                   std::all_of(value.begin(), value.end(),
                                               [](const Json& v) { return v.is_string(); })) {
                            for (const Json& one : value) {
                                to.push_back(one.get<std::string>());
                            }
                        } else {
                            throw FieldError{422, "to: a watch, or a list of watches"};
                        }
                    } else if (key == "text") {
                        if (!value.is_string()) {
                            throw FieldError{422, "text: a string"};
                        }
                        text = value.get<std::string>();
                    } else if (key == "priority") {
                        page.priority = PriorityField(value);
                    } else if (key == "ttl") {
                        page.ttlSeconds = TtlField(value);
                    } else if (key == "repeat") {
                        const std::string rule = "repeat: {\"every\": 5, 10, 20, 30 or 60, \"count\": 1 to " +
                                                 std::to_string(MAX_REPEAT_COUNT) + "}";
                        if (!value.is_object() || !value.contains("every") || !value.contains("count") ||
                            value.size() != 2 || !value["every"].is_number_integer() ||
                            !value["count"].is_number_integer()) {
                            throw FieldError{422, rule};
                        }
                        const int64_t every = value["every"].get<int64_t>();
                        const int64_t count = value["count"].get<int64_t>();
                        if (std::find(std::begin(REPEAT_INTERVALS), std::end(REPEAT_INTERVALS), every) ==
                                std::end(REPEAT_INTERVALS) ||
                            count < 1 || count > MAX_REPEAT_COUNT) {
                            throw FieldError{422, rule};
                        }
                        page.repeatEvery = static_cast<int>(every);
                        page.repeatCount = static_cast<int>(count);
                    } else {
                        throw FieldError{422,
                                         "unknown field \"" + key + "\" (to, text, priority, ttl, repeat)"};
                    }
                }
                if (!body.contains("text")) {
                    throw FieldError{422, "text: missing"};
                }
            } else {
                // A plain-text body for shell scripts: the recipients and settings in the query.
                text = request.body;
                if (text.ends_with('\n')) {
                    text.pop_back();
                    if (text.ends_with('\r')) {
                        text.pop_back();
                    }
                }
                for (std::size_t i = 0; i < request.get_param_value_count("to"); ++i) {
                    to.push_back(request.get_param_value("to", i));
                }
                if (request.has_param("priority")) {
                    page.priority = PriorityField(request.get_param_value("priority"));
                }
                if (request.has_param("ttl")) {
                    page.ttlSeconds = TtlText(request.get_param_value("ttl"));
                }
            }
            if (to.empty()) {
                throw FieldError{422, "to: missing (a watch address, a number, all, or a name)"};
            }
            if (to.size() > MAX_RECIPIENTS) {
                throw FieldError{422, "to: more than " + std::to_string(MAX_RECIPIENTS) + " watches"};
            }
            for (const std::string& one : to) {
                std::variant<Recipient, std::string> recipient = m_intake.Resolve(one);
                if (auto* reason = std::get_if<std::string>(&recipient)) {
                    throw FieldError{422, "to: " + *reason};
                }
                page.recipients.push_back(std::get<Recipient>(recipient));
            }
            std::variant<PageText, std::string> checked = CheckPageText(text, Charset::Utf8);
            if (auto* reason = std::get_if<std::string>(&checked)) {
                throw FieldError{422, "text: " + *reason};
            }
            PageText& accepted = std::get<PageText>(checked);
            page.text = accepted.utf8;
            page.gbk = accepted.gbk;
            std::variant<int64_t, std::string> id = m_intake.Submit(page);
            if (auto* reason = std::get_if<std::string>(&id)) {
                ReplyError(response, 503, "not queued: " + *reason);
                return;
            }
            Json body = {{"id", std::get<int64_t>(id)}, {"state", "queued"}};
            if (!accepted.missing.empty()) {
                std::string names;
                for (const std::string& name : accepted.missing) {
                    names += (names.empty() ? "" : ", ") + name;
                }
                body["warning"] = "GBK has no " + names + "; sent as \"?\"";
            }
            response.set_header("Location", "/v1/pages/" + std::to_string(std::get<int64_t>(id)));
            Reply(response, 202, body);
        } catch (const FieldError& error) {
            ReplyError(response, error.status, error.message);
        }
    });

    server.Get("/v1/pages", [this](const httplib::Request& request, httplib::Response& response) {
        std::optional<std::string> state;
        if (request.has_param("state")) {
            state = request.get_param_value("state");
            const auto counts = m_intake.Store().CountByState();
            if (!counts.contains(*state)) {
                ReplyError(response, 422, "state: queued, sent, expired, cancelled or failed");
                return;
            }
        }
        int limit = 100;
        if (request.has_param("limit")) {
            std::optional<uint32_t> value = ParseUnsigned(request.get_param_value("limit"), 1, MAX_LIST);
            if (!value) {
                ReplyError(response, 422, "limit: a number from 1 to " + std::to_string(MAX_LIST));
                return;
            }
            limit = static_cast<int>(*value);
        }
        Json pages = Json::array();
        for (const PageRecord& page : m_intake.Store().List(state, limit)) {
            pages.push_back(PageJson(page));
        }
        Reply(response, 200, Json{{"pages", pages}});
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
            std::optional<PageRecord> page = id ? m_intake.Store().Cancel(*id, WallNow()) : std::nullopt;
            if (!page) {
                ReplyError(response, 404, "no page " + request.matches[1].str());
                return;
            }
            if (page->state != "cancelled") {
                ReplyError(response, 409,
                           "page " + std::to_string(page->id) + " is " + page->state +
                               "; only a queued page can be cancelled");
                return;
            }
            LogLine("page " + std::to_string(page->id) + " cancelled by http " + PeerText(request));
            Reply(response, 200, PageJson(*page));
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
                    throw FieldError{400, "the body is not a JSON object"};
                }
                for (const auto& [key, value] : body.items()) {
                    if (key == "priority") {
                        page.priority = PriorityField(value);
                    } else if (key == "ttl") {
                        page.ttlSeconds = TtlField(value);
                    } else {
                        throw FieldError{422, "unknown field \"" + key + "\" (priority, ttl)"};
                    }
                }
            }
        } catch (const FieldError& error) {
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
        const Health health = m_intake.Sender().CurrentHealth();
        Json body = {{"status", health.open ? "ok" : "port closed"},
                     {"port", health.port},
                     {"open", health.open},
                     {"lost_since", TimeOrNull(health.lostSince)}};
        if (!health.portProblem.empty()) {
            body["port_problem"] = health.portProblem;
        }
        body["queue_depth"] = health.queueDepth;
        body["frames_written"] = health.framesWritten;
        body["write_failures"] = health.writeFailures;
        body["last_failure"] = health.lastFailure.empty() ? Json(nullptr)
                                                          : Json{{"time", IsoTime(health.lastFailureTime)},
                                                                 {"reason", health.lastFailure}};
        // 503 while the port is closed, so that a plain HTTP check sees that pages cannot go out.
        Reply(response, health.open ? 200 : 503, body);
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
                std::to_string(health.writeFailures) + "\n";
        response.set_content(text, "text/plain; version=0.0.4");
    });
}

} // namespace velkor::gateway
