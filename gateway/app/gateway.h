#pragma once
// The running gateway: every piece its options ask for, built in order (the queue, the transmitter, the
// intake, then the listeners), started each on a thread of its own, read again on SIGHUP, and stopped in
// the order that lets each finish what it took.
//
// Threads: one (main's); the pieces run their own.

#include "gateway/app/options.h"
#include "gateway/espa/espa_panel.h"
#include "gateway/health/health.h"
#include "gateway/hooks/hook_routes.h"
#include "gateway/http/http_api.h"
#include "gateway/intake/intake.h"
#include "gateway/mqtt/mqtt_link.h"
#include "gateway/net/refusals.h"
#include "gateway/net/tokens.h"
#include "gateway/publish/publish_routes.h"
#include "gateway/queue/page_store.h"
#include "gateway/schedule/escalator.h"
#include "gateway/schedule/scheduler.h"
#include "gateway/smtp/smtp_server.h"
#include "gateway/snpp/snpp_server.h"
#include "gateway/transmit/transmitter.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace velkor::gateway {

class Gateway {
public:
    explicit Gateway(Options options) : m_options(std::move(options)) {}
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Builds every piece; false with the reason in `error` (a line each, for the start's refusal).
    bool Open(std::string* error);
    void Start();
    // SIGHUP: the hooks file and the watch list read again; a file that fails keeps the old one.
    void Reload();
    void Stop();

    GatewayHealth Health() const { return m_health->Now(); }
    // When the sending loop last turned, for the watchdog.
    std::chrono::steady_clock::time_point LastTurn() const { return m_transmitter->LastTurn(); }

private:
    bool OpenQueue(std::string* error);
    bool OpenSnpp(std::string* error);
    bool OpenSmtp(std::string* error);
    bool OpenConsole(std::string* error);
    bool OpenHttp(std::string* error);
    bool OpenSchedule(std::string* error);
    void LogStart() const;
    // A quick text or a hook whose recipient the watch list lacks fails every time it is used, and a policy
    // the escalations file lacks is never followed: said at start, and when the files are read again, so
    // that a site hears of it before a call is lost.
    void WarnOfUnknownNames() const;

    const Options m_options;
    std::optional<Tokens> m_tokens;
    std::unique_ptr<PageStore> m_store;
    std::unique_ptr<Transmitter> m_transmitter;
    std::unique_ptr<Intake> m_intake;
    std::unique_ptr<MqttLink> m_mqtt;
    Refusals m_refusals;
    std::unique_ptr<SnppServer> m_snpp;
    std::unique_ptr<SmtpServer> m_smtp;
    ConsoleSettings m_console;
    std::unique_ptr<EspaPanel> m_panel;
    std::unique_ptr<HealthSources> m_health;
    std::unique_ptr<HttpApi> m_http;
    std::unique_ptr<HookRoutes> m_hookRoutes;
    std::shared_ptr<const Hooks> m_hooks;
    std::unique_ptr<Scheduler> m_scheduler;
    std::unique_ptr<Escalator> m_escalator;
    std::thread m_sending, m_snppThread, m_smtpThread, m_httpThread, m_mqttThread, m_panelThread,
        m_schedulerThread, m_escalatorThread;
};

} // namespace velkor::gateway
