#pragma once
// The API's answers, and what every route reads of a request.
//
// Every error answer is {"error": the reason in English, "code": a stable word for programs and the
// console's translations, "field": the field at fault, when there is one}. The codes are listed in
// velkor-gateway(1); a code, once given, keeps its meaning.

#include "gateway/intake/page_json.h"

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

void Reply(httplib::Response& response, int status, const Json& body);
// 503s carry Retry-After: the queue or the disk is held up for a moment.
void ReplyError(httplib::Response& response, int status, std::string_view code, const std::string& message,
                const std::string& field = "");
void ReplyRefusal(httplib::Response& response, const PageRefusal& refusal);

// "127.0.0.1:41234", "[::1]:5000".
std::string PeerText(const httplib::Request& request);
// A page's source as its record shows it: "http 127.0.0.1:41234"; `what` names the route ("http", "hook
// grafana", "alertmanager"). The key it came with is a field of its own.
std::string SourceOf(const std::string& what, const httplib::Request& request);

// The options of the query string alone. httplib also files a form-encoded body's fields as parameters,
// and a page's text is never options.
httplib::Params QueryOf(const httplib::Request& request);
std::vector<std::string> Values(const httplib::Params& params, const std::string& key);
std::optional<std::string> Value(const httplib::Params& params, const std::string& key);

} // namespace velkor::gateway
