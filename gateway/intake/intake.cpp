#include "gateway/intake/intake.h"

#include "frames/strict_text.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

#include <ctime>

namespace velkor::gateway {

std::string SourceText(const NewPage& page) {
    return page.key.empty() ? page.source : page.source + " (token " + page.key + ")";
}

Intake::Intake(PageStore& store, Transmitter& transmitter, std::shared_ptr<const WatchNames> names)
    : m_store(store), m_transmitter(transmitter), m_names(std::move(names)) {}

std::shared_ptr<const WatchNames> Intake::Names() const {
    std::lock_guard lock(m_mutex);
    return m_names;
}

std::variant<std::vector<Recipient>, std::string> Intake::Resolve(std::string_view text) const {
    std::shared_ptr<const WatchNames> names;
    std::shared_ptr<const Rosters> rosters;
    {
        std::lock_guard lock(m_mutex);
        names = m_names;
        rosters = m_rosters;
    }
    const std::string name(text);
    if (!rosters->Has(name)) {
        return ParseRecipient(text, *names);
    }
    // Whoever is on duty now, each member as any recipient.
    const Duty duty = rosters->DutyAt(name, std::time(nullptr));
    if (duty.now.empty()) {
        return "the roster \"" + name + "\" has nobody on duty now";
    }
    std::vector<Recipient> recipients;
    for (const std::string& member : duty.now) {
        std::variant<std::vector<Recipient>, std::string> one = ParseRecipient(member, *names);
        if (auto* reason = std::get_if<std::string>(&one)) {
            return "the roster \"" + name + "\": " + *reason;
        }
        for (Recipient& recipient : std::get<std::vector<Recipient>>(one)) {
            recipients.push_back(std::move(recipient));
        }
    }
    return recipients;
}

std::shared_ptr<const Rosters> Intake::DutyRosters() const {
    std::lock_guard lock(m_mutex);
    return m_rosters;
}

void Intake::SetRosters(std::shared_ptr<const Rosters> rosters) {
    std::lock_guard lock(m_mutex);
    m_rosters = std::move(rosters);
}

std::shared_ptr<const Escalations> Intake::Policies() const {
    std::lock_guard lock(m_mutex);
    return m_policies;
}

void Intake::SetPolicies(std::shared_ptr<const Escalations> policies) {
    std::lock_guard lock(m_mutex);
    m_policies = std::move(policies);
}

void Intake::SetWatchNames(std::shared_ptr<const WatchNames> names) {
    std::lock_guard lock(m_mutex);
    m_names = std::move(names);
}

std::variant<int64_t, std::string> Intake::Submit(const NewPage& page, std::chrono::milliseconds wait) {
    int64_t id = 0;
    try {
        id = m_store.Submit(page, QueueNow(), wait);
    } catch (const StoreError& error) {
        LogError("page from " + SourceText(page) + " not queued: " + error.what());
        return std::string(error.what());
    }
    Queued(page, id);
    return id;
}

std::variant<Submitted, std::string> Intake::SubmitDelivered(const NewPage& page, const Delivery& delivery) {
    Submitted submitted;
    try {
        submitted = m_store.SubmitDelivered(page, QueueNow(), delivery);
    } catch (const StoreError& error) {
        LogError("page from " + SourceText(page) + " not queued: " + error.what());
        return std::string(error.what());
    }
    if (submitted.duplicate) {
        LogLine("page " + std::to_string(submitted.id) + " delivered again by " + SourceText(page) +
                " (its acknowledgement was lost): not queued twice");
    } else {
        Queued(page, submitted.id);
    }
    return submitted;
}

std::variant<Notified, std::string> Intake::SubmitNotification(const std::vector<NewPage>& pages,
                                                               const std::string& digest,
                                                               const std::string& request) {
    Notified notified;
    try {
        notified = m_store.SubmitNotification(pages, digest, QueueNow(), request);
    } catch (const StoreError& error) {
        LogError("notification from " +
                 (pages.empty() ? std::string("a webhook") : SourceText(pages.front())) +
                 " not queued: " + error.what());
        return std::string(error.what());
    }
    if (notified.duplicate) {
        LogLine("a request sent again (its answer was lost) from " +
                (pages.empty() ? std::string("a webhook") : SourceText(pages.front())) + ": not paged twice");
    } else if (!notified.conflict) {
        for (std::size_t i = 0; i < pages.size() && i < notified.pages.size(); ++i) {
            Queued(pages[i], notified.pages[i]);
        }
    }
    return notified;
}

void Intake::Queued(const NewPage& page, int64_t id) {
    if (page.failure) {
        LogError("page " + std::to_string(id) + " from " + SourceText(page) +
                 " recorded as failed, not sent: " + page.failure->text);
        return;
    }
    m_transmitter.Wake();
    std::string to;
    for (const Recipient& recipient : page.recipients) {
        to += (to.empty() ? "" : ", ") + AddressText(recipient.address);
        if (!recipient.name.empty() && recipient.name != "all") {
            to += " (" + recipient.name + ")";
        }
    }
    std::string line =
        "page " + std::to_string(id) + " queued from " + SourceText(page) + ": " +
        (page.kind == PageKind::Time ? "the time" : std::to_string(page.gbk.size()) + " bytes") + " to " +
        to + ", " + PriorityName(page.priority);
    if (page.repeatEvery > 0) {
        line += ", every " + std::to_string(page.repeatEvery) + " s, " + std::to_string(page.repeatCount) +
                " times";
    }
    LogLine(line);
}

} // namespace velkor::gateway
