#include "gateway/hooks/hook_routes.h"

#include "gateway/http/page_routes.h"
#include "gateway/http/replies.h"
#include "gateway/intake/page_text.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

namespace velkor::gateway {

HookRoutes::HookRoutes(HttpServer& server, Intake& intake, AlertSettings alerts)
    : m_server(server), m_intake(intake), m_alerts(std::move(alerts)) {
    httplib::Server& routes = m_server.Routes();
    routes.Post("/v1/hooks/alertmanager",
                [this](const httplib::Request& request, httplib::Response& response) {
                    Alertmanager(request, response);
                });
    routes.Post(R"(/v1/hooks/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        FileHook(request, response);
    });
}

void HookRoutes::SetHooks(std::shared_ptr<const Hooks> hooks) {
    std::lock_guard lock(m_mutex);
    m_hooks = std::move(hooks);
}

// Each alert a page, answered 200 only once all are stored, and a notification sent again after a lost
// answer not paged twice.
void HookRoutes::Alertmanager(const httplib::Request& request, httplib::Response& response) {
    const Key key = m_server.KeyOf(request);
    Notification notification;
    try {
        notification = AlertmanagerPages(request.body, Values(QueryOf(request), "to"), m_alerts, m_intake,
                                         SourceOf("alertmanager", request));
    } catch (const PageRefusal& refusal) {
        LogWarning("alertmanager notification from " + PeerText(request) + " refused: " + refusal.message);
        ReplyRefusal(response, refusal);
        return;
    }
    std::vector<NewPage> pages;
    Json warnings = Json::array();
    for (const ReadPage& read : notification.pages) {
        pages.push_back(read.page);
        pages.back().key = key.name;
        if (!read.warning.empty()) {
            warnings.push_back(read.warning);
        }
    }
    std::variant<Notified, std::string> stored = m_intake.SubmitNotification(pages, notification.digest);
    if (!std::holds_alternative<std::string>(stored)) {
        // Resolving again what a notification sent twice resolved changes nothing.
        for (const std::string& cause : notification.resolved) {
            try {
                for (const int64_t id : m_intake.Store().Resolve(
                         cause,
                         Answer{"resolved", key.name.empty() ? "alertmanager" : key.name, "alertmanager"},
                         QueueNow())) {
                    LogLine("page " + std::to_string(id) + " resolved by alertmanager (" + cause + ")");
                }
            } catch (const StoreError& error) {
                stored = std::string(error.what());
            }
        }
    }
    if (auto* reason = std::get_if<std::string>(&stored)) {
        // 503: Alertmanager sends it again later.
        ReplyError(response, 503, "not_queued", "not queued: " + *reason);
        return;
    }
    const Notified& notified = std::get<Notified>(stored);
    Json body = {{"pages", notified.pages}, {"duplicate", notified.duplicate}};
    if (!warnings.empty()) {
        body["warnings"] = warnings;
    }
    Reply(response, 200, body);
}

// What the hook asks of its pages: an answer, repeats until then, an escalation.
void HookRoutes::AskForAnswer(const Hook& hook, NewPage& page) const {
    page.answer = hook.answer;
    if (hook.repeatEvery > 0) {
        page.answer = true;
        page.untilAnswered = true;
        page.repeatEvery = hook.repeatEvery;
        page.ttlSeconds = 3600;
        page.ttlGiven = true;
    }
    if (!hook.escalate.empty()) {
        SetEscalation(page, hook.escalate, *m_intake.Policies());
    }
}

// A body that says the hook's thing is over: its pages resolved, nothing paged.
void HookRoutes::Resolve(const std::string& name, const std::string& cause, const std::string& key,
                         const httplib::Request& request, httplib::Response& response) {
    std::vector<int64_t> resolved;
    try {
        resolved = m_intake.Store().Resolve(
            cause, Answer{"resolved", key.empty() ? "hook " + name : key, "hook " + name}, QueueNow());
    } catch (const StoreError& error) {
        ReplyError(response, 503, "not_queued", std::string("not stored: ") + error.what());
        return;
    }
    for (const int64_t id : resolved) {
        LogLine("page " + std::to_string(id) + " resolved by hook " + name + " (" + PeerText(request) + ")");
    }
    Reply(response, 200, Json{{"resolved", resolved}});
}

// A page made of the posted JSON by the hook's templates.
void HookRoutes::FileHook(const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<const Hooks> hooks;
    {
        std::lock_guard lock(m_mutex);
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
            response, 404, "no_such_hook",
            "no hook named \"" + name + "\" (" +
                (hooks ? "the hooks file has: alertmanager, " + known : "no --hooks file; alertmanager") +
                ")");
        return;
    }
    const Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        ReplyError(response, 400, "not_json", "the body is not JSON");
        return;
    }
    NewPage page;
    page.key = m_server.KeyOf(request).name;
    page.source = SourceOf("hook " + name, request);
    std::variant<ReadPage, PageRefusal> read;
    try {
        const HookPage made = ApplyHook(*hook, body);
        if (made.resolves) {
            Resolve(name, made.cause, page.key, request, response);
            return;
        }
        page.priority = made.priority;
        page.cause = made.cause;
        AskForAnswer(*hook, page);
        read = CompletePage(std::move(page), made.to, FitPageText(made.text), m_intake);
    } catch (const PageRefusal& refusal) {
        read = refusal;
    }
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        LogWarning("hook " + name + " from " + PeerText(request) + " refused: " + refusal->message);
    }
    AnswerQueued(m_intake, read, request, response);
}

} // namespace velkor::gateway
