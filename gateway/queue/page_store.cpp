#include "gateway/queue/page_store.h"

#include "gateway/queue/database_lock.h"
#include "gateway/queue/schema.h"
#include "gateway/queue/sqlite.h"

#include <sys/stat.h>
#include <unistd.h>

namespace velkor::gateway {

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
        Execute(m_db, "PRAGMA journal_mode=WAL");
        Execute(m_db, "PRAGMA synchronous=FULL");
        Execute(m_db, "PRAGMA foreign_keys=ON");
        BringForward(m_db);
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
    m_notifier.Stop(); // a listener may read the store
    m_readStatements.reset();
    m_statements.reset();
    sqlite3_close(m_reader);
    sqlite3_close(m_db);
    ::close(m_lock);
}

std::string PageStore::Problem() {
    std::lock_guard lock(m_problemMutex);
    return m_problem;
}

} // namespace velkor::gateway
