#include "gateway/hooks/alertmanager.h"

#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/utf8.h"
#include "gateway/intake/page_text.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace velkor::gateway {
namespace {

std::string Text(const Json& object, const char* key) {
    if (!object.is_object()) {
        return {};
    }
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// An alert that must be answered: the label velkor_answer "true", or velkor_repeat (5, 10, 20, 30 or 60:
// seconds between rounds until it is acknowledged or resolved, for velkor_ttl seconds, an hour by default).
void ReadAnswerLabels(const Json& labels, NewPage& page) {
    const std::string repeat = Text(labels, "velkor_repeat");
    if (!repeat.empty()) {
        const int every = std::atoi(repeat.c_str());
        if (std::find(std::begin(REPEAT_INTERVALS), std::end(REPEAT_INTERVALS), every) ==
                std::end(REPEAT_INTERVALS) ||
            std::to_string(every) != repeat) {
            throw PageRefusal{422, "alerts: velkor_repeat is 5, 10, 20, 30 or 60 (seconds)", "invalid",
                              "velkor_repeat"};
        }
        const std::string ttl = Text(labels, "velkor_ttl");
        page.ttlSeconds = ttl.empty() ? 3600 : std::atoi(ttl.c_str());
        if (page.ttlSeconds < 1 || page.ttlSeconds > MAX_TTL_SECONDS ||
            (!ttl.empty() && std::to_string(page.ttlSeconds) != ttl)) {
            throw PageRefusal{422,
                              "alerts: velkor_ttl is 1 to " + std::to_string(MAX_TTL_SECONDS) + " seconds",
                              "invalid", "velkor_ttl"};
        }
        page.ttlGiven = true;
        page.repeatEvery = every;
        page.untilAnswered = true;
        page.answer = true;
    }
    if (Text(labels, "velkor_answer") == "true") {
        page.answer = true;
    }
}

// What an alert says: its summary, else its description, else its name and labels.
std::string AlertText(const Json& labels, const Json& annotations) {
    std::string what = Text(annotations, "summary");
    if (what.empty()) {
        what = Text(annotations, "description");
    }
    if (what.empty()) {
        what = Text(labels, "alertname");
        std::string rest;
        if (labels.is_object()) {
            for (const auto& [name, value] : labels.items()) {
                if (name != "alertname" && !name.starts_with("velkor_") && value.is_string()) {
                    rest += (rest.empty() ? "" : " ") + name + "=" + value.get<std::string>();
                }
            }
        }
        what += rest.empty() ? "" : (what.empty() ? "" : " ") + rest;
    }
    return what;
}

} // namespace

// The page an alert makes, but for its recipients and text: its priority by severity, and for a firing
// alert, the answer, repeats and escalation its labels ask for and the cause its resolution clears.
NewPage AlertPage(const Json& labels, bool firing, const std::string& fingerprint, const Intake& intake) {
    NewPage page;
    const std::string severity = Text(labels, "severity");
    page.priority = severity == "critical" || severity == "page" ? Priority::High : Priority::Normal;
    if (firing) {
        ReadAnswerLabels(labels, page);
        if (const std::string policy = Text(labels, "velkor_escalate"); !policy.empty()) {
            SetEscalation(page, policy, *intake.Policies());
        }
        page.cause = fingerprint.empty() ? "" : AlertCause(fingerprint);
    }
    return page;
}

std::string AlertCause(const std::string& fingerprint) {
    return "alertmanager " + fingerprint;
}

Notification AlertmanagerPages(std::string_view body, const std::vector<std::string>& to,
                               const AlertSettings& settings, const Intake& intake,
                               const std::string& source) {
    const Json notification = Json::parse(body, nullptr, false);
    if (notification.is_discarded() || !notification.is_object()) {
        throw PageRefusal{400, "the body is not JSON: Alertmanager's webhook sends a JSON object",
                          "not_json"};
    }
    const auto alerts = notification.find("alerts");
    if (alerts == notification.end() || !alerts->is_array() || !notification.contains("groupKey")) {
        throw PageRefusal{422, "not an Alertmanager notification: it has no \"alerts\" list and \"groupKey\"",
                          "not_alertmanager"};
    }
    Notification result;
    std::string digest = Text(notification, "groupKey");
    for (const Json& alert : *alerts) {
        if (!alert.is_object()) {
            throw PageRefusal{422, "alerts: each alert is an object", "invalid", "alerts"};
        }
        const std::string status = Text(alert, "status");
        if (status != "firing" && status != "resolved") {
            throw PageRefusal{422, "alerts: status is \"firing\" or \"resolved\"", "invalid", "alerts"};
        }
        const Json labels = alert.value("labels", Json::object());
        const Json annotations = alert.value("annotations", Json::object());
        // Alertmanager sends the same alerts again, unchanged, after an answer that did not come.
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "\n" + std::string(...).
        digest += '\n';
        digest += Text(alert, "fingerprint");
        digest += ' ';
        digest += status;
        digest += ' ';
        digest += Text(alert, "startsAt");
        const std::string fingerprint = Text(alert, "fingerprint");
        if (status == "resolved" && !fingerprint.empty()) {
            result.resolved.push_back(AlertCause(fingerprint));
        }
        if (status == "resolved" && !settings.pageResolved) {
            continue;
        }
        const std::string what = AlertText(labels, annotations);
        const std::string label = Text(labels, "velkor_to");
        const std::vector<std::string> recipients = label.empty() ? to : SplitRecipients(label);
        if (recipients.empty()) {
            throw PageRefusal{422,
                              "to: no recipients: give them in the webhook's address (?to=kitchen) or "
                              "in the alert's label velkor_to",
                              "missing", "to"};
        }
        NewPage page = AlertPage(labels, status == "firing", fingerprint, intake);
        page.source = source;
        const std::string prefix = status == "firing" ? settings.firingPrefix : settings.resolvedPrefix;
        std::variant<ReadPage, PageRefusal> read =
            CompletePage(std::move(page), recipients, FitPageText(prefix + what), intake);
        if (auto* refusal = std::get_if<PageRefusal>(&read)) {
            throw *refusal;
        }
        result.pages.push_back(std::get<ReadPage>(std::move(read)));
    }
    result.digest = digest;
    return result;
}

} // namespace velkor::gateway
