#include "gateway/health/health.h"

namespace velkor::gateway {

GatewayHealth HealthSources::Now() const {
    GatewayHealth health;
    health.sender = m_transmitter.CurrentHealth();
    if (m_mqtt) {
        health.mqtt = m_mqtt->CurrentHealth();
    }
    if (m_panel) {
        health.panel = m_panel->CurrentHealth();
    }
    health.status = Verdict(health);
    return health;
}

std::string Verdict(const GatewayHealth& health) {
    if (!health.sender.storeProblem.empty()) {
        return "queue cannot be stored";
    }
    if (!health.sender.link.open) {
        return "port closed";
    }
    if (health.sender.writesFailing) {
        return "writes failing";
    }
    if (health.mqtt && !health.mqtt->connected) {
        return "broker not connected";
    }
    if (health.panel && !health.panel->link.open) {
        return "panel port closed";
    }
    return "ok";
}

std::string StatusLine(const GatewayHealth& health) {
    const Health& sender = health.sender;
    std::string line = health.status + ": port " + sender.port + (sender.link.open ? " open" : " not open") +
                       ", " + std::to_string(sender.queueDepth) + " queued";
    if (!sender.sequenceProblem.empty()) {
        line += ", sequence numbers counted in the queue";
    }
    if (sender.drainSeconds > 0) {
        line += ", pages will expire unsent";
    }
    if (health.mqtt) {
        line += health.mqtt->connected ? ", broker connected" : ", broker not connected";
    }
    if (health.panel) {
        line += health.panel->link.open ? ", panel open, " + std::to_string(health.panel->calls) + " calls"
                                        : ", panel not open";
    }
    return line;
}

} // namespace velkor::gateway
