#include "alerts.h"

#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/utf8.h"
#include "page_text.h"

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

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string part = list.substr(start, end - start);
        while (!part.empty() && part.front() == ' ') {
            part.erase(part.begin());
        }
        while (!part.empty() && part.back() == ' ') {
            part.pop_back();
        }
        if (!part.empty()) {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

} // namespace

std::string FitPageText(std::string_view text) {
    std::optional<std::u16string> wide = Utf8ToUtf16(ValidUtf8(text));
    std::u16string clean;
    for (const char16_t c : wide.value_or(u"")) {
        clean += (c < 0x20 && c != u'\n') || c == 0x7F ? u' ' : c;
    }
    if (WideToAnsi(clean).size() <= MAX_TEXT_BYTES) {
        return Utf16ToUtf8(clean);
    }
    // The longest head of whole characters that leaves room for "…" (two bytes in GBK).
    std::size_t low = 0;
    std::size_t high = clean.size();
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (WideToAnsi(clean.substr(0, middle)).size() + 2 <= MAX_TEXT_BYTES) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    if (low > 0 && low < clean.size() && (clean[low - 1] & 0xFC00) == 0xD800) {
        --low; // not between the halves of a surrogate pair
    }
    return Utf16ToUtf8(clean.substr(0, low)) + "…";
}

Notification AlertmanagerPages(std::string_view body, const std::vector<std::string>& to,
                               const AlertSettings& settings, const Intake& intake,
                               const std::string& source) {
    const Json notification = Json::parse(body, nullptr, false);
    if (notification.is_discarded() || !notification.is_object()) {
        throw PageRefusal{400, "the body is not JSON: Alertmanager's webhook sends a JSON object"};
    }
    const auto alerts = notification.find("alerts");
    if (alerts == notification.end() || !alerts->is_array() || !notification.contains("groupKey")) {
        throw PageRefusal{422,
                          "not an Alertmanager notification: it has no \"alerts\" list and \"groupKey\""};
    }
    Notification result;
    std::string digest = Text(notification, "groupKey");
    for (const Json& alert : *alerts) {
        if (!alert.is_object()) {
            throw PageRefusal{422, "alerts: each alert is an object"};
        }
        const std::string status = Text(alert, "status");
        if (status != "firing" && status != "resolved") {
            throw PageRefusal{422, "alerts: status is \"firing\" or \"resolved\""};
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
        if (status == "resolved" && !settings.pageResolved) {
            continue;
        }
        std::string what = Text(annotations, "summary");
        if (what.empty()) {
            what = Text(annotations, "description");
        }
        if (what.empty()) {
            what = Text(labels, "alertname");
            std::string rest;
            if (labels.is_object()) {
                for (const auto& [name, value] : labels.items()) {
                    if (name != "alertname" && name != "velkor_to" && value.is_string()) {
                        rest += (rest.empty() ? "" : " ") + name + "=" + value.get<std::string>();
                    }
                }
            }
            what += rest.empty() ? "" : (what.empty() ? "" : " ") + rest;
        }
        const std::string label = Text(labels, "velkor_to");
        const std::vector<std::string> recipients = label.empty() ? to : Split(label);
        if (recipients.empty()) {
            throw PageRefusal{422, "to: no recipients: give them in the webhook's address (?to=kitchen) or "
                                   "in the alert's label velkor_to"};
        }
        NewPage page;
        page.source = source;
        const std::string severity = Text(labels, "severity");
        page.priority = severity == "critical" || severity == "page" ? Priority::High : Priority::Normal;
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
