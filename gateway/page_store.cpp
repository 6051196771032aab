#include "page_store.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "serial/sequence_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <unordered_map>

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
-- The transmitter's queries name these with INDEXED BY: without statistics SQLite takes pages_state for
-- state = 'queued' and reads every queued page on each turn.
CREATE INDEX IF NOT EXISTS pages_due ON pages(priority DESC, next_due, id) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_next ON pages(next_due) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_expiry ON pages(expires) WHERE state = 'queued';
CREATE INDEX IF NOT EXISTS pages_state ON pages(state, id);
CREATE INDEX IF NOT EXISTS pages_finished ON pages(finished) WHERE state <> 'queued';
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

// What each version adds to the one before it; MIGRATIONS[v] brings a file of version v to v + 1.
// Release 2.4 wrote version 0 (the schema above without the index on finished pages).
const char* const MIGRATIONS[] = {
    // 2.4 let logins and names that are not UTF-8 in, and every listing that met them failed.
    R"(UPDATE pages SET text = valid_utf8(text), source = valid_utf8(source), reason = valid_utf8(reason);
       UPDATE recipients SET name = valid_utf8(name);
       UPDATE frames SET reason = valid_utf8(reason);)",
    // Who may cancel a page: the key it came with, or an admin's.
    "ALTER TABLE pages ADD COLUMN key_name TEXT NOT NULL DEFAULT '';",
    // Webhook notifications already paged, so that one sent again after a lost answer is not paged twice.
    R"(CREATE TABLE notifications(digest TEXT PRIMARY KEY, pages TEXT NOT NULL, received REAL NOT NULL);
       CREATE INDEX notifications_received ON notifications(received);)",
    // What a panel's call carried beside its text (beep coding, call type...), kept with its page.
    "ALTER TABLE pages ADD COLUMN details TEXT NOT NULL DEFAULT '';",
    // Requests with an idempotency key: what was asked, so that the key used for another request is refused.
    "ALTER TABLE notifications ADD COLUMN request TEXT NOT NULL DEFAULT '';",
};
static_assert(std::size(MIGRATIONS) == PageStore::SCHEMA_VERSION);

// The longest SQLite waits for another process's lock on the database.
constexpr int BUSY_MS = 1500;

const char* const STATES[] = {"queued", "sent", "expired", "cancelled", "failed"};

std::string KindName(PageKind kind) {
    return kind == PageKind::Time ? "time" : "text";
}

} // namespace

// A connection's statements, prepared once and kept: parsing the SQL cost more than running the queue's
// small statements. Used under the connection's mutex; emptied before the connection is closed.
class StatementCache {
public:
    explicit StatementCache(sqlite3* db) : m_db(db) {}
    ~StatementCache() {
        for (auto& [sql, statements] : m_idle) {
            for (sqlite3_stmt* statement : statements) {
                sqlite3_finalize(statement);
            }
        }
    }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    sqlite3* Db() const { return m_db; }
    // An idle statement for `sql`, or a new one (a statement still in use is never handed out twice).
    sqlite3_stmt* Take(const std::string& sql) {
        auto idle = m_idle.find(sql);
        if (idle != m_idle.end() && !idle->second.empty()) {
            sqlite3_stmt* statement = idle->second.back();
            idle->second.pop_back();
            return statement;
        }
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(statement);
            throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
        }
        return statement;
    }
    // Reset (ending any read it holds) and kept for the next use.
    void Give(const std::string& sql, sqlite3_stmt* statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        m_idle[sql].push_back(statement);
    }

private:
    sqlite3* m_db;
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> m_idle;
};

namespace {

// One statement taken from its connection's cache, given back reset on every path out.
class Statement {
public:
    Statement(StatementCache& cache, std::string sql)
        : m_cache(cache), m_db(cache.Db()), m_sql(std::move(sql)), m_statement(cache.Take(m_sql)) {}
    ~Statement() { m_cache.Give(m_sql, m_statement); }
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
    // Text from outside is made UTF-8 before it is kept.
    Statement& Bind(int index, const std::string& value) {
        const std::string text = ValidUtf8(value);
        Check(sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
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
    std::string Blob(int column) const {
        const auto* bytes = sqlite3_column_blob(m_statement, column);
        return bytes ? std::string(static_cast<const char*>(bytes),
                                   static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)))
                     : std::string();
    }
    // A text column, UTF-8 whatever an older release let in.
    std::string Text(int column) const { return ValidUtf8(Blob(column)); }

private:
    void Check(int result) const {
        if (result != SQLITE_OK) {
            throw StoreError(std::string("database: ") + sqlite3_errmsg(m_db));
        }
    }
    StatementCache& m_cache;
    sqlite3* m_db;
    std::string m_sql;
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

namespace {

// Holds `path`.lock for this process, with the holder's PID in it; -1 with the reason in `error` when
// another process holds it.
int HoldLock(const std::string& path, std::string* error) {
    const std::string lockPath = path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = lockPath + ": " + std::strerror(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        const ssize_t got = ::pread(fd, holder, sizeof holder - 1, 0);
        std::string pid(holder, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
            pid.pop_back();
        }
        *error = "in use by another velkor-gateway" +
                 (ParseUnsigned(pid, 1, 0x7FFFFFFF) ? " (PID " + pid + ")" : std::string()) +
                 "; one gateway a database";
        ::close(fd);
        return -1;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the PID; only the message to a second gateway is poorer.
    }
    return fd;
}

// valid_utf8(X): X's bytes as UTF-8 text, U+FFFD for what is not.
void ValidUtf8Function(sqlite3_context* context, int, sqlite3_value** values) {
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(values[0]));
    const std::string text = ValidUtf8(
        std::string_view(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
    sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

sqlite3* OpenConnection(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError(path + ": " + reason);
    }
    sqlite3_create_function_v2(db, "valid_utf8", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                               &ValidUtf8Function, nullptr, nullptr, nullptr);
    // A checkpoint or a moment of another process's lock makes a call wait a little, then fail.
    sqlite3_busy_timeout(db, BUSY_MS);
    return db;
}

} // namespace

PageStore::PageStore(const std::string& path) {
    std::string error;
    m_lock = HoldLock(path, &error);
    if (m_lock < 0) {
        throw StoreError(path + ": " + error);
    }
    try {
        // Pages, logins and texts are no one else's business: the file and its journals are the owner's.
        const mode_t mask = ::umask(0077);
        try {
            m_db = OpenConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        } catch (...) {
            ::umask(mask);
            throw;
        }
        ::umask(mask);
        m_statements = std::make_unique<StatementCache>(m_db);
        Execute("PRAGMA journal_mode=WAL");
        Execute("PRAGMA synchronous=FULL");
        Execute("PRAGMA foreign_keys=ON");
        Migrate();
        m_reader = OpenConnection(path, SQLITE_OPEN_READONLY);
        m_readStatements = std::make_unique<StatementCache>(m_reader);
    } catch (const StoreError& failure) {
        m_readStatements.reset();
        m_statements.reset();
        sqlite3_close(m_reader);
        sqlite3_close(m_db);
        ::close(m_lock);
        const std::string what = failure.what();
        throw StoreError(what.starts_with(path) ? what : path + ": " + what);
    }
}

PageStore::~PageStore() {
    m_readStatements.reset();
    m_statements.reset();
    sqlite3_close(m_reader);
    sqlite3_close(m_db);
    ::close(m_lock);
}

void PageStore::Migrate() {
    int version = 0;
    {
        Statement read(*m_statements, "PRAGMA user_version");
        if (read.Step()) {
            version = static_cast<int>(read.Int(0));
        }
    }
    if (version < 0) {
        throw StoreError("not a velkor-gateway database of any known version (schema " +
                         std::to_string(version) + "): start with another --db");
    }
    if (version > SCHEMA_VERSION) {
        throw StoreError("written by a newer velkor-gateway (schema " + std::to_string(version) +
                         "; this one knows up to " + std::to_string(SCHEMA_VERSION) +
                         "): start that release, or another --db");
    }
    if (version == SCHEMA_VERSION) {
        return; // nothing to write: a gateway starts on a full disk and serves what it can
    }
    Transaction transaction(*this);
    Execute(SCHEMA);
    for (int step = version; step < SCHEMA_VERSION; ++step) {
        Execute(MIGRATIONS[step]);
    }
    Execute(("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION)).c_str());
    transaction.Commit();
}

template <typename Store> auto PageStore::Noted(Store store) -> decltype(store()) {
    try {
        if constexpr (std::is_void_v<decltype(store())>) {
            store();
            std::lock_guard lock(m_problemMutex);
            m_problem.clear();
        } else {
            auto result = store();
            std::lock_guard lock(m_problemMutex);
            m_problem.clear();
            return result;
        }
    } catch (const StoreError& error) {
        std::lock_guard lock(m_problemMutex);
        m_problem = error.what();
        throw;
    }
}

std::string PageStore::Problem() {
    std::lock_guard lock(m_problemMutex);
    return m_problem;
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
    Statement insert(*m_statements,
                     "INSERT INTO pages(kind, text, gbk, priority, created, expires, repeat_every, "
                     "repeat_count, state, reason, finished, source, next_due, key_name, details) "
                     "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, KindName(page.kind))
        .Bind(2, page.text)
        .BindBlob(3, page.gbk)
        .Bind(4, int64_t{page.priority == Priority::High ? 1 : 0})
        .Bind(5, now)
        .Bind(6, now + page.ttlSeconds)
        .Bind(7, int64_t{page.repeatEvery})
        .Bind(8, int64_t{std::max(1, page.repeatCount)})
        .Bind(9, std::string(page.failure ? "failed" : "queued"))
        .Bind(10, page.failure.value_or(""))
        .Bind(11, page.failure ? now : 0.0)
        .Bind(12, page.source)
        .Bind(13, now)
        .Bind(14, page.key)
        .Bind(15, page.details)
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

namespace {

// SQLite's wait for another process's lock cut to what is left of an intake's time, for as long as it
// lives; the connection's own wait again after.
class BusyWithin {
public:
    BusyWithin(sqlite3* db, std::chrono::steady_clock::time_point deadline) : m_db(db) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        sqlite3_busy_timeout(m_db, static_cast<int>(std::clamp<int64_t>(left.count(), 10, BUSY_MS)));
    }
    ~BusyWithin() { sqlite3_busy_timeout(m_db, BUSY_MS); }
    BusyWithin(const BusyWithin&) = delete;
    BusyWithin& operator=(const BusyWithin&) = delete;

private:
    sqlite3* m_db;
};

} // namespace

void PageStore::CommitBatch(const std::vector<Ticket*>& batch,
                            std::chrono::steady_clock::time_point deadline) {
    try {
        Noted([&] {
            const auto lock = LockForIntake(deadline);
            const BusyWithin busy(m_db, deadline);
            Transaction transaction(*this);
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

Submitted PageStore::SubmitDelivered(const NewPage& page, double now, const Delivery& delivery) {
    Submitted submitted;
    const auto deadline = std::chrono::steady_clock::now() + SUBMIT_WAIT;
    Noted([&] {
        const auto lock = LockForIntake(deadline);
        const BusyWithin busy(m_db, deadline);
        Transaction transaction(*this);
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
                Execute("DELETE FROM deliveries");
            }
        }
        if (!submitted.duplicate) {
            submitted.id = InsertPage(page, now);
            Statement record(
                *m_statements,
                "INSERT OR REPLACE INTO deliveries(message_id, digest, page_id) VALUES(?, ?, ?)");
            record.Bind(1, int64_t{delivery.messageId}).Bind(2, delivery.digest).Bind(3, submitted.id).Run();
        }
        transaction.Commit();
    });
    if (!submitted.duplicate) {
        Notify(submitted.id);
    }
    return submitted;
}

Notified PageStore::SubmitNotification(const std::vector<NewPage>& pages, const std::string& digest,
                                       double now, const std::string& request) {
    Notified notified;
    const auto deadline = std::chrono::steady_clock::now() + SUBMIT_WAIT;
    Noted([&] {
        const auto lock = LockForIntake(deadline);
        const BusyWithin busy(m_db, deadline);
        Transaction transaction(*this);
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
            return; // rolled back: nothing was written
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
        transaction.Commit();
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
    Execute("DELETE FROM deliveries");
}

namespace {

PageRecord RecordOf(const Statement& select) {
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
    page.key = select.Text(12);
    page.sending = page.state == "queued" && select.Int(13) > 0; // some frames out, more to go
    page.details = select.Text(14);
    return page;
}

const char* const PAGE_COLUMNS =
    "SELECT id, kind, text, priority, created, expires, repeat_every, repeat_count, "
    "state, reason, source, finished, key_name, done_frames, details FROM pages ";

void ReadRecipients(StatementCache& cache, PageRecord& page) {
    Statement recipients(cache, "SELECT address, name FROM recipients WHERE page_id = ? ORDER BY position");
    recipients.Bind(1, page.id);
    while (recipients.Step()) {
        page.recipients.push_back(
            Recipient{ParseAddress(recipients.Text(0)).value_or(WatchAddress{}), recipients.Text(1)});
    }
}

} // namespace

std::optional<PageRecord> PageStore::Get(int64_t id) {
    std::lock_guard lock(m_readMutex);
    Statement select(*m_readStatements, std::string(PAGE_COLUMNS) + "WHERE id = ?");
    select.Bind(1, id);
    if (!select.Step()) {
        return std::nullopt;
    }
    PageRecord page = RecordOf(select);
    page.sending = page.sending || (page.id == m_sendingNow && page.state == "queued");
    ReadRecipients(*m_readStatements, page);
    Statement frames(*m_readStatements,
                     "SELECT number, recipient, round, sequence, state, time, tries, reason FROM frames "
                     "WHERE page_id = ? ORDER BY number");
    frames.Bind(1, page.id);
    while (frames.Step()) {
        page.frames.push_back(FrameRecord{static_cast<int>(frames.Int(0)), static_cast<int>(frames.Int(1)),
                                          static_cast<int>(frames.Int(2)), static_cast<int>(frames.Int(3)),
                                          frames.Text(4), frames.Real(5), static_cast<int>(frames.Int(6)),
                                          frames.Text(7)});
    }
    return page;
}

std::vector<PageRecord> PageStore::Pages(const std::vector<int64_t>& ids) {
    std::lock_guard lock(m_readMutex);
    std::vector<PageRecord> pages;
    const int64_t sending = m_sendingNow;
    for (const int64_t id : ids) {
        Statement select(*m_readStatements, std::string(PAGE_COLUMNS) + "WHERE id = ?");
        select.Bind(1, id);
        if (select.Step()) {
            pages.push_back(RecordOf(select));
            pages.back().sending = pages.back().sending || (id == sending && pages.back().state == "queued");
            ReadRecipients(*m_readStatements, pages.back());
        }
    }
    return pages;
}

std::vector<PageRecord> PageStore::List(const PageQuery& query) {
    std::string sql = std::string(PAGE_COLUMNS) + "WHERE 1";
    if (query.state) {
        sql += " AND state = ?";
    }
    if (query.before) {
        sql += " AND id < ?";
    }
    if (!query.search.empty()) {
        sql += " AND (text LIKE ? ESCAPE '\\' OR source LIKE ? ESCAPE '\\' OR id IN (SELECT page_id "
               "FROM recipients WHERE name LIKE ? ESCAPE '\\' OR address LIKE ? ESCAPE '\\'))";
    }
    sql += " ORDER BY id DESC LIMIT ?";
    std::lock_guard lock(m_readMutex);
    Statement select(*m_readStatements, sql);
    int index = 1;
    if (query.state) {
        select.Bind(index++, *query.state);
    }
    if (query.before) {
        select.Bind(index++, *query.before);
    }
    if (!query.search.empty()) {
        std::string pattern = "%";
        for (const char c : query.search) {
            if (c == '%' || c == '_' || c == '\\') {
                pattern += '\\'; // the words as written, not LIKE's wildcards
            }
            pattern += c;
        }
        pattern += '%';
        for (int i = 0; i < 4; ++i) {
            select.Bind(index++, pattern);
        }
    }
    select.Bind(index, int64_t{query.limit});
    std::vector<PageRecord> pages;
    const int64_t sending = m_sendingNow;
    while (select.Step()) {
        pages.push_back(RecordOf(select));
        pages.back().sending =
            pages.back().sending || (pages.back().id == sending && pages.back().state == "queued");
    }
    for (PageRecord& page : pages) {
        ReadRecipients(*m_readStatements, page);
    }
    return pages;
}

Cancelled PageStore::Cancel(int64_t id, double now) {
    Cancelled result;
    {
        std::lock_guard lock(m_mutex);
        if (m_sending == id) {
            result.outcome = Cancelled::Outcome::Sending;
        } else {
            Transaction transaction(*this);
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
    Transaction transaction(*this);
    Execute("CREATE TEMP TABLE IF NOT EXISTS old_pages(id INTEGER PRIMARY KEY)");
    Execute("DELETE FROM old_pages");
    Statement pick(*m_statements,
                   "INSERT INTO old_pages SELECT id FROM pages WHERE state <> 'queued' AND finished > 0 "
                   "AND finished < ? LIMIT ?");
    pick.Bind(1, before).Bind(2, int64_t{batch}).Run();
    const int removed = sqlite3_changes(m_db);
    if (removed > 0) {
        Execute("DELETE FROM frames WHERE page_id IN old_pages");
        Execute("DELETE FROM recipients WHERE page_id IN old_pages");
        Execute("DELETE FROM deliveries WHERE page_id IN old_pages");
        Execute("DELETE FROM pages WHERE id IN old_pages");
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
            "SELECT id, reason FROM pages INDEXED BY pages_expiry WHERE state = 'queued' AND expires <= ?");
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
        Statement update(*m_statements, "UPDATE pages SET state = ?, reason = ?, finished = ? WHERE id = ?");
        update.Bind(1, page.state).Bind(2, page.reason).Bind(3, now).Bind(4, page.id).Run();
    }
    transaction.Commit();
    return ended;
}

NextFrame PageStore::NextJob(const std::string& port, double now, const Numbering& numbering) {
    NextFrame next = NextJobLocked(port, now, numbering);
    if (next.job && next.job->number == 0 && !next.job->again) {
        for (const auto& listener : m_sendingListeners) {
            listener(next.job->page); // its first frame is on its way
        }
    }
    return next;
}

NextFrame PageStore::NextJobLocked(const std::string& port, double now, const Numbering& numbering) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(*this);
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
    Transaction transaction(*this);
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
            Statement finish(*m_statements,
                             "UPDATE pages SET state = 'sent', reason = '', done_frames = ?, finished = ? "
                             "WHERE id = ?");
            finish.Bind(1, int64_t{done}).Bind(2, now).Bind(3, job.page).Run();
            sent = true;
        } else {
            // The next round starts its interval after the start of this one, as timed sending does.
            const double next =
                done % recipients == 0 ? page.Real(2) + static_cast<double>(page.Int(1)) : now;
            Statement advance(*m_statements,
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
    Statement frame(*m_statements,
                    "UPDATE frames SET tries = tries + 1, reason = ? WHERE page_id = ? AND number = ?");
    frame.Bind(1, reason).Bind(2, job.page).Bind(3, int64_t{job.number}).Run();
    Statement page(*m_statements,
                   "UPDATE pages SET reason = ?, next_due = ? WHERE id = ? AND state = 'queued'");
    page.Bind(1, reason).Bind(2, retryAt).Bind(3, job.page).Run();
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

std::map<std::string, int64_t> PageStore::CountByState() {
    std::lock_guard lock(m_readMutex);
    std::map<std::string, int64_t> counts;
    for (const char* state : STATES) {
        counts[state] = 0;
    }
    Statement count(*m_readStatements, "SELECT state, count(*) FROM pages GROUP BY state");
    while (count.Step()) {
        counts[count.Text(0)] = count.Int(1);
    }
    return counts;
}

Backlog PageStore::QueuedBacklog() {
    std::lock_guard lock(m_readMutex);
    Backlog backlog;
    // Each queued page's frames still to go: its rounds times its watches, less those written.
    Statement frames(
        *m_readStatements,
        "SELECT coalesce(sum(max(1, (SELECT count(*) FROM recipients WHERE page_id = pages.id)) * "
        "repeat_count - done_frames), 0), min(expires) FROM pages INDEXED BY pages_expiry "
        "WHERE state = 'queued'");
    if (frames.Step()) {
        backlog.frames = frames.Int(0);
        backlog.firstExpiry = frames.Real(1);
    }
    return backlog;
}

int PageStore::LastSequence(const std::string& port) {
    std::lock_guard lock(m_mutex);
    Statement last(*m_statements, "SELECT last_sequence FROM ports WHERE port = ?");
    last.Bind(1, port);
    return last.Step() ? static_cast<int>(last.Int(0)) : 0;
}

} // namespace velkor::gateway
