#include "gateway/http/console_routes.h"

#include "frames/strict_text.h"
#include "gateway/http/console_files.h"
#include "gateway/http/replies.h"
#include "gateway/http/status_routes.h"
#include "gateway/intake/watch_names.h"
#include "gateway/log/log.h"

#include <ctime>
#include <map>
#include <unordered_set>

namespace velkor::gateway {
namespace {

Json WatchesJson(const WatchNames& names) {
    Json watches = Json::array();
    std::map<std::string, Json> groups;
    for (const WatchNames::Watch& watch : names.Watches()) {
        Json row{{"name", watch.name}, {"address", AddressText(watch.address)}, {"groups", watch.groups}};
        if (!watch.call.empty()) {
            row["call"] = watch.call;
        }
        if (!watch.escalation.empty()) {
            row["escalate"] = watch.escalation;
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
    return Json{{"watches", watches},
                {"groups", groupList},
                {"separators",
                 std::vector<std::string>(std::begin(RECIPIENT_SEPARATORS), std::end(RECIPIENT_SEPARATORS))}};
}

// Each roster: who is on duty now, and who next from when.
Json RostersJson(const Rosters& rosters) {
    Json list = Json::array();
    for (const std::string& name : rosters.Names()) {
        const Duty duty = rosters.DutyAt(name, std::time(nullptr));
        Json entry = {{"name", name}, {"now", duty.now}};
        entry["next"] =
            duty.changes ? Json{{"at", IsoTime(static_cast<double>(*duty.changes))}, {"members", duty.next}}
                         : Json(nullptr);
        list.push_back(std::move(entry));
    }
    return Json{{"rosters", list}};
}

Json TextsJson(const std::vector<QuickText>& texts) {
    Json list = Json::array();
    for (const QuickText& text : texts) {
        Json entry = {{"label", text.label}, {"text", text.text}};
        if (!text.to.empty()) {
            entry["to"] = text.to;
        }
        list.push_back(entry);
    }
    return Json{{"texts", list}};
}

std::string EventText(const Event& event) {
    return "id: " + event.id + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
}

} // namespace

ConsoleRoutes::ConsoleRoutes(HttpServer& server, Intake& intake, const HealthSources& health,
                             ConsoleSettings settings)
    : m_server(server), m_intake(intake), m_health(health), m_settings(std::move(settings)) {
    // Every change of a page's state goes to the open consoles, as the listing shows the page.
    const auto changed = [this](int64_t id) {
        {
            std::lock_guard lock(m_mutex);
            m_changed.push_back(id);
        }
        m_pageChanged.notify_one();
    };
    m_intake.Store().OnStateChange(changed);
    m_intake.Store().OnSending(changed); // queued → sending is a change a person watches for
    FileRoutes();
    ListRoutes();
    EventRoutes();
}

ConsoleRoutes::~ConsoleRoutes() {
    Stop();
}

void ConsoleRoutes::Start() {
    m_healthThread = std::thread([this] { WatchHealth(); });
    m_publisher = std::thread([this] { PublishPages(); });
}

void ConsoleRoutes::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_pageChanged.notify_all();
    m_events.Close(); // every console's stream ends now, not at its next keep-alive
    for (std::thread* thread : {&m_healthThread, &m_publisher}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

void ConsoleRoutes::FileRoutes() {
    if (m_settings.folder.empty()) {
        return;
    }
    httplib::Server& routes = m_server.Routes();
    // The page and its scripts come from the gateway alone, and are checked again on each load (an
    // upgraded gateway serves its own console at once).
    routes.set_mount_point(
        "/", m_settings.folder,
        {{"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                     "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
         {"X-Content-Type-Options", "nosniff"},
         {"Referrer-Policy", "no-referrer"},
         {"Cache-Control", "no-cache"}});
    routes.Get("/gbk-map", [](const httplib::Request&, httplib::Response& response) {
        const std::string& map = GbkCharacterMap();
        if (map.empty()) {
            ReplyError(response, 503, "no_gbk_converter", "no GBK converter on this system");
            return;
        }
        response.set_header("Cache-Control", "max-age=86400");
        response.set_content(map, "application/octet-stream");
    });
}

void ConsoleRoutes::ListRoutes() {
    httplib::Server& routes = m_server.Routes();
    routes.Get("/v1/key", [this](const httplib::Request& request, httplib::Response& response) {
        const Key key = m_server.KeyOf(request);
        Reply(response, 200,
              Json{{"required", m_server.KeysRequired()},
                   {"name", key.name.empty() ? Json(nullptr) : Json(key.name)},
                   {"scopes", ScopeNames(key.scopes)}});
    });
    routes.Get("/v1/watches", [this](const httplib::Request&, httplib::Response& response) {
        Json body = WatchesJson(*m_intake.Names());
        body["rosters"] = m_intake.DutyRosters()->Names(); // recipients too, for the form's completion
        Reply(response, 200, body);
    });
    routes.Get("/v1/rosters", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, 200, RostersJson(*m_intake.DutyRosters()));
    });
    routes.Get("/v1/texts", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, 200, TextsJson(m_settings.texts));
    });
}

// Server-Sent Events: "page" (a page's record as the listing shows it) and "health" (as /v1/health says
// it) as they change; "reload" when the events after the client's Last-Event-ID are no longer kept. Each
// stream holds a thread until the client goes, or the gateway stops.
void ConsoleRoutes::EventRoutes() {
    m_server.Routes().Get("/v1/events", [this](const httplib::Request& request, httplib::Response& response) {
        if (!m_events.Enter()) {
            ReplyError(response, 503, "too_many_consoles",
                       std::to_string(HttpServer::MAX_STREAMS) +
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
                    out =
                        "retry: 2000\nevent: health\ndata: " + JsonText(HealthJson(m_health.Now())) + "\n\n";
                    return sink.write(out.data(), out.size());
                }
                const EventHub::Batch batch = m_events.After(*last, std::chrono::seconds(KEEP_ALIVE_SECONDS),
                                                             std::chrono::milliseconds(GATHER_MS));
                if (batch.closed) {
                    // The gateway stops: the stream is cut, and the browser reconnects to the next gateway.
                    // Not sink.done(): every stream would write httplib's closing chunk at once, which
                    // ThreadSanitizer reports as a race inside Debian's uninstrumented build.
                    return false;
                }
                if (batch.missed) {
                    *last = m_events.LastId();
                    out += "id: " + *last + "\nevent: reload\ndata: {}\n\n";
                }
                for (const Event& event : batch.events) {
                    out += EventText(event);
                    *last = event.id;
                }
                if (out.empty()) {
                    out = ": keep-alive\n\n";
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) { m_events.Leave(); });
    });
}

void ConsoleRoutes::PublishPages() {
    std::unique_lock lock(m_mutex);
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
            LogWarning("console: " + std::to_string(once.size()) + " page changes not told: " + error.what());
        }
        lock.lock();
    }
}

void ConsoleRoutes::WatchHealth() {
    std::string told;
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        try {
            const std::string now = JsonText(HealthJson(m_health.Now()));
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

} // namespace velkor::gateway
