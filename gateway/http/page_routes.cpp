#include "gateway/http/page_routes.h"

#include "frames/strict_text.h"
#include "gateway/http/replies.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

#include <algorithm>
#include <cstdio>

namespace velkor::gateway {
namespace {

constexpr int MAX_LIST = 1000;

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

std::optional<int64_t> IdOf(const httplib::Request& request) {
    std::optional<uint32_t> id = ParseUnsigned(request.matches[1].str(), 1, 0xFFFFFFFF);
    return id ? std::optional<int64_t>(*id) : std::nullopt;
}

// The page of a request with an Idempotency-Key: stored once, its id and whether this is a replay.
std::variant<Submitted, PageRefusal> SubmitOnce(Intake& intake, const NewPage& page,
                                                const httplib::Request& request) {
    const std::string key = request.get_header_value("Idempotency-Key");
    if (request.get_header_value_count("Idempotency-Key") > 1 || !IdempotencyKeyValid(key)) {
        return PageRefusal{422, "Idempotency-Key: one value of 1 to 255 visible ASCII characters", "invalid",
                           "Idempotency-Key"};
    }
    std::variant<Notified, std::string> stored = intake.SubmitNotification(
        {page}, "idempotency-key " + page.key + "\n" + key, RequestFingerprint(request));
    if (const auto* reason = std::get_if<std::string>(&stored)) {
        return PageRefusal{503, "not queued: " + *reason, "not_queued"};
    }
    const Notified& notified = std::get<Notified>(stored);
    const int64_t id = notified.pages.empty() ? 0 : notified.pages.front();
    if (notified.conflict) {
        return PageRefusal{422,
                           "Idempotency-Key " + key + " was used within a day for another request (page " +
                               std::to_string(id) + "); a new request needs a new key",
                           "idempotency_key_reused", "Idempotency-Key"};
    }
    return Submitted{id, notified.duplicate};
}

// A plain-text body for shell scripts: the recipients and settings in the query.
std::variant<ReadPage, PageRefusal> PageFromText(const httplib::Request& request, NewPage page,
                                                 const Intake& intake) {
    std::string text = request.body;
    if (text.ends_with('\n')) {
        text.pop_back();
        if (text.ends_with('\r')) {
            text.pop_back();
        }
    }
    const httplib::Params query = QueryOf(request);
    try {
        if (const std::optional<std::string> priority = Value(query, "priority")) {
            page.priority = ReadPriority(*priority);
        }
        if (const std::optional<std::string> ttl = Value(query, "ttl")) {
            const std::optional<uint32_t> seconds = ParseUnsigned(*ttl, 1, MAX_TTL_SECONDS);
            if (!seconds) {
                return PageRefusal{
                    422, "ttl: a whole number of seconds from 1 to " + std::to_string(MAX_TTL_SECONDS),
                    "invalid", "ttl"};
            }
            page.ttlSeconds = static_cast<int>(*seconds);
            page.ttlGiven = true;
        }
    } catch (const PageRefusal& refusal) {
        return refusal;
    }
    return CompletePage(std::move(page), Values(query, "to"), text, intake);
}

void PostPage(HttpServer& server, Intake& intake, const httplib::Request& request,
              httplib::Response& response) {
    NewPage page;
    page.key = server.KeyOf(request).name;
    page.source = SourceOf("http", request);
    const std::string type = request.get_header_value("Content-Type");
    // curl -d sends any body as a form; one that starts with { is read as the JSON it is, unless the client
    // says text/plain. Any other body is the text, whole: a form's & and = are letters.
    const bool json = type.find("json") != std::string::npos ||
                      (type.find("text/plain") == std::string::npos && request.body.starts_with('{'));
    AnswerQueued(intake,
                 json ? PageFromJson(request.body, std::move(page), intake)
                      : PageFromText(request, std::move(page), intake),
                 request, response);
}

// The listing's options from the query; a refusal names the option at fault.
std::variant<PageQuery, PageRefusal> ListingQuery(Intake& intake, const httplib::Request& request) {
    const httplib::Params query = QueryOf(request);
    PageQuery pages;
    if (const std::optional<std::string> state = Value(query, "state")) {
        if (!intake.Store().CountByState().contains(*state)) {
            return PageRefusal{422, "state: queued, sent, expired, cancelled or failed", "invalid", "state"};
        }
        pages.state = state;
    }
    if (const std::optional<std::string> limit = Value(query, "limit")) {
        const std::optional<uint32_t> value = ParseUnsigned(*limit, 1, MAX_LIST);
        if (!value) {
            return PageRefusal{422, "limit: a number from 1 to " + std::to_string(MAX_LIST), "invalid",
                               "limit"};
        }
        pages.limit = static_cast<int>(*value);
    }
    if (const std::optional<std::string> search = Value(query, "q")) {
        if (search->size() > 200) {
            return PageRefusal{422, "q: at most 200 bytes", "invalid", "q"};
        }
        // SQLite's LIKE ends its pattern at a NUL: the search would match every page.
        if (search->find('\0') != std::string::npos) {
            return PageRefusal{422, "q: no text holds a NUL byte (%00)", "invalid", "q"};
        }
        pages.search = *search;
    }
    if (const std::optional<std::string> before = Value(query, "before")) {
        const std::optional<uint32_t> value = ParseUnsigned(*before, 1, 0xFFFFFFFF);
        if (!value) {
            return PageRefusal{422, "before: a page's id (the listing goes on with older pages)", "invalid",
                               "before"};
        }
        pages.before = static_cast<int64_t>(*value);
    }
    return pages;
}

void ListPages(Intake& intake, const httplib::Request& request, httplib::Response& response) {
    const std::variant<PageQuery, PageRefusal> read = ListingQuery(intake, request);
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        ReplyRefusal(response, *refusal);
        return;
    }
    const PageQuery& pages = std::get<PageQuery>(read);
    Json list = Json::array();
    const std::vector<PageRecord> records = intake.Store().List(pages);
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
}

// Whether the request's key may change page `id` (`doing` it: "cancelling", "acknowledging"): its own
// page, or any with an admin key; refused with 403 otherwise.
bool MayChange(HttpServer& server, Intake& intake, const httplib::Request& request, int64_t id,
               const std::string& doing, httplib::Response& response) {
    if (!server.KeysRequired()) {
        return true;
    }
    const Key key = server.KeyOf(request);
    const std::optional<PageRecord> page = intake.Store().Get(id);
    if (page && (key.scopes & ADMIN) == 0 && (key.name.empty() || page->key != key.name)) {
        ReplyError(response, 403, "not_your_page",
                   "page " + std::to_string(id) + " was not sent with this key: " + doing +
                       " it needs an admin key");
        return false;
    }
    return true;
}

void CancelPage(HttpServer& server, Intake& intake, const httplib::Request& request,
                httplib::Response& response) {
    const std::optional<int64_t> id = IdOf(request);
    if (id && !MayChange(server, intake, request, *id, "cancelling", response)) {
        return;
    }
    const Cancelled cancel = id ? intake.Store().Cancel(*id, QueueNow()) : Cancelled{};
    switch (cancel.outcome) {
    case Cancelled::Outcome::NoSuchPage:
        ReplyError(response, 404, "no_such_page", "no page " + request.matches[1].str());
        return;
    case Cancelled::Outcome::Sending:
        ReplyError(response, 409, "page_sending",
                   "page " + std::to_string(*id) + " is being sent now; its frame goes out");
        return;
    case Cancelled::Outcome::NotQueued:
        ReplyError(response, 409, "page_not_queued",
                   "page " + std::to_string(cancel.page->id) + " is " + cancel.page->state +
                       "; only a queued page can be cancelled");
        return;
    case Cancelled::Outcome::Cancelled:
        break;
    }
    LogLine("page " + std::to_string(*id) + " cancelled by http " + PeerText(request));
    Reply(response, 200, PageJson(*cancel.page));
}

void AcknowledgePage(HttpServer& server, Intake& intake, const httplib::Request& request,
                     httplib::Response& response) {
    const std::optional<int64_t> id = IdOf(request);
    if (id && !MayChange(server, intake, request, *id, "acknowledging", response)) {
        return;
    }
    const std::string key = server.KeyOf(request).name;
    // The console says it is the console; any other client is http.
    const std::string via = request.get_header_value("X-Velkor-Console").empty() ? "http" : "console";
    const Answered answered =
        id ? intake.Store().AnswerPage(
                 *id, Answer{"acknowledged", key.empty() ? PeerText(request) : key, via}, QueueNow())
           : Answered{};
    switch (answered.outcome) {
    case Answered::Outcome::NoSuchPage:
        ReplyError(response, 404, "no_such_page", "no page " + request.matches[1].str());
        return;
    case Answered::Outcome::NotAsked:
        ReplyError(response, 409, "answer_not_asked", "page " + std::to_string(*id) + " asks for no answer");
        return;
    case Answered::Outcome::Ended:
        ReplyError(response, 409, "page_ended",
                   "page " + std::to_string(*id) + " is " + answered.page->state +
                       ": nothing to acknowledge");
        return;
    case Answered::Outcome::AnsweredBefore:
        Reply(response, 200, PageJson(*answered.page)); // the same answer again changes nothing
        return;
    case Answered::Outcome::Answered:
        break;
    }
    LogLine("page " + std::to_string(*id) + " acknowledged by " + answered.page->answeredBy + " (" + via +
            " " + PeerText(request) + ")");
    Reply(response, 200, PageJson(*answered.page));
}

// The time page's body: {} or {"priority", "ttl"}.
std::variant<ReadPage, PageRefusal> TimePage(const httplib::Request& request) {
    NewPage page;
    page.kind = PageKind::Time;
    page.recipients = {Recipient{BROADCAST_ADDRESS, "all"}};
    page.source = SourceOf("http", request);
    if (request.body.empty()) {
        return ReadPage{page, {}};
    }
    const Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return PageRefusal{400, "the body is not a JSON object", "not_object"};
    }
    try {
        for (const auto& [key, value] : body.items()) {
            if (key == "priority") {
                page.priority = ReadPriority(value);
            } else if (key == "ttl") {
                page.ttlSeconds = ReadTtl(value);
            } else {
                return PageRefusal{422, "unknown field \"" + key + "\" (priority, ttl)", "unknown_field",
                                   key};
            }
        }
    } catch (const PageRefusal& refusal) {
        return refusal;
    }
    return ReadPage{page, {}};
}

} // namespace

void AnswerQueued(Intake& intake, const std::variant<ReadPage, PageRefusal>& read,
                  const httplib::Request& request, httplib::Response& response) {
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        ReplyRefusal(response, *refusal);
        return;
    }
    const ReadPage& accepted = std::get<ReadPage>(read);
    std::variant<Submitted, PageRefusal> stored = PageRefusal{};
    if (request.has_header("Idempotency-Key")) {
        // A client that retries after a lost answer gets the first answer, and the page once.
        stored = SubmitOnce(intake, accepted.page, request);
    } else if (std::variant<int64_t, std::string> id = intake.Submit(accepted.page);
               const auto* reason = std::get_if<std::string>(&id)) {
        stored = PageRefusal{503, "not queued: " + *reason, "not_queued"};
    } else {
        stored = Submitted{std::get<int64_t>(id), false};
    }
    if (const auto* refusal = std::get_if<PageRefusal>(&stored)) {
        ReplyRefusal(response, *refusal);
        return;
    }
    const Submitted& submitted = std::get<Submitted>(stored);
    Json body = {{"id", submitted.id}, {"state", "queued"}};
    if (!accepted.warning.empty()) {
        body["warning"] = accepted.warning;
    }
    if (submitted.duplicate) {
        response.set_header("Idempotent-Replayed", "true");
    }
    response.set_header("Location", "/v1/pages/" + std::to_string(submitted.id));
    Reply(response, 202, body);
}

void AddPageRoutes(HttpServer& server, Intake& intake) {
    httplib::Server& routes = server.Routes();
    routes.Post("/v1/pages",
                [&server, &intake](const httplib::Request& request, httplib::Response& response) {
                    PostPage(server, intake, request, response);
                });
    routes.Get("/v1/pages", [&intake](const httplib::Request& request, httplib::Response& response) {
        ListPages(intake, request, response);
    });
    routes.Get(R"(/v1/pages/([^/]+))",
               [&intake](const httplib::Request& request, httplib::Response& response) {
                   const std::optional<int64_t> id = IdOf(request);
                   const std::optional<PageRecord> page = id ? intake.Store().Get(*id) : std::nullopt;
                   if (!page) {
                       ReplyError(response, 404, "no_such_page", "no page " + request.matches[1].str());
                       return;
                   }
                   Reply(response, 200, PageJson(*page));
               });
    routes.Delete(R"(/v1/pages/([^/]+))",
                  [&server, &intake](const httplib::Request& request, httplib::Response& response) {
                      CancelPage(server, intake, request, response);
                  });
    routes.Post(R"(/v1/pages/([^/]+)/ack)",
                [&server, &intake](const httplib::Request& request, httplib::Response& response) {
                    AcknowledgePage(server, intake, request, response);
                });
    routes.Get("/v1/unanswered", [&intake](const httplib::Request&, httplib::Response& response) {
        Json list = Json::array();
        for (const PageRecord& page : intake.Store().Waiting(200)) {
            list.push_back(PageJson(page, false));
        }
        Reply(response, 200, Json{{"pages", list}});
    });
    routes.Post("/v1/time", [&intake](const httplib::Request& request, httplib::Response& response) {
        AnswerQueued(intake, TimePage(request), request, response);
    });
}

} // namespace velkor::gateway
