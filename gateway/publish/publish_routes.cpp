#include "gateway/publish/publish_routes.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/http/replies.h"
#include "gateway/intake/page_json.h"
#include "gateway/intake/page_text.h"
#include "gateway/intake/watch_names.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

#include <cctype>
#include <ctime>

namespace velkor::gateway {
namespace {

// What a publisher hands in, whichever API it used.
struct Published {
    std::string topic; // ntfy's; empty for Gotify
    std::vector<std::string> to;
    std::string title;
    std::string message;
    std::vector<std::string> tags;
    int priority = 3;  // the API's own number, as its answer says it again
    bool high = false; // the API's high priorities
};

// A refusal in the shape of the API the client spoke.
struct Refused {
    int status;
    std::string message;
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// The first of `names` given as a header or a query parameter, as ntfy reads its options.
std::optional<std::string> NtfyOption(const httplib::Request& request, const httplib::Params& query,
                                      std::initializer_list<const char*> headers,
                                      std::initializer_list<const char*> parameters) {
    for (const char* header : headers) {
        if (request.has_header(header)) {
            return request.get_header_value(header);
        }
    }
    for (const char* parameter : parameters) {
        if (std::optional<std::string> value = Value(query, parameter)) {
            return value;
        }
    }
    return std::nullopt;
}

std::vector<std::string> SplitTags(std::string_view text) {
    std::vector<std::string> tags;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (const std::string_view tag = TrimBlanks(text.substr(start, end - start)); !tag.empty()) {
            tags.emplace_back(tag);
        }
        start = end + 1;
    }
    return tags;
}

// ntfy's answer to a refusal: {"code": 40001, "http": 400, "error": ...}.
void ReplyNtfyError(httplib::Response& response, const Refused& refused) {
    Reply(response, refused.status,
          Json{{"code", refused.status * 100 + 1}, {"http", refused.status}, {"error", refused.message}});
}

// Gotify's: {"error": "Bad Request", "errorCode": 400, "errorDescription": ...}.
void ReplyGotifyError(httplib::Response& response, const Refused& refused) {
    Reply(response, refused.status,
          Json{{"error", refused.status == 401   ? "Unauthorized"
                         : refused.status == 403 ? "Forbidden"
                         : refused.status == 404 ? "Not Found"
                         : refused.status == 503 ? "Service Unavailable"
                                                 : "Bad Request"},
               {"errorCode", refused.status},
               {"errorDescription", refused.message}});
}

// "title: message", cut on a whole character to what the watches show.
std::string PageTextOf(const Published& published) {
    std::string text = published.title;
    if (!text.empty() && !published.message.empty()) {
        text += ": ";
    }
    text += published.message;
    return FitPageText(text);
}

// Queues the page `published` asks for: its id, or the refusal.
std::variant<int64_t, Refused> Queue(const Published& published, const std::string& source,
                                     const HttpServer& server, const httplib::Request& request,
                                     Intake& intake) {
    NewPage page;
    page.source = source;
    page.key = server.KeyOf(request).name;
    page.priority = published.high ? Priority::High : Priority::Normal;
    std::variant<ReadPage, PageRefusal> read =
        CompletePage(page, published.to, PageTextOf(published), intake);
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        const int status = refusal->code == "unknown_recipient" ? 404
                           : refusal->status == 422             ? 400
                                                                : refusal->status;
        LogWarning(source + " refused: " + refusal->message);
        return Refused{status, refusal->message};
    }
    std::variant<int64_t, std::string> id = intake.Submit(std::get<ReadPage>(read).page);
    if (const auto* reason = std::get_if<std::string>(&id)) {
        return Refused{503, "not queued: " + *reason};
    }
    return std::get<int64_t>(id);
}

// ntfy's options from the headers and the query (the message aside): what the body leaves unsaid.
std::optional<Refused> NtfyOptions(const httplib::Request& request, Published& published,
                                   bool priorityGiven = false) {
    const httplib::Params query = QueryOf(request);
    if (published.title.empty()) {
        published.title =
            NtfyOption(request, query, {"X-Title", "Title", "ti", "t"}, {"title", "ti", "t"}).value_or("");
    }
    if (published.tags.empty()) {
        published.tags = SplitTags(
            NtfyOption(request, query, {"X-Tags", "Tags", "Tag", "ta"}, {"tags", "tag", "ta"}).value_or(""));
    }
    if (std::optional<std::string> priority =
            NtfyOption(request, query, {"X-Priority", "Priority", "prio", "p"}, {"priority", "prio", "p"});
        priority && !priorityGiven) {
        const std::optional<int> level = NtfyPriority(*priority);
        if (!level) {
            return Refused{400, "invalid priority: " + *priority +
                                    " (1 to 5, min, low, default, high, urgent, max)"};
        }
        published.priority = *level;
    }
    return std::nullopt;
}

// POST or PUT /TOPIC: the message is the body (or its message option).
std::variant<Published, Refused> NtfyFromRequest(const httplib::Request& request, const std::string& topic) {
    Published published;
    published.topic = topic;
    published.to = {topic};
    published.message = request.body;
    if (published.message.empty()) {
        published.message =
            NtfyOption(request, QueryOf(request), {"X-Message", "Message", "m"}, {"message", "m"})
                .value_or("triggered");
    }
    if (std::optional<Refused> refused = NtfyOptions(request, published)) {
        return *refused;
    }
    return published;
}

// POST / with ntfy's JSON: {"topic", "message", "title", "priority", "tags"}; the headers say the rest, as
// Apprise sends its priority and tags.
std::variant<Published, Refused> NtfyFromJson(const httplib::Request& request) {
    const Json json = Json::parse(request.body, nullptr, false);
    if (!json.is_object()) {
        return Refused{400, "the body is not a JSON object: POST / takes ntfy's JSON (topic, message...)"};
    }
    Published published;
    const auto text = [&json](const char* field) {
        return json.contains(field) && json[field].is_string() ? json[field].get<std::string>()
                                                               : std::string();
    };
    published.topic = text("topic");
    if (published.topic.empty()) {
        return Refused{400, "topic: missing (a watch, group or roster name)"};
    }
    published.to = {published.topic};
    published.title = text("title");
    published.message = json.contains("message") ? text("message") : "triggered";
    if (json.contains("tags") && json["tags"].is_array()) {
        for (const Json& tag : json["tags"]) {
            if (tag.is_string()) {
                published.tags.push_back(tag.get<std::string>());
            }
        }
    }
    if (json.contains("priority")) {
        const Json& priority = json["priority"];
        const std::optional<int> level = priority.is_number_integer()
                                             ? NtfyPriority(std::to_string(priority.get<int64_t>()))
                                         : priority.is_string() ? NtfyPriority(priority.get<std::string>())
                                                                : std::nullopt;
        if (!level) {
            return Refused{400, "invalid priority: 1 to 5"};
        }
        published.priority = *level;
    }
    if (std::optional<Refused> refused = NtfyOptions(request, published, json.contains("priority"))) {
        return *refused;
    }
    return published;
}

void Ntfy(const HttpServer& server, Intake& intake, const httplib::Request& request,
          httplib::Response& response, std::variant<Published, Refused> read) {
    if (const auto* refused = std::get_if<Refused>(&read)) {
        ReplyNtfyError(response, *refused);
        return;
    }
    Published& published = std::get<Published>(read);
    if (!IsUtf8(published.title) || !IsUtf8(published.message)) {
        ReplyNtfyError(response, Refused{400, "the message and title must be UTF-8 text"});
        return;
    }
    published.high = published.priority >= 4;
    const std::variant<int64_t, Refused> queued =
        Queue(published, SourceOf("ntfy " + published.topic, request), server, request, intake);
    if (const auto* refused = std::get_if<Refused>(&queued)) {
        ReplyNtfyError(response, *refused);
        return;
    }
    const auto now = static_cast<int64_t>(std::time(nullptr));
    Json body = {{"id", std::to_string(std::get<int64_t>(queued))},
                 {"time", now},
                 {"expires", now + DEFAULT_TTL_SECONDS},
                 {"event", "message"},
                 {"topic", published.topic},
                 {"message", published.message}};
    if (!published.title.empty()) {
        body["title"] = published.title;
    }
    if (published.priority != 3) {
        body["priority"] = published.priority;
    }
    if (!published.tags.empty()) {
        body["tags"] = published.tags;
    }
    Reply(response, 200, body);
}

// Gotify's message: JSON or a form, the recipient from ?to= or the key's own.
void Gotify(const HttpServer& server, Intake& intake, const httplib::Request& request,
            httplib::Response& response) {
    Published published;
    const std::string type = Lower(request.get_header_value("Content-Type"));
    int priority = 0;
    if (type.starts_with("application/json")) {
        const Json json = Json::parse(request.body, nullptr, false);
        if (!json.is_object()) {
            ReplyGotifyError(response, Refused{400, "the body is not a JSON object"});
            return;
        }
        published.title =
            json.contains("title") && json["title"].is_string() ? json["title"].get<std::string>() : "";
        published.message =
            json.contains("message") && json["message"].is_string() ? json["message"].get<std::string>() : "";
        priority = json.contains("priority") && json["priority"].is_number_integer()
                       ? json["priority"].get<int>()
                       : 0;
    } else {
        // A form, urlencoded (httplib files its fields with the query's) or multipart (as its files).
        const auto field = [&request](const char* name) {
            return request.has_file(name) ? request.get_file_value(name).content
                                          : request.get_param_value(name);
        };
        published.title = field("title");
        published.message = field("message");
        if (const std::string given = field("priority"); !given.empty()) {
            const std::optional<uint32_t> number = ParseUnsigned(given, 0, 1000);
            if (!number) {
                ReplyGotifyError(response, Refused{400, "priority: a whole number"});
                return;
            }
            priority = static_cast<int>(*number);
        }
    }
    if (published.message.empty()) {
        ReplyGotifyError(response, Refused{400, "Field 'message' is required"});
        return;
    }
    published.priority = priority;
    published.high = priority >= 8;
    published.to = Values(QueryOf(request), "to");
    const Key key = server.KeyOf(request);
    if (published.to.empty()) {
        published.to = SplitRecipients(key.to);
    }
    if (published.to.empty()) {
        ReplyGotifyError(response,
                         Refused{400,
                                 "no recipient: give ?to=NAME, or name the key's recipient in the token file "
                                 "(to=NAME)"});
        return;
    }
    const std::variant<int64_t, Refused> queued =
        Queue(published, SourceOf("gotify", request), server, request, intake);
    if (const auto* refused = std::get_if<Refused>(&queued)) {
        ReplyGotifyError(response, *refused);
        return;
    }
    Reply(response, 200,
          Json{{"id", std::get<int64_t>(queued)},
               {"appid", 1},
               {"message", published.message},
               {"title", published.title},
               {"priority", priority},
               {"date", IsoTime(WallNow())}});
}

} // namespace

std::optional<int> NtfyPriority(std::string_view text) {
    const std::string word = Lower(TrimBlanks(text));
    constexpr std::pair<const char*, int> NAMES[] = {{"1", 1}, {"min", 1},     {"2", 2},  {"low", 2},
                                                     {"3", 3}, {"default", 3}, {"4", 4},  {"high", 4},
                                                     {"5", 5}, {"urgent", 5},  {"max", 5}};
    for (const auto& [name, level] : NAMES) {
        if (word == name) {
            return level;
        }
    }
    return std::nullopt;
}

void AddPublishRoutes(HttpServer& server, Intake& intake) {
    httplib::Server& routes = server.Routes();
    const auto gotify = [&server, &intake](const httplib::Request& request, httplib::Response& response) {
        Gotify(server, intake, request, response);
    };
    routes.Post("/message", gotify);
    const auto json = [&server, &intake](const httplib::Request& request, httplib::Response& response) {
        Ntfy(server, intake, request, response, NtfyFromJson(request));
    };
    routes.Post("/", json);
    routes.Put("/", json);
    // One path segment, none of the API's own (those are under /v1/ and /metrics).
    const auto topic = [&server, &intake](const httplib::Request& request, httplib::Response& response) {
        const std::string name = request.matches[1].str();
        Ntfy(server, intake, request, response, NtfyFromRequest(request, name));
    };
    routes.Post(R"(/([^/]+))", topic);
    routes.Put(R"(/([^/]+))", topic);
}

} // namespace velkor::gateway
