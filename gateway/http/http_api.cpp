#include "gateway/http/http_api.h"

#include "gateway/http/page_routes.h"
#include "gateway/http/status_routes.h"

namespace velkor::gateway {

HttpApi::HttpApi(Intake& intake, std::optional<Tokens> tokens, const HealthSources& health,
                 ConsoleSettings console, Refusals& refusals)
    : m_server(std::move(tokens), refusals), m_console(m_server, intake, health, std::move(console)) {
    AddPageRoutes(m_server, intake);
    AddStatusRoutes(m_server, intake, health);
}

void HttpApi::Run() {
    m_console.Start();
    m_server.Run();
}

void HttpApi::Stop() {
    m_console.Stop();
    m_server.Stop();
}

} // namespace velkor::gateway
