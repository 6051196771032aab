// What the queue holds, as the API and the console read it: on the reading connection, never waiting for
// the writer.

#include "gateway/queue/page_store.h"

#include "frames/strict_text.h"
#include "gateway/queue/page_details.h"
#include "gateway/queue/sqlite.h"

namespace velkor::gateway {

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
    page.reasonCode = select.Text(15);
    page.detailList = ParseDetailList(select.Text(16));
    page.answer = select.Int(17) != 0;
    page.answered = select.Real(18);
    page.answeredBy = select.Text(19);
    page.answeredVia = select.Text(20);
    page.cause = select.Text(21);
    page.scheduled = select.Real(22);
    page.untilAnswered = select.Int(23) != 0;
    page.escalation = select.Text(24);
    page.step = static_cast<int>(select.Int(25));
    page.chain = select.Int(26);
    page.nextStep = select.Real(27);
    page.framesDone = static_cast<int>(select.Int(13));
    return page;
}

const char* const PAGE_COLUMNS =
    "SELECT id, kind, text, priority, created, expires, repeat_every, repeat_count, "
    "state, reason, source, finished, key_name, done_frames, details, reason_code, detail_list, answer, "
    "answered, answered_by, answered_via, cause, scheduled, until_answered, escalation, step, chain, "
    "next_step "
    "FROM pages ";

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

std::map<std::string, int64_t> PageStore::CountByState() {
    std::lock_guard lock(m_readMutex);
    std::map<std::string, int64_t> counts;
    for (const char* state : PAGE_STATES) {
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

} // namespace velkor::gateway
