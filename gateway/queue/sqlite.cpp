#include "gateway/queue/sqlite.h"

#include "frames/utf8.h"

#include <algorithm>

namespace velkor::gateway {

namespace {

// valid_utf8(X): X's bytes as UTF-8 text, U+FFFD for what is not.
void ValidUtf8Function(sqlite3_context* context, int, sqlite3_value** values) {
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(values[0]));
    const std::string text = ValidUtf8(
        std::string_view(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
    sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

} // namespace

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

void Execute(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw StoreError("database: " + text);
    }
}

BusyWithin::BusyWithin(sqlite3* db, std::chrono::steady_clock::time_point deadline) : m_db(db) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    sqlite3_busy_timeout(m_db, static_cast<int>(std::clamp<int64_t>(left.count(), 10, BUSY_MS)));
}

BusyWithin::~BusyWithin() {
    sqlite3_busy_timeout(m_db, BUSY_MS);
}

} // namespace velkor::gateway
