#pragma once
// Alerts to pages: the webhook body Prometheus Alertmanager posts (version 4), each alert one page.
//
// Threads: any thread.

#include "gateway/intake/intake.h"
#include "gateway/intake/page_json.h"

#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

struct AlertSettings {
    std::string firingPrefix = "告警：";
    std::string resolvedPrefix = "已恢复：";
    bool pageResolved = true; // false: a resolved alert is acknowledged and not paged
};

struct Notification {
    std::vector<ReadPage> pages;       // one an alert paged (resolved ones left out when they are not paged)
    std::string digest;                // the same for the same notification sent again after a lost answer
    std::vector<std::string> resolved; // the causes of the resolved alerts, whose pages it resolves
};

// What ties an alert's page to its resolution: its fingerprint.
std::string AlertCause(const std::string& fingerprint);
// The page an alert makes, but for its recipients and text (its labels: severity, velkor_answer,
// velkor_repeat, velkor_ttl, velkor_escalate). Throws PageRefusal for a label at fault.
NewPage AlertPage(const Json& labels, bool firing, const std::string& fingerprint, const Intake& intake);

// The pages of Alertmanager's notification `body`. Recipients: the alert's label velkor_to when it has
// one (names, groups, addresses, separated by commas), else `to` (the query's). A text the watches cannot
// take whole is cut on a whole character with "…": a refusal would lose the alert (Alertmanager drops a
// notification answered 4xx). Throws PageRefusal for a body that is not Alertmanager's, and for
// recipients that are missing or unknown (the receiver's configuration, to be mended).
Notification AlertmanagerPages(std::string_view body, const std::vector<std::string>& to,
                               const AlertSettings& settings, const Intake& intake,
                               const std::string& source);

} // namespace velkor::gateway
