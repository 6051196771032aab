#pragma once
// Pages as JSON: the page a sender hands in (HTTP's POST /v1/pages, a message from the broker) and the
// record the gateway tells of a page.
//
// Threads: any thread.

#include "gateway/intake/intake.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor::gateway {

using Json = nlohmann::ordered_json;

// A page refused: the HTTP status that answers it (400: not a JSON object, 422: a field), the reason in
// English (naming the field), a stable code for programs (see velkor-gateway(1)) and the field at fault.
struct PageRefusal {
    PageRefusal(int answer = 422, std::string reason = {}, std::string stable = "invalid",
                std::string at = {}, std::string given = {})
        : status(answer), message(std::move(reason)), code(std::move(stable)), field(std::move(at)),
          value(std::move(given)) {}
    int status;
    std::string message;
    std::string code;
    std::string field; // "" for the request as a whole
    std::string value; // the one value of the field at fault, when it holds several ("" otherwise)
};

struct ReadPage {
    NewPage page;
    std::string warning; // characters GBK lacks, sent as "?"
};

inline constexpr int MAX_TTL_SECONDS = 86400;
inline constexpr int MAX_REPEAT_COUNT = 1000;
// The furthest ahead a page may be queued for.
inline constexpr double MAX_AHEAD_SECONDS = 366.0 * 86400;

// Reads {"to", "text", "priority", "ttl", "repeat", "answer", "at"}: every field checked, a field it does not
// know refused, the recipients read against the watch list. `page` brings the source.
std::variant<ReadPage, PageRefusal> PageFromJson(std::string_view body, NewPage page, const Intake& intake);
// The recipients and text of a page however they came, checked into `page`.
std::variant<ReadPage, PageRefusal> CompletePage(NewPage page, const std::vector<std::string>& to,
                                                 const std::string& text, const Intake& intake);

// `page` escalated by `policy` (it asks for an answer, and its next step is timed). Throws PageRefusal
// (unknown_policy) for a policy `policies` lacks.
void SetEscalation(NewPage& page, const std::string& policy, const Escalations& policies);

// The fields the time page shares with a text page. Throw PageRefusal.
Priority ReadPriority(const Json& value);
int ReadTtl(const Json& value);

// UTF-8 ISO 8601 with milliseconds, "" for 0.
std::string IsoTime(double seconds);
Json TimeOrNull(double seconds);
// The page's record; its frames too when `frames` (a listing leaves them out).
Json PageJson(const PageRecord& page, bool frames = true);
// `json` as text; bytes that are not UTF-8 (from a client) become U+FFFD instead of failing.
std::string JsonText(const Json& json);

} // namespace velkor::gateway
