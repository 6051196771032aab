#include "gateway/queue/schema.h"

#include "gateway/queue/sqlite.h"

#include <iterator>
#include <string>

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
    // Reasons and details as stable words beside the words, for programs that say them in their own language.
    R"(ALTER TABLE pages ADD COLUMN reason_code TEXT NOT NULL DEFAULT '';
       ALTER TABLE pages ADD COLUMN detail_list TEXT NOT NULL DEFAULT '';)",
    // Pages someone must answer, what ties a resolution to them, and pages queued for later.
    R"(ALTER TABLE pages ADD COLUMN answer INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE pages ADD COLUMN answered REAL NOT NULL DEFAULT 0;
       ALTER TABLE pages ADD COLUMN answered_by TEXT NOT NULL DEFAULT '';
       ALTER TABLE pages ADD COLUMN answered_via TEXT NOT NULL DEFAULT '';
       ALTER TABLE pages ADD COLUMN cause TEXT NOT NULL DEFAULT '';
       ALTER TABLE pages ADD COLUMN scheduled REAL NOT NULL DEFAULT 0;
       ALTER TABLE pages ADD COLUMN until_answered INTEGER NOT NULL DEFAULT 0;
       CREATE INDEX pages_awaiting ON pages(expires) WHERE state = 'sent' AND answer = 1;
       CREATE INDEX pages_cause ON pages(cause) WHERE cause <> '';)",
    // Escalations: the policy, the step, the page that started it, and when the next step is due.
    R"(ALTER TABLE pages ADD COLUMN escalation TEXT NOT NULL DEFAULT '';
       ALTER TABLE pages ADD COLUMN step INTEGER NOT NULL DEFAULT 1;
       ALTER TABLE pages ADD COLUMN chain INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE pages ADD COLUMN next_step REAL NOT NULL DEFAULT 0;
       CREATE INDEX pages_escalating ON pages(next_step) WHERE next_step > 0;
       CREATE INDEX pages_chain ON pages(chain) WHERE chain > 0;)",
};
static_assert(std::size(MIGRATIONS) == SCHEMA_VERSION);

} // namespace

void BringForward(sqlite3* db) {
    int version = 0;
    {
        StatementCache statements(db);
        Statement read(statements, "PRAGMA user_version");
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
    Transaction transaction(db);
    Execute(db, SCHEMA);
    for (int step = version; step < SCHEMA_VERSION; ++step) {
        Execute(db, MIGRATIONS[step]);
    }
    Execute(db, ("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION)).c_str());
    transaction.Commit();
}

} // namespace velkor::gateway
