#include "gateway/http/replies.h"

#include "gateway/net/listen_address.h"

namespace velkor::gateway {

void Reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    // Paths, query values and logins are the client's bytes: whatever is not UTF-8 shows as U+FFFD.
    response.set_content(JsonText(body) + "\n", "application/json");
}

namespace {

void ReplyError(httplib::Response& response, int status, Json body) {
    if (status == 503) {
        response.set_header("Retry-After", "1");
    }
    Reply(response, status, body);
}

} // namespace

void ReplyError(httplib::Response& response, int status, std::string_view code, const std::string& message,
                const std::string& field) {
    Json body = {{"error", message}, {"code", code}};
    if (!field.empty()) {
        body["field"] = field;
    }
    ReplyError(response, status, std::move(body));
}

void ReplyRefusal(httplib::Response& response, const PageRefusal& refusal) {
    Json body = {{"error", refusal.message}, {"code", refusal.code}};
    for (const auto& [name, value] :
         {std::pair{"field", &refusal.field}, std::pair{"value", &refusal.value}}) {
        if (!value->empty()) {
            body[name] = *value;
        }
    }
    ReplyError(response, refusal.status, std::move(body));
}

std::string PeerText(const httplib::Request& request) {
    return HostPortText(request.remote_addr, request.remote_port);
}

std::string SourceOf(const std::string& what, const httplib::Request& request) {
    return what + " " + PeerText(request);
}

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

} // namespace velkor::gateway
