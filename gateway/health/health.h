#pragma once
// The gateway's health in one place: what the transmitter, the broker and the panel say of themselves, and
// the one verdict drawn from it, which /v1/health, /metrics, the console and the service manager's status
// line all show as it is.
//
// Threads: any thread.

#include "gateway/espa/espa_panel.h"
#include "gateway/mqtt/mqtt_link.h"
#include "gateway/transmit/transmitter.h"

#include <optional>
#include <string>

namespace velkor::gateway {

struct GatewayHealth {
    Health sender;
    std::optional<MqttHealth> mqtt;   // with a broker
    std::optional<PanelHealth> panel; // with a panel
    // The first thing that keeps pages from going out or coming in, or "ok": "queue cannot be stored",
    // "port closed", "writes failing", "broker not connected", "panel port closed".
    std::string status = "ok";
    bool Ok() const { return status == "ok"; }
};

// Whose health is gathered: the transmitter always, the broker's link and the panel when there are.
class HealthSources {
public:
    explicit HealthSources(Transmitter& transmitter, MqttLink* mqtt = nullptr, EspaPanel* panel = nullptr)
        : m_transmitter(transmitter), m_mqtt(mqtt), m_panel(panel) {}
    GatewayHealth Now() const;

private:
    Transmitter& m_transmitter;
    MqttLink* m_mqtt;
    EspaPanel* m_panel;
};

// The verdict of `health` (its `status` left aside).
std::string Verdict(const GatewayHealth& health);

// The service manager's status line: the verdict, then what a person checks first.
std::string StatusLine(const GatewayHealth& health);

} // namespace velkor::gateway
