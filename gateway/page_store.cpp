#include "page_store.h"

#include "frames/strict_text.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>

namespace velkor::gateway {
namespace {

const char* const SCHEMA = R"(
CREATE TABLE IF NOT EXISTS pages(
    id INTEGER PRIMARY KEY,
    kind TEXT NOT NULL,
    text TEXT NOT NULL,
    gbk BLOB NOT NULL,
    priority INTEGER NOT NULL,
    created REAL NOT NULL,
    expires REAL NOT NULL,
    repeat_every INTEGER NOT NULL,
    repeat_count INTEGER NOT NULL,
    state TEXT NOT NULL,
    reason TEXT NOT NULL DEFAULT '',
    source TEXT NOT NULL,
    next_due REAL NOT NULL,
    done_frames INTEGER NOT NULL DEFAULT 0,
    round_started REAL NOT NULL DEFAULT 0,
    finished REAL NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS pages_due ON pages(priority DESC, next_due, id) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_next ON pages(next_due) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_expiry ON pages(expires) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_state ON pages(state, id);
CREATE TABLE IF NOT EXISTS recipients(
    page_id INTEGER NOT NULL REFERENCES pages(id),
    position INTEGER NOT NULL,
    address TEXT NOT NULL,
    name TEXT NOT NULL,
    PRIMARY KEY(page_id, position)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS frames(
    page_id INTEGER NOT NULL REFERENCES pages(id),
    number INTEGER NOT NULL,
    recipient INTEGER NOT NULL,
    round INTEGER NOT NULL,
    sequence INTEGER NOT NULL,
    state TEXT NOT NULL,
    time REAL NOT NULL DEFAULT 0,
    tries INTEGER NOT NULL DEFAULT 0,
    reason TEXT NOT NULL DEFAULT '',
    PRIMARY KEY(page_id, number)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS deliveries(
    message_id INTEGER PRIMARY KEY,
    digest TEXT NOT NULL,
    page_id INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS ports(
    port TEXT PRIMARY KEY,
    last_sequence INTEGER NOT NULL
);
)";

const char* const STATES[] = {"queued", "sent", "expired", "cancelled", "failed"};

std::string KindName(PageKind kind) {
    return kind == PageKind::Time ? "time" : "text";
}

// One prepared statement, finalized on every path out.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
            throw StoreError(std::string("database: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value) {
        Check(sqlite3_bind_int64(m_statement, index, value));
        return *this;
    }
    Statement& Bind(int index, double value) {
        Check(sqlite3_bind_double(m_statement, index, value));
        return *this;
    }
    Statement& Bind(int index, const std::string& value) {
        Check(sqlite3_bind_text(m_statement, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindBlob(int index, const std::string& value) {
        Check(sqlite3_bind_blob(m_statement, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    // True while there is a row.
    bool Step() {
        int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
        }
        return false;
    }
    void Run() { Step(); }
    int64_t Int(int column) const { return sqlite3_column_int64(m_statement, column); }
    double Real(int column) const { return sqlite3_column_double(m_statement, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_blob(m_statement, column);
        return text ? std::string(static_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)))
                    : std::string();
    }

private:
    void Check(int result) const {
        if (result != SQLITE_OK) {
            throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
        }
    }
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

} // namespace

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
class PageStore::Transaction {
public:
    explicit Transaction(PageStore& store) : m_store(store) { m_store.Execute("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!m_done) {
            sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        m_store.Execute("COMMIT");
        m_done = true;
    }

private:
    PageStore& m_store;
    bool m_done = false;
};

const char* PriorityName(Priority priority) {
    return priority == Priority::High ? "high" : "normal";
}

PageStore::PageStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw StoreError(path + ": " + reason);
    }
    try {
        // Another process holding the database (a second gateway) makes writes wait a little, then fail.
        sqlite3_busy_timeout(m_db, 5000);
        Execute("PRAGMA journal_mode=WAL");
        Execute("PRAGMA synchronous=FULL");
        Execute("PRAGMA foreign_keys=ON");
        Execute(SCHEMA);
    } catch (const StoreError& error) {
        sqlite3_close(m_db);
        throw StoreError(path + ": " + error.what());
    }
}

PageStore::~PageStore() {
    sqlite3_close(m_db);
}

void PageStore::Execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        throw StoreError("database: " + text);
    }
}

int64_t PageStore::InsertPage(const NewPage& page, double now) {
    Statement insert(m_db,
                     "INSERT INTO pages(kind, text, gbk, priority, created, expires, repeat_every, "
                     "repeat_count, state, source, next_due) VALUES(?, ?, ?, ?, ?, ?, ?, ?, 'queued', ?, ?)");
    insert.Bind(1, KindName(page.kind))
        .Bind(2, page.text)
        .BindBlob(3, page.gbk)
        .Bind(4, int64_t{page.priority == Priority::High ? 1 : 0})
        .Bind(5, now)
        .Bind(6, now + page.ttlSeconds)
        .Bind(7, int64_t{page.repeatEvery})
        .Bind(8, int64_t{std::max(1, page.repeatCount)})
        .Bind(9, page.source)
        .Bind(10, now)
        .Run();
    const int64_t id = sqlite3_last_insert_rowid(m_db);
    for (std::size_t i = 0; i < page.recipients.size(); ++i) {
        Statement row(m_db, "INSERT INTO recipients(page_id, position, address, name) VALUES(?, ?, ?, ?)");
        row.Bind(1, id)
            .Bind(2, static_cast<int64_t>(i))
            .Bind(3, AddressText(page.recipients[i].address))
            .Bind(4, page.recipients[i].name)
            .Run();
    }
    return id;
}

int64_t PageStore::Submit(const NewPage& page, double now) {
    int64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        Transaction transaction(*this);
        id = InsertPage(page, now);
        transaction.Commit();
    }
    Notify(id);
    return id;
}

Submitted PageStore::SubmitDelivered(const NewPage& page, double now, const Delivery& delivery) {
    Submitted submitted;
    {
        std::lock_guard lock(m_mutex);
        Transaction transaction(*this);
        for (int acknowledged : delivery.acknowledged) {
            Statement forget(m_db, "DELETE FROM deliveries WHERE message_id = ?");
            forget.Bind(1, int64_t{acknowledged}).Run();
        }
        Statement earlier(m_db, "SELECT page_id FROM deliveries WHERE message_id = ? AND digest = ?");
        earlier.Bind(1, int64_t{delivery.messageId}).Bind(2, delivery.digest);
        if (earlier.Step()) {
            submitted = Submitted{earlier.Int(0), true};
        } else {
            submitted.id = InsertPage(page, now);
            Statement record(
                m_db, "INSERT OR REPLACE INTO deliveries(message_id, digest, page_id) VALUES(?, ?, ?)");
            record.Bind(1, int64_t{delivery.messageId}).Bind(2, delivery.digest).Bind(3, submitted.id).Run();
        }
        transaction.Commit();
    }
    if (!submitted.duplicate) {
        Notify(submitted.id);
    }
    return submitted;
}

void PageStore::ForgetDeliveries() {
    std::lock_guard lock(m_mutex);
    Execute("DELETE FROM deliveries");
}

std::vector<PageRecord> PageStore::Pages(const std::string& where, const std::vector<std::string>& values,
                                         int limit) {
    const std::string sql = "SELECT id, kind, text, priority, created, expires, repeat_every, repeat_count, "
                            "state, reason, source, finished FROM pages " +
                            where + " ORDER BY id DESC LIMIT ?";
    Statement select(m_db, sql.c_str());
    int index = 1;
    for (const std::string& value : values) {
        select.Bind(index++, value);
    }
    select.Bind(index, int64_t{limit});
    std::vector<PageRecord> pages;
    while (select.Step()) {
        PageRecord page;
        page.id = select.Int(0);
        page.kind = select.Text(1) == "time" ? PageKind::Time : PageKind::Text;
        page.text = select.Text(2);
        page.priority = select.Int(3) ? Priority::High : Priority::Normal;
        page.created = select.Real(4);
        page.expires = select.Real(5);
        page.repeatEvery = static_cast<int>(select.Int(6));
        page.repeatCount = static_cast<int>(select.Int(7));
        page.state = select.Text(8);
        page.reason = select.Text(9);
        page.source = select.Text(10);
        page.finished = select.Real(11);
        pages.push_back(std::move(page));
    }
    for (PageRecord& page : pages) {
        Statement recipients(m_db,
                             "SELECT address, name FROM recipients WHERE page_id = ? ORDER BY position");
        recipients.Bind(1, page.id);
        while (recipients.Step()) {
            page.recipients.push_back(
                Recipient{ParseAddress(recipients.Text(0)).value_or(WatchAddress{}), recipients.Text(1)});
        }
        Statement frames(m_db,
                         "SELECT number, recipient, round, sequence, state, time, tries, reason FROM frames "
                         "WHERE page_id = ? ORDER BY number");
        frames.Bind(1, page.id);
        while (frames.Step()) {
            page.frames.push_back(
                FrameRecord{static_cast<int>(frames.Int(0)), static_cast<int>(frames.Int(1)),
                            static_cast<int>(frames.Int(2)), static_cast<int>(frames.Int(3)), frames.Text(4),
                            frames.Real(5), static_cast<int>(frames.Int(6)), frames.Text(7)});
        }
    }
    return pages;
}

std::optional<PageRecord> PageStore::Get(int64_t id) {
    std::lock_guard lock(m_mutex);
    std::vector<PageRecord> pages = Pages("WHERE id = ?", {std::to_string(id)}, 1);
    if (pages.empty()) {
        return std::nullopt;
    }
    return std::move(pages.front());
}

std::vector<PageRecord> PageStore::List(const std::optional<std::string>& state, int limit) {
    std::lock_guard lock(m_mutex);
    if (state) {
        return Pages("WHERE state = ?", {*state}, limit);
    }
    return Pages("", {}, limit);
}

std::optional<PageRecord> PageStore::Cancel(int64_t id, double now) {
    bool cancelled = false;
    {
        std::lock_guard lock(m_mutex);
        Transaction transaction(*this);
        Statement cancel(
            m_db, "UPDATE pages SET state = 'cancelled', finished = ? WHERE id = ? AND state = 'queued'");
        cancel.Bind(1, now).Bind(2, id).Run();
        cancelled = sqlite3_changes(m_db) > 0;
        transaction.Commit();
    }
    if (cancelled) {
        Notify(id);
    }
    return Get(id);
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
        Statement due(m_db, "SELECT id, reason FROM pages WHERE state = 'queued' AND expires <= ?");
        due.Bind(1, now);
        while (due.Step()) {
            const std::string lastFailure = due.Text(1);
            if (lastFailure.empty()) {
                ended.push_back(Ended{due.Int(0), "expired", "not sent by its expiry"});
            } else {
                ended.push_back(Ended{due.Int(0), "failed", lastFailure + "; not sent by its expiry"});
            }
        }
    }
    if (ended.empty()) {
        return ended;
    }
    Transaction transaction(*this);
    for (const Ended& page : ended) {
        Statement update(m_db, "UPDATE pages SET state = ?, reason = ?, finished = ? WHERE id = ?");
        update.Bind(1, page.state).Bind(2, page.reason).Bind(3, now).Bind(4, page.id).Run();
    }
    transaction.Commit();
    return ended;
}

std::optional<Job> PageStore::NextJob(const std::string& port, double now) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(*this);
    Statement due(m_db,
                  "SELECT id, kind, gbk, done_frames, repeat_count, "
                  "(SELECT count(*) FROM recipients WHERE page_id = pages.id) FROM pages "
                  "WHERE state = 'queued' AND next_due <= ? ORDER BY priority DESC, next_due, id LIMIT 1");
    due.Bind(1, now);
    if (!due.Step()) {
        return std::nullopt; // the transaction rolls back: nothing changed
    }
    Job job;
    job.page = due.Int(0);
    job.kind = due.Text(1) == "time" ? PageKind::Time : PageKind::Text;
    job.gbk = due.Text(2);
    job.number = static_cast<int>(due.Int(3));
    const int recipients = std::max<int>(1, static_cast<int>(due.Int(5)));
    job.frames = recipients * static_cast<int>(due.Int(4));
    const int position = job.number % recipients;

    Statement recipient(m_db, "SELECT address, name FROM recipients WHERE page_id = ? AND position = ?");
    recipient.Bind(1, job.page).Bind(2, int64_t{position});
    if (recipient.Step()) {
        job.recipient =
            Recipient{ParseAddress(recipient.Text(0)).value_or(BROADCAST_ADDRESS), recipient.Text(1)};
    } else {
        job.recipient = Recipient{BROADCAST_ADDRESS, "all"};
    }

    Statement numbered(m_db, "SELECT sequence FROM frames WHERE page_id = ? AND number = ?");
    numbered.Bind(1, job.page).Bind(2, int64_t{job.number});
    if (numbered.Step()) {
        job.sequence = static_cast<uint8_t>(numbered.Int(0));
        job.again = true;
        return job; // nothing to store: the number is on disk already
    }
    if (job.kind == PageKind::Text) {
        Statement last(m_db, "SELECT last_sequence FROM ports WHERE port = ?");
        last.Bind(1, port);
        const int64_t previous = last.Step() ? last.Int(0) : 0;
        job.sequence = static_cast<uint8_t>(previous + 1);
        Statement store(m_db, "INSERT INTO ports(port, last_sequence) VALUES(?, ?) "
                              "ON CONFLICT(port) DO UPDATE SET last_sequence = excluded.last_sequence");
        store.Bind(1, port).Bind(2, int64_t{job.sequence}).Run();
    }
    Statement frame(m_db, "INSERT INTO frames(page_id, number, recipient, round, sequence, state) "
                          "VALUES(?, ?, ?, ?, ?, 'pending')");
    frame.Bind(1, job.page)
        .Bind(2, int64_t{job.number})
        .Bind(3, int64_t{position})
        .Bind(4, int64_t{job.number / recipients})
        .Bind(5, int64_t{job.sequence})
        .Run();
    if (position == 0) {
        Statement round(m_db, "UPDATE pages SET round_started = ? WHERE id = ?");
        round.Bind(1, now).Bind(2, job.page).Run();
    }
    transaction.Commit();
    return job;
}

std::optional<double> PageStore::NextDue() {
    std::lock_guard lock(m_mutex);
    Statement next(m_db, "SELECT next_due FROM pages WHERE state = 'queued' ORDER BY next_due LIMIT 1");
    if (next.Step()) {
        return next.Real(0);
    }
    return std::nullopt;
}

void PageStore::FrameWritten(const Job& job, double now) {
    bool sent = false;
    {
        std::lock_guard lock(m_mutex);
        sent = FrameWrittenLocked(job, now);
    }
    if (sent) {
        Notify(job.page);
    }
}

bool PageStore::FrameWrittenLocked(const Job& job, double now) {
    bool sent = false;
    Transaction transaction(*this);
    Statement frame(m_db, "UPDATE frames SET state = 'sent', time = ? WHERE page_id = ? AND number = ?");
    frame.Bind(1, now).Bind(2, job.page).Bind(3, int64_t{job.number}).Run();
    Statement page(m_db,
                   "SELECT state, repeat_every, round_started, "
                   "(SELECT count(*) FROM recipients WHERE page_id = pages.id) FROM pages WHERE id = ?");
    page.Bind(1, job.page);
    if (page.Step() && page.Text(0) == "queued") {
        const int done = job.number + 1;
        const int recipients = std::max<int>(1, static_cast<int>(page.Int(3)));
        if (done >= job.frames) {
            Statement finish(m_db,
                             "UPDATE pages SET state = 'sent', reason = '', done_frames = ?, finished = ? "
                             "WHERE id = ?");
            finish.Bind(1, int64_t{done}).Bind(2, now).Bind(3, job.page).Run();
            sent = true;
        } else {
            // The next round starts its interval after the start of this one, as timed sending does.
            const double next =
                done % recipients == 0 ? page.Real(2) + static_cast<double>(page.Int(1)) : now;
            Statement advance(m_db,
                              "UPDATE pages SET done_frames = ?, next_due = ?, reason = '' WHERE id = ?");
            advance.Bind(1, int64_t{done}).Bind(2, next).Bind(3, job.page).Run();
        }
    }
    transaction.Commit();
    return sent;
}

void PageStore::FrameFailed(const Job& job, const std::string& reason, double retryAt) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(*this);
    Statement frame(m_db, "UPDATE frames SET tries = tries + 1, reason = ? WHERE page_id = ? AND number = ?");
    frame.Bind(1, reason).Bind(2, job.page).Bind(3, int64_t{job.number}).Run();
    Statement page(m_db, "UPDATE pages SET reason = ?, next_due = ? WHERE id = ? AND state = 'queued'");
    page.Bind(1, reason).Bind(2, retryAt).Bind(3, job.page).Run();
    transaction.Commit();
}

std::map<std::string, int64_t> PageStore::CountByState() {
    std::lock_guard lock(m_mutex);
    std::map<std::string, int64_t> counts;
    for (const char* state : STATES) {
        counts[state] = 0;
    }
    Statement count(m_db, "SELECT state, count(*) FROM pages GROUP BY state");
    while (count.Step()) {
        counts[count.Text(0)] = count.Int(1);
    }
    return counts;
}

int PageStore::LastSequence(const std::string& port) {
    std::lock_guard lock(m_mutex);
    Statement last(m_db, "SELECT last_sequence FROM ports WHERE port = ?");
    last.Bind(1, port);
    return last.Step() ? static_cast<int>(last.Int(0)) : 0;
}

} // namespace velkor::gateway
