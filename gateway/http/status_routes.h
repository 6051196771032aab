#pragma once
// The gateway's health for people and checks (GET /v1/health, JSON) and for Prometheus (GET /metrics).

#include "gateway/health/health.h"
#include "gateway/http/server.h"
#include "gateway/intake/intake.h"
#include "gateway/intake/page_json.h"

namespace velkor::gateway {

void AddStatusRoutes(HttpServer& server, Intake& intake, const HealthSources& health);

// The health as /v1/health and the console's health events tell it.
Json HealthJson(const GatewayHealth& health);

} // namespace velkor::gateway
