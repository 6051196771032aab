#include "gateway/http/status_routes.h"

#include "gateway/http/replies.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace velkor::gateway {
namespace {

// What does not stop pages going out, but someone should know of.
Json Warnings(const Health& health) {
    Json warnings = Json::array();
    if (!health.sequenceProblem.empty()) {
        warnings.push_back(
            "sequence numbers are counted in the queue, which the window and velkor-cli do not "
            "see: " +
            health.sequenceProblem);
    }
    if (health.drainSeconds > 0) {
        warnings.push_back("the queue takes about " + std::to_string(std::lround(health.drainSeconds)) +
                           " s to send at the port's pace, and its first page expires in " +
                           std::to_string(std::lround(health.firstExpiresIn)) +
                           " s: pages will expire unsent");
    }
    return warnings;
}

Json SenderJson(const GatewayHealth& gathered) {
    const Health& health = gathered.sender;
    Json body = {{"status", gathered.status},
                 {"port", health.port},
                 {"open", health.link.open},
                 {"lost_since", TimeOrNull(health.link.lostSince)}};
    if (!health.link.problem.empty()) {
        body["port_problem"] = health.link.problem;
        body["port_problem_code"] = health.link.code;
    }
    if (!health.storeProblem.empty()) {
        body["store_problem"] = health.storeProblem;
    }
    body["queue_depth"] = health.queueDepth;
    body["frames_written"] = health.framesWritten;
    body["write_failures"] = health.writeFailures;
    body["last_failure"] = health.lastFailure.empty() ? Json(nullptr)
                                                      : Json{{"time", IsoTime(health.lastFailureTime)},
                                                             {"reason", health.lastFailure},
                                                             {"code", health.lastFailureCode}};
    if (!health.sequenceProblem.empty()) {
        body["sequence_problem"] = health.sequenceProblem;
    }
    if (health.drainSeconds > 0) {
        body["drain_seconds"] = std::round(health.drainSeconds);
    }
    body["warnings"] = Warnings(health);
    return body;
}

Json MqttJson(const MqttHealth& broker) {
    Json mqtt = {{"broker", broker.broker},
                 {"connected", broker.connected},
                 {broker.connected ? "connected_since" : "lost_since", TimeOrNull(broker.since)}};
    if (!broker.connected) {
        mqtt["problem"] = broker.problem;
    }
    mqtt["accepted"] = broker.accepted;
    mqtt["rejected"] = broker.rejected;
    mqtt["duplicates"] = broker.duplicates;
    return mqtt;
}

Json PanelJson(const PanelHealth& calls) {
    Json panel = {{"port", calls.port},
                  {"open", calls.link.open},
                  {"lost_since", TimeOrNull(calls.link.lostSince)},
                  {"calls", calls.calls},
                  {"unknown_calls", calls.unknownCalls},
                  {"naks", calls.naks},
                  {"link_resets", calls.linkResets},
                  {"last_call", TimeOrNull(calls.lastCall)}};
    if (!calls.link.open) {
        panel["problem"] = calls.link.problem;
        panel["problem_code"] = calls.link.code;
    }
    return panel;
}

// One Prometheus metric: its HELP and TYPE lines, then its samples ("NAME{labels} value" lines).
void Metric(std::string& text, const std::string& name, const char* type, const char* help,
            const std::vector<std::pair<std::string, uint64_t>>& samples) {
    text += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& [labels, value] : samples) {
        text += name + labels + " " + std::to_string(value) + "\n";
    }
}

void SenderMetrics(std::string& text, Intake& intake, const GatewayHealth& gathered) {
    const Health& health = gathered.sender;
    Metric(text, "velkor_gateway_healthy", "gauge",
           "Whether pages can go out and come in (the status of /v1/health is ok).",
           {{"", gathered.Ok() ? 1 : 0}});
    Metric(text, "velkor_gateway_status", "gauge", "The status of /v1/health, as its label.",
           {{"{status=\"" + gathered.status + "\"}", 1}});
    std::vector<std::pair<std::string, uint64_t>> states;
    for (const auto& [state, count] : intake.Store().CountByState()) {
        states.emplace_back("{state=\"" + state + "\"}", static_cast<uint64_t>(count));
    }
    Metric(text, "velkor_gateway_pages", "gauge", "Pages in the database by state.", states);
    Metric(text, "velkor_gateway_queue_depth", "gauge", "Pages waiting to be sent.",
           {{"", static_cast<uint64_t>(health.queueDepth)}});
    Metric(text, "velkor_gateway_port_up", "gauge", "Whether the transmitter's port is open.",
           {{"", health.link.open ? 1 : 0}});
    Metric(text, "velkor_gateway_frames_written_total", "counter", "Frames written whole to the port.",
           {{"", health.framesWritten}});
    Metric(text, "velkor_gateway_write_failures_total", "counter", "Frame writes that failed.",
           {{"", health.writeFailures}});
    Metric(text, "velkor_gateway_pages_removed_total", "counter", "Finished pages removed past --keep-days.",
           {{"", health.pagesRemoved}});
}

// How long people take to answer, and how many pages wait for them.
void AnswerMetrics(std::string& text, Intake& intake) {
    AnswerFigures figures = intake.Store().Answers();
    Metric(text, "velkor_gateway_unanswered_pages", "gauge", "Pages that wait for an answer.",
           {{"", static_cast<uint64_t>(figures.waiting)}});
    std::sort(figures.delays.begin(), figures.delays.end());
    const auto quantile = [&figures](double q) {
        if (figures.delays.empty()) {
            return std::string("NaN");
        }
        const auto at =
            static_cast<std::size_t>(std::lround(q * static_cast<double>(figures.delays.size() - 1)));
        char value[32];
        std::snprintf(value, sizeof value, "%.3f", figures.delays[at]);
        return std::string(value);
    };
    double sum = 0;
    for (const double delay : figures.delays) {
        sum += delay;
    }
    char total[32];
    std::snprintf(total, sizeof total, "%.3f", sum);
    text += "# HELP velkor_gateway_ack_seconds From a page's first frame to its acknowledgement, the latest "
            "1000.\n# TYPE velkor_gateway_ack_seconds summary\n";
    text += "velkor_gateway_ack_seconds{quantile=\"0.5\"} " + quantile(0.5) + "\n";
    text += "velkor_gateway_ack_seconds{quantile=\"0.99\"} " + quantile(0.99) + "\n";
    text += "velkor_gateway_ack_seconds_sum " + std::string(total) + "\n";
    text += "velkor_gateway_ack_seconds_count " + std::to_string(figures.delays.size()) + "\n";
}

void NeighbourMetrics(std::string& text, const GatewayHealth& gathered) {
    if (const std::optional<MqttHealth>& broker = gathered.mqtt) {
        Metric(text, "velkor_gateway_mqtt_up", "gauge", "Whether the gateway is connected to its broker.",
               {{"", broker->connected ? 1 : 0}});
        Metric(text, "velkor_gateway_mqtt_messages_total", "counter",
               "Messages from the broker, by what became of them.",
               {{"{result=\"accepted\"}", broker->accepted},
                {"{result=\"rejected\"}", broker->rejected},
                {"{result=\"duplicate\"}", broker->duplicates}});
    }
    if (const std::optional<PanelHealth>& calls = gathered.panel) {
        Metric(text, "velkor_gateway_panel_up", "gauge", "Whether the panel's port is open.",
               {{"", calls->link.open ? 1 : 0}});
        for (const auto& [name, help, count] :
             {std::tuple{"calls", "Calls from the panel stored as pages (unknown numbers included).",
                         calls->calls},
              std::tuple{"unknown_calls", "Calls to a number no watch has.", calls->unknownCalls},
              std::tuple{"naks", "Blocks from the panel answered NAK.", calls->naks},
              std::tuple{"link_resets", "Exchanges with the panel dropped half done.", calls->linkResets}}) {
            Metric(text, std::string("velkor_gateway_panel_") + name + "_total", "counter", help,
                   {{"", count}});
        }
    }
}

} // namespace

Json HealthJson(const GatewayHealth& health) {
    Json body = SenderJson(health);
    if (health.mqtt) {
        body["mqtt"] = MqttJson(*health.mqtt);
    }
    if (health.panel) {
        body["panel"] = PanelJson(*health.panel);
    }
    return body;
}

void AddStatusRoutes(HttpServer& server, Intake& intake, const HealthSources& health) {
    httplib::Server& routes = server.Routes();
    routes.Get("/v1/health", [&health](const httplib::Request&, httplib::Response& response) {
        const GatewayHealth now = health.Now();
        // 503 while pages cannot go out or come in, so that a plain HTTP check sees it.
        Reply(response, now.Ok() ? 200 : 503, HealthJson(now));
    });
    routes.Get("/metrics", [&server, &intake, &health](const httplib::Request&, httplib::Response& response) {
        const GatewayHealth now = health.Now();
        std::string text;
        SenderMetrics(text, intake, now);
        AnswerMetrics(text, intake);
        NeighbourMetrics(text, now);
        std::vector<std::pair<std::string, uint64_t>> refused;
        for (const auto& [kind, count] : server.RefusalCounts().Counts()) {
            refused.emplace_back("{listener=\"" + kind.first + "\",reason=\"" + kind.second + "\"}", count);
        }
        Metric(text, "velkor_gateway_refused_total", "counter",
               "Requests a listener refused, by listener and reason.", refused);
        response.set_content(text, "text/plain; version=0.0.4");
    });
}

} // namespace velkor::gateway
