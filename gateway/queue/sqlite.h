#pragma once
// SQLite as the queue uses it: connections that wait a bounded time for another process, statements
// prepared once and kept, transactions rolled back when left by an exception. Text from outside is made
// UTF-8 on its way in and out.

#include "frames/utf8.h"
#include "gateway/queue/store_error.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velkor::gateway {

// The longest SQLite waits for another process's lock on the database.
inline constexpr int BUSY_MS = 1500;

// A connection with the valid_utf8() function; throws StoreError naming `path`.
sqlite3* OpenConnection(const std::string& path, int flags);
// Runs `sql` (statements without results); throws StoreError.
void Execute(sqlite3* db, const char* sql);

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

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) { Execute(m_db, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!m_done) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        Execute(m_db, "COMMIT");
        m_done = true;
    }

private:
    sqlite3* m_db;
    bool m_done = false;
};

// SQLite's wait for another process's lock cut to what is left of an intake's time, for as long as it
// lives; the connection's own wait again after.
class BusyWithin {
public:
    BusyWithin(sqlite3* db, std::chrono::steady_clock::time_point deadline);
    ~BusyWithin();
    BusyWithin(const BusyWithin&) = delete;
    BusyWithin& operator=(const BusyWithin&) = delete;

private:
    sqlite3* m_db;
};

} // namespace velkor::gateway
