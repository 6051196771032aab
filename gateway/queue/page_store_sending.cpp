// The transmitter's side of the queue: which frame goes next (priority, due time, age), what became of
// it, expiry, cancels and the removal of old pages.

#include "gateway/queue/page_store.h"

#include "frames/strict_text.h"
#include "gateway/queue/sqlite.h"
#include "serial/sequence_store.h"

#include <algorithm>
#include <cmath>

namespace velkor::gateway {

Cancelled PageStore::Cancel(int64_t id, double now) {
    Cancelled result;
    {
        std::lock_guard lock(m_mutex);
        if (m_sending == id) {
            result.outcome = Cancelled::Outcome::Sending;
        } else {
            Transaction transaction(m_db);
            Statement cancel(
                *m_statements,
                "UPDATE pages SET state = 'cancelled', finished = ? WHERE id = ? AND state = 'queued'");
            cancel.Bind(1, now).Bind(2, id).Run();
            if (sqlite3_changes(m_db) > 0) {
                result.outcome = Cancelled::Outcome::Cancelled;
            }
            transaction.Commit();
        }
    }
    if (result.outcome == Cancelled::Outcome::Cancelled) {
        Notify(id);
    }
    result.page = Get(id);
    if (!result.page) {
        result.outcome = Cancelled::Outcome::NoSuchPage;
    } else if (result.outcome == Cancelled::Outcome::NoSuchPage) {
        result.outcome = Cancelled::Outcome::NotQueued;
    }
    return result;
}

int PageStore::RemoveFinished(double before, int batch) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Execute(m_db, "CREATE TEMP TABLE IF NOT EXISTS old_pages(id INTEGER PRIMARY KEY)");
    Execute(m_db, "DELETE FROM old_pages");
    Statement pick(*m_statements,
                   "INSERT INTO old_pages SELECT id FROM pages WHERE state <> 'queued' AND finished > 0 "
                   "AND finished < ? LIMIT ?");
    pick.Bind(1, before).Bind(2, int64_t{batch}).Run();
    const int removed = sqlite3_changes(m_db);
    if (removed > 0) {
        Execute(m_db, "DELETE FROM frames WHERE page_id IN old_pages");
        Execute(m_db, "DELETE FROM recipients WHERE page_id IN old_pages");
        Execute(m_db, "DELETE FROM deliveries WHERE page_id IN old_pages");
        Execute(m_db, "DELETE FROM pages WHERE id IN old_pages");
    }
    transaction.Commit();
    return removed;
}

std::vector<Ended> PageStore::ExpireDue(double now) {
    std::vector<Ended> ended;
    {
        std::unique_lock lock(m_mutex);
        ended = ExpireLocked(now);
    }
    for (const Ended& page : ended) {
        Notify(page.id);
    }
    return ended;
}

std::vector<Ended> PageStore::ExpireLocked(double now) {
    std::vector<Ended> ended;
    {
        Statement due(
            *m_statements,
            "SELECT id, reason, reason_code, answer, done_frames FROM pages INDEXED BY pages_expiry WHERE "
            "state = 'queued' AND expires <= ?");
        due.Bind(1, now);
        while (due.Step()) {
            const std::string lastFailure = due.Text(1);
            if (due.Int(3) != 0 && due.Int(4) > 0) {
                // Repeated until its time ended, and nobody answered.
                ended.push_back(
                    Ended{due.Int(0), "unanswered", {"not answered by its expiry", "unanswered"}});
            } else if (lastFailure.empty()) {
                ended.push_back(Ended{due.Int(0), "expired", {"not sent by its expiry", "expired"}});
            } else {
                ended.push_back(
                    Ended{due.Int(0), "failed", {lastFailure + "; not sent by its expiry", due.Text(2)}});
            }
        }
    }
    {
        // Sent, and waited for an answer until its time ended.
        Statement waited(*m_statements,
                         "SELECT id FROM pages INDEXED BY pages_awaiting WHERE state = 'sent' AND "
                         "answer = 1 AND expires <= ?");
        waited.Bind(1, now);
        while (waited.Step()) {
            ended.push_back(Ended{waited.Int(0), "unanswered", {"not answered by its expiry", "unanswered"}});
        }
    }
    if (ended.empty()) {
        return ended;
    }
    Transaction transaction(m_db);
    for (const Ended& page : ended) {
        Statement update(
            *m_statements,
            "UPDATE pages SET state = ?, reason = ?, reason_code = ?, finished = ? WHERE id = ?");
        update.Bind(1, page.state)
            .Bind(2, page.reason.text)
            .Bind(3, page.reason.code)
            .Bind(4, now)
            .Bind(5, page.id)
            .Run();
    }
    transaction.Commit();
    return ended;
}

NextFrame PageStore::NextJob(const std::string& port, double now, const Numbering& numbering) {
    NextFrame next = NextJobLocked(port, now, numbering);
    if (next.job && next.job->number == 0 && !next.job->again) {
        m_notifier.Tell(ChangeNotifier::Change::Sending, next.job->page); // its first frame is on its way
    }
    return next;
}

NextFrame PageStore::NextJobLocked(const std::string& port, double now, const Numbering& numbering) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement due(
        *m_statements,
        "SELECT id, kind, gbk, done_frames, repeat_count, "
        "(SELECT count(*) FROM recipients WHERE page_id = pages.id) FROM pages INDEXED BY pages_due "
        "WHERE state = 'queued' AND next_due <= ? ORDER BY priority DESC, next_due, id LIMIT 1");
    due.Bind(1, now);
    if (!due.Step()) {
        return {}; // the transaction rolls back: nothing changed
    }
    Job job;
    job.page = due.Int(0);
    job.kind = due.Text(1) == "time" ? PageKind::Time : PageKind::Text;
    job.gbk = due.Blob(2);
    job.number = static_cast<int>(due.Int(3));
    const int recipients = std::max<int>(1, static_cast<int>(due.Int(5)));
    job.frames = recipients * static_cast<int>(due.Int(4));
    const int position = job.number % recipients;

    Statement recipient(*m_statements,
                        "SELECT address, name FROM recipients WHERE page_id = ? AND position = ?");
    recipient.Bind(1, job.page).Bind(2, int64_t{position});
    if (recipient.Step()) {
        job.recipient =
            Recipient{ParseAddress(recipient.Text(0)).value_or(BROADCAST_ADDRESS), recipient.Text(1)};
    } else {
        job.recipient = Recipient{BROADCAST_ADDRESS, "all"};
    }

    Statement numbered(*m_statements, "SELECT sequence FROM frames WHERE page_id = ? AND number = ?");
    numbered.Bind(1, job.page).Bind(2, int64_t{job.number});
    if (numbered.Step()) {
        job.sequence = static_cast<uint8_t>(numbered.Int(0));
        job.again = true;
        m_sending = job.page;
        m_sendingNow = m_sending;
        return {job, false, std::nullopt}; // nothing to store: the number is on disk already
    }
    if (job.kind == PageKind::Text) {
        Statement last(*m_statements, "SELECT last_sequence FROM ports WHERE port = ?");
        last.Bind(1, port);
        const std::optional<uint8_t> previous =
            last.Step() ? std::optional<uint8_t>(static_cast<uint8_t>(last.Int(0))) : std::nullopt;
        if (!numbering.shared && !numbering.queueCount) {
            return {std::nullopt, true, previous}; // rolled back: the caller takes a number first
        }
        job.sequence = numbering.shared ? *numbering.shared : NextSequence(previous.value_or(0));
        Statement store(*m_statements,
                        "INSERT INTO ports(port, last_sequence) VALUES(?, ?) "
                        "ON CONFLICT(port) DO UPDATE SET last_sequence = excluded.last_sequence");
        store.Bind(1, port).Bind(2, int64_t{job.sequence}).Run();
    }
    Statement frame(*m_statements, "INSERT INTO frames(page_id, number, recipient, round, sequence, state) "
                                   "VALUES(?, ?, ?, ?, ?, 'pending')");
    frame.Bind(1, job.page)
        .Bind(2, int64_t{job.number})
        .Bind(3, int64_t{position})
        .Bind(4, int64_t{job.number / recipients})
        .Bind(5, int64_t{job.sequence})
        .Run();
    if (position == 0) {
        Statement round(*m_statements, "UPDATE pages SET round_started = ? WHERE id = ?");
        round.Bind(1, now).Bind(2, job.page).Run();
    }
    transaction.Commit();
    // From here until the write's outcome is stored the frame is on its way: a cancel cannot stop it.
    m_sending = job.page;
    m_sendingNow = m_sending;
    return {job, false, std::nullopt};
}

std::optional<double> PageStore::NextDue() {
    std::lock_guard lock(m_mutex);
    Statement next(
        *m_statements,
        "SELECT next_due FROM pages INDEXED BY pages_next WHERE state = 'queued' ORDER BY next_due LIMIT 1");
    if (next.Step()) {
        return next.Real(0);
    }
    return std::nullopt;
}

void PageStore::FrameWritten(const Job& job, double now) {
    bool sent = false;
    Noted([&] {
        std::lock_guard lock(m_mutex);
        sent = FrameWrittenLocked(job, now);
        m_sending = 0;
        m_sendingNow = m_sending;
    });
    if (sent) {
        Notify(job.page);
    }
}

bool PageStore::FrameWrittenLocked(const Job& job, double now) {
    bool sent = false;
    Transaction transaction(m_db);
    Statement frame(*m_statements,
                    "UPDATE frames SET state = 'sent', time = ? WHERE page_id = ? AND number = ?");
    frame.Bind(1, now).Bind(2, job.page).Bind(3, int64_t{job.number}).Run();
    Statement page(*m_statements,
                   "SELECT state, repeat_every, round_started, "
                   "(SELECT count(*) FROM recipients WHERE page_id = pages.id) FROM pages WHERE id = ?");
    page.Bind(1, job.page);
    if (page.Step() && page.Text(0) == "queued") {
        const int done = job.number + 1;
        const int recipients = std::max<int>(1, static_cast<int>(page.Int(3)));
        if (done >= job.frames) {
            Statement finish(*m_statements, "UPDATE pages SET state = 'sent', reason = '', reason_code = '', "
                                            "done_frames = ?, finished = ? "
                                            "WHERE id = ?");
            finish.Bind(1, int64_t{done}).Bind(2, now).Bind(3, job.page).Run();
            sent = true;
        } else {
            // The next round starts its interval after the start of this one, as timed sending does.
            const double next =
                done % recipients == 0 ? page.Real(2) + static_cast<double>(page.Int(1)) : now;
            Statement advance(
                *m_statements,
                "UPDATE pages SET done_frames = ?, next_due = ?, reason = '', reason_code = '' WHERE id = ?");
            advance.Bind(1, int64_t{done}).Bind(2, next).Bind(3, job.page).Run();
        }
    }
    transaction.Commit();
    return sent;
}

void PageStore::FrameFailed(const Job& job, const Reason& reason, double retryAt) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement frame(*m_statements,
                    "UPDATE frames SET tries = tries + 1, reason = ? WHERE page_id = ? AND number = ?");
    frame.Bind(1, reason.text).Bind(2, job.page).Bind(3, int64_t{job.number}).Run();
    Statement page(
        *m_statements,
        "UPDATE pages SET reason = ?, reason_code = ?, next_due = ? WHERE id = ? AND state = 'queued'");
    page.Bind(1, reason.text).Bind(2, reason.code).Bind(3, retryAt).Bind(4, job.page).Run();
    transaction.Commit();
    m_sending = 0;
    m_sendingNow = m_sending;
}

void PageStore::FrameLeft(const Job& job) {
    std::lock_guard lock(m_mutex);
    if (m_sending == job.page) {
        m_sending = 0;
        m_sendingNow = m_sending;
    }
}

int PageStore::LastSequence(const std::string& port) {
    std::lock_guard lock(m_mutex);
    Statement last(*m_statements, "SELECT last_sequence FROM ports WHERE port = ?");
    last.Bind(1, port);
    return last.Step() ? static_cast<int>(last.Int(0)) : 0;
}

} // namespace velkor::gateway
