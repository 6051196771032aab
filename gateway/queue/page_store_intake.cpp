// Pages handed in: one at a time in group commits, a broker's deliveries, a webhook's notifications.

#include "gateway/queue/page_store.h"

#include "frames/strict_text.h"
#include "gateway/queue/page_details.h"
#include "gateway/queue/sqlite.h"

#include <algorithm>
#include <thread>

namespace velkor::gateway {

int64_t PageStore::InsertPage(const NewPage& page, double now) {
    Statement insert(
        *m_statements,
        "INSERT INTO pages(kind, text, gbk, priority, created, expires, repeat_every, "
        "repeat_count, state, reason, finished, source, next_due, key_name, details, "
        "reason_code, detail_list, answer, cause, scheduled, until_answered, escalation, step, chain, "
        "next_step) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    // A page for later is due then, and its time to live counts from then.
    const double start = page.at > now ? page.at : now;
    insert.Bind(1, PageKindName(page.kind))
        .Bind(2, page.text)
        .BindBlob(3, page.gbk)
        .Bind(4, int64_t{page.priority == Priority::High ? 1 : 0})
        .Bind(5, now)
        .Bind(6, start + page.ttlSeconds)
        .Bind(7, int64_t{page.repeatEvery})
        .Bind(8, int64_t{std::max(1, page.repeatCount)})
        .Bind(9, std::string(page.failure ? "failed" : "queued"))
        .Bind(10, page.failure ? page.failure->text : "")
        .Bind(11, page.failure ? now : 0.0)
        .Bind(12, page.source)
        .Bind(13, start)
        .Bind(14, page.key)
        .Bind(15, DetailsText(page.details))
        .Bind(16, page.failure ? page.failure->code : "")
        .Bind(17, DetailListText(page.details))
        .Bind(18, int64_t{page.answer ? 1 : 0})
        .Bind(19, page.cause)
        .Bind(20, page.at > now ? page.at : 0.0)
        .Bind(21, int64_t{page.untilAnswered ? 1 : 0})
        .Bind(22, page.escalation)
        .Bind(23, int64_t{page.step})
        .Bind(24, page.chain)
        .Bind(25, page.escalateAfter > 0 ? start + page.escalateAfter : 0.0)
        .Run();
    const int64_t id = sqlite3_last_insert_rowid(m_db);
    for (std::size_t i = 0; i < page.recipients.size(); ++i) {
        Statement row(*m_statements,
                      "INSERT INTO recipients(page_id, position, address, name) VALUES(?, ?, ?, ?)");
        row.Bind(1, id)
            .Bind(2, static_cast<int64_t>(i))
            .Bind(3, AddressText(page.recipients[i].address))
            .Bind(4, page.recipients[i].name)
            .Run();
    }
    return id;
}

// One page handed in, waiting for the commit that holds it.
struct PageStore::Ticket {
    const NewPage* page = nullptr;
    double now = 0;
    int64_t id = 0;
    std::optional<std::string> failure;
    bool busy = false; // the failure is StoreBusy
    bool done = false;
};

std::unique_lock<std::mutex> PageStore::LockForIntake(std::chrono::steady_clock::time_point deadline) {
    // Tried until the deadline rather than timed_mutex::try_lock_until, whose steady-clock wait
    // (pthread_mutex_clocklock) ThreadSanitizer does not see; the writer holds it for moments only.
    std::unique_lock lock(m_mutex, std::defer_lock);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (!lock.owns_lock()) {
        throw StoreBusy("the queue is busy (the disk or the database held it up): nothing was stored, send "
                        "it again");
    }
    return lock;
}

int64_t PageStore::Submit(const NewPage& page, double now, std::chrono::milliseconds wait) {
    // Group commit: the first caller to find no commit under way commits every page handed in meanwhile,
    // its own included, in one transaction (one fsync); the others wait for that commit. Under load a
    // batch is whatever came while the previous commit was on the disk, so a lone page waits for nothing.
    // A page still waiting to be taken at its deadline is withdrawn, unstored.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    Ticket ticket;
    ticket.page = &page;
    ticket.now = now;
    {
        std::unique_lock lock(m_groupMutex);
        m_handedIn.push_back(&ticket);
        while (!ticket.done) {
            if (m_committing) {
                if (m_committed.wait_until(lock, deadline) == std::cv_status::timeout && !ticket.done) {
                    const auto mine = std::find(m_handedIn.begin(), m_handedIn.end(), &ticket);
                    if (mine != m_handedIn.end()) {
                        m_handedIn.erase(mine);
                        throw StoreBusy("the queue is busy (a commit took over " +
                                        std::to_string(wait.count()) +
                                        " ms): nothing was stored, send it again");
                    }
                    // Taken into the commit under way: its outcome is this page's, whenever it comes.
                }
                continue;
            }
            m_committing = true;
            std::vector<Ticket*> batch;
            batch.swap(m_handedIn);
            lock.unlock();
            CommitBatch(batch, deadline);
            lock.lock();
            for (Ticket* taken : batch) {
                taken->done = true;
            }
            m_committing = false;
            m_committed.notify_all();
        }
    }
    if (ticket.failure) {
        if (ticket.busy) {
            throw StoreBusy(*ticket.failure);
        }
        throw StoreError(*ticket.failure);
    }
    Notify(ticket.id);
    return ticket.id;
}

void PageStore::CommitBatch(const std::vector<Ticket*>& batch,
                            std::chrono::steady_clock::time_point deadline) {
    try {
        Noted([&] {
            const auto lock = LockForIntake(deadline);
            const BusyWithin busy(m_db, deadline);
            Transaction transaction(m_db);
            for (Ticket* ticket : batch) {
                ticket->id = InsertPage(*ticket->page, ticket->now);
            }
            transaction.Commit();
        });
    } catch (const StoreError& error) {
        // Nothing of the batch is stored: each page's sender is told so, none is acknowledged.
        const bool busy = dynamic_cast<const StoreBusy*>(&error) != nullptr;
        for (Ticket* ticket : batch) {
            ticket->failure = error.what();
            ticket->busy = busy;
        }
    }
}

void PageStore::WriteWithinSubmitWait(const std::function<bool()>& write) {
    const auto deadline = std::chrono::steady_clock::now() + SUBMIT_WAIT;
    Noted([&] {
        const auto lock = LockForIntake(deadline);
        const BusyWithin busy(m_db, deadline);
        Transaction transaction(m_db);
        if (write()) {
            transaction.Commit();
        }
    });
}

Submitted PageStore::SubmitDelivered(const NewPage& page, double now, const Delivery& delivery) {
    Submitted submitted;
    WriteWithinSubmitWait([&] {
        if (delivery.resending) {
            Statement earlier(*m_statements,
                              "SELECT page_id FROM deliveries WHERE message_id = ? AND digest = ?");
            earlier.Bind(1, int64_t{delivery.messageId}).Bind(2, delivery.digest);
            if (earlier.Step()) {
                submitted = Submitted{earlier.Int(0), true};
            } else {
                // A new message: the broker has resent all it had to, and every message of the records
                // was acknowledged. Kept longer, a record would swallow a new message that comes round to
                // its packet identifier with the same text.
                Execute(m_db, "DELETE FROM deliveries");
            }
        }
        if (!submitted.duplicate) {
            submitted.id = InsertPage(page, now);
            Statement record(
                *m_statements,
                "INSERT OR REPLACE INTO deliveries(message_id, digest, page_id) VALUES(?, ?, ?)");
            record.Bind(1, int64_t{delivery.messageId}).Bind(2, delivery.digest).Bind(3, submitted.id).Run();
        }
        return true;
    });
    if (!submitted.duplicate) {
        Notify(submitted.id);
    }
    return submitted;
}

Notified PageStore::SubmitNotification(const std::vector<NewPage>& pages, const std::string& digest,
                                       double now, const std::string& request) {
    Notified notified;
    WriteWithinSubmitWait([&] {
        Statement earlier(*m_statements,
                          "SELECT pages, request FROM notifications WHERE digest = ? AND received >= ?");
        earlier.Bind(1, digest).Bind(2, now - NOTIFICATIONS_KEPT_SECONDS);
        if (earlier.Step()) {
            notified.duplicate = earlier.Text(1) == request;
            notified.conflict = !notified.duplicate;
            const std::string list = earlier.Text(0);
            for (std::size_t at = 0; at < list.size();) {
                std::size_t end = list.find(',', at);
                end = end == std::string::npos ? list.size() : end;
                notified.pages.push_back(std::stoll(list.substr(at, end - at)));
                at = end + 1;
            }
            return false; // nothing is written
        }
        std::string list;
        for (const NewPage& page : pages) {
            notified.pages.push_back(InsertPage(page, now));
            if (!list.empty()) {
                list += ',';
            }
            list += std::to_string(notified.pages.back());
        }
        // A sender retries within minutes; a day of notifications is kept to know them.
        Statement old(*m_statements, "DELETE FROM notifications WHERE received < ?");
        old.Bind(1, now - NOTIFICATIONS_KEPT_SECONDS).Run();
        Statement record(
            *m_statements,
            "INSERT OR REPLACE INTO notifications(digest, pages, received, request) VALUES(?, ?, ?, ?)");
        record.Bind(1, digest).Bind(2, list).Bind(3, now).Bind(4, request).Run();
        return true;
    });
    if (!notified.duplicate && !notified.conflict) {
        for (const int64_t id : notified.pages) {
            Notify(id);
        }
    }
    return notified;
}

void PageStore::ForgetDeliveries() {
    std::lock_guard lock(m_mutex);
    Execute(m_db, "DELETE FROM deliveries");
}

} // namespace velkor::gateway
