#pragma once
// The webhook routes: POST /v1/hooks/alertmanager (Prometheus Alertmanager) and POST /v1/hooks/NAME (the
// hooks file's), added to the HTTP server.
//
// Threads: SetHooks from any thread; the routes run on the server's.

#include "gateway/hooks/alertmanager.h"
#include "gateway/hooks/hooks_file.h"
#include "gateway/http/server.h"
#include "gateway/intake/intake.h"

#include <memory>
#include <mutex>

namespace velkor::gateway {

class HookRoutes {
public:
    HookRoutes(HttpServer& server, Intake& intake, AlertSettings alerts);

    // The hooks file's hooks (nullptr: none), at start and when it is read again.
    void SetHooks(std::shared_ptr<const Hooks> hooks);

private:
    void Alertmanager(const httplib::Request& request, httplib::Response& response);
    void FileHook(const httplib::Request& request, httplib::Response& response);
    void AskForAnswer(const Hook& hook, NewPage& page) const;
    void Resolve(const std::string& name, const std::string& cause, const std::string& key,
                 const httplib::Request& request, httplib::Response& response);

    HttpServer& m_server;
    Intake& m_intake;
    const AlertSettings m_alerts;
    std::mutex m_mutex; // guards m_hooks
    std::shared_ptr<const Hooks> m_hooks;
};

} // namespace velkor::gateway
