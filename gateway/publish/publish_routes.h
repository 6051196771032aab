#pragma once
// The publish APIs alerting tools already speak, on the HTTP listener: ntfy's (POST or PUT /TOPIC with the
// message as the body, or POST / with ntfy's JSON) and Gotify's (POST /message). A topic is a watch, group
// or roster name; the answers have each project's shape, so that their clients cannot tell the difference.
//
// Threads: the routes run on the server's.

#include "gateway/http/server.h"
#include "gateway/intake/intake.h"

namespace velkor::gateway {

// ntfy's priority (1 to 5, or min, low, default, high, urgent, max) as 1 to 5; nullopt for another word.
std::optional<int> NtfyPriority(std::string_view text);

void AddPublishRoutes(HttpServer& server, Intake& intake);

} // namespace velkor::gateway
