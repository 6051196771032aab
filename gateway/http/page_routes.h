#pragma once
// The page API: POST and GET /v1/pages, GET and DELETE /v1/pages/ID, POST /v1/time.

#include "gateway/http/server.h"
#include "gateway/intake/intake.h"
#include "gateway/intake/page_json.h"

namespace velkor::gateway {

void AddPageRoutes(HttpServer& server, Intake& intake);

// Queues the page `read` and answers 202 with its id and Location (503 when it cannot be stored), or
// answers the refusal. With an Idempotency-Key header, the same key (of the same token) within a day is
// answered as the first time and queues nothing; with another request, 422.
void AnswerQueued(Intake& intake, const std::variant<ReadPage, PageRefusal>& read,
                  const httplib::Request& request, httplib::Response& response);

} // namespace velkor::gateway
