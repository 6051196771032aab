#pragma once
// Where the listeners hand in pages: recipients read against the current watch list, the page committed,
// logged and the transmitter woken.
//
// Threads: any thread.

#include "frames/roster.h"
#include "gateway/intake/escalations.h"
#include "gateway/intake/watch_names.h"
#include "gateway/queue/page_store.h"
#include "gateway/transmit/transmitter.h"

#include <memory>
#include <mutex>
#include <string_view>
#include <variant>

namespace velkor::gateway {

// Where a page came from as the log says it: its source, and the key it came with ("http 127.0.0.1:41234
// (token desk-1)").
std::string SourceText(const NewPage& page);

class Intake {
public:
    Intake(PageStore& store, Transmitter& transmitter, std::shared_ptr<const WatchNames> names);

    std::variant<std::vector<Recipient>, std::string> Resolve(std::string_view text) const;
    // The watch list as it is now.
    std::shared_ptr<const WatchNames> Names() const;
    // Commits `page` and wakes the transmitter: the page's id, or the store's reason it could not.
    // Waits at most `wait` for the queue (see PageStore::Submit).
    std::variant<int64_t, std::string> Submit(const NewPage& page,
                                              std::chrono::milliseconds wait = PageStore::SUBMIT_WAIT);
    // The same for a page the broker delivered (see PageStore::SubmitDelivered).
    std::variant<Submitted, std::string> SubmitDelivered(const NewPage& page, const Delivery& delivery);
    // The pages of one webhook notification, all or none (see PageStore::SubmitNotification).
    std::variant<Notified, std::string> SubmitNotification(const std::vector<NewPage>& pages,
                                                           const std::string& digest,
                                                           const std::string& request = "");
    // A watch list read again (SIGHUP).
    void SetWatchNames(std::shared_ptr<const WatchNames> names);
    // The escalation policies as they are now (none without an escalations file), and read again.
    std::shared_ptr<const Escalations> Policies() const;
    void SetPolicies(std::shared_ptr<const Escalations> policies);
    // The duty rosters as they are now (none without a roster file), and read again: a roster's name is a
    // recipient, whoever of it is on duty when the page is handed in.
    std::shared_ptr<const Rosters> DutyRosters() const;
    void SetRosters(std::shared_ptr<const Rosters> rosters);

    PageStore& Store() { return m_store; }
    Transmitter& Sender() { return m_transmitter; }

private:
    void Queued(const NewPage& page, int64_t id);

    PageStore& m_store;
    Transmitter& m_transmitter;
    mutable std::mutex m_mutex; // guards m_names, m_policies and m_rosters
    std::shared_ptr<const WatchNames> m_names;
    std::shared_ptr<const Escalations> m_policies = std::make_shared<const Escalations>();
    std::shared_ptr<const Rosters> m_rosters = std::make_shared<const Rosters>();
};

} // namespace velkor::gateway
