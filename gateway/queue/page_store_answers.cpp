// Pages someone must answer: acknowledged or resolved while they repeat or wait, and what answering took.

#include "gateway/queue/page_store.h"

#include "gateway/queue/sqlite.h"

namespace velkor::gateway {

namespace {

// Whether a page in `state` may still be answered: it repeats, waits, or its time ended unanswered (a
// late answer is still the answer).
bool Answerable(const std::string& state) {
    return state == "queued" || state == "sent" || state == "unanswered";
}

} // namespace

Answered PageStore::AnswerPage(int64_t id, const Answer& answer, double now) {
    Answered result;
    WriteWithinSubmitWait([&] {
        Statement read(*m_statements, "SELECT answer, state FROM pages WHERE id = ?");
        read.Bind(1, id);
        if (!read.Step()) {
            return false;
        }
        const std::string state = read.Text(1);
        if (read.Int(0) == 0) {
            result.outcome = Answered::Outcome::NotAsked;
        } else if (state == "acknowledged" || state == "resolved") {
            result.outcome = Answered::Outcome::AnsweredBefore;
        } else if (!Answerable(state)) {
            result.outcome = Answered::Outcome::Ended;
        } else {
            Statement update(*m_statements,
                             "UPDATE pages SET state = ?, answered = ?, answered_by = ?, answered_via = ?, "
                             "finished = ?, reason = '', reason_code = '' WHERE id = ?");
            update.Bind(1, answer.state)
                .Bind(2, now)
                .Bind(3, answer.by)
                .Bind(4, answer.via)
                .Bind(5, now)
                .Bind(6, id)
                .Run();
            result.outcome = Answered::Outcome::Answered;
        }
        return result.outcome == Answered::Outcome::Answered;
    });
    if (result.outcome == Answered::Outcome::Answered) {
        Notify(id);
    }
    if (result.outcome != Answered::Outcome::NoSuchPage) {
        result.page = Get(id);
    }
    return result;
}

std::vector<int64_t> PageStore::Resolve(const std::string& cause, const Answer& answer, double now) {
    std::vector<int64_t> resolved;
    if (cause.empty()) {
        return resolved;
    }
    WriteWithinSubmitWait([&] {
        // A page that asks for no answer is resolved too while it still repeats: its cause is over.
        Statement open(*m_statements, "SELECT id FROM pages INDEXED BY pages_cause WHERE cause = ? AND cause "
                                      "<> '' AND (state = 'queued' OR "
                                      "(answer = 1 AND state IN ('sent', 'unanswered')))");
        open.Bind(1, cause);
        while (open.Step()) {
            resolved.push_back(open.Int(0));
        }
        for (const int64_t id : resolved) {
            Statement update(*m_statements,
                             "UPDATE pages SET state = ?, answered = ?, answered_by = ?, answered_via = ?, "
                             "finished = ?, reason = '', reason_code = '' WHERE id = ?");
            update.Bind(1, answer.state)
                .Bind(2, now)
                .Bind(3, answer.by)
                .Bind(4, answer.via)
                .Bind(5, now)
                .Bind(6, id)
                .Run();
        }
        return !resolved.empty();
    });
    for (const int64_t id : resolved) {
        Notify(id);
    }
    return resolved;
}

std::vector<PageRecord> PageStore::Waiting(int limit) {
    std::vector<int64_t> ids;
    {
        std::lock_guard lock(m_readMutex);
        Statement waiting(*m_readStatements,
                          "SELECT id FROM pages WHERE answer = 1 AND state IN ('queued', 'sent') "
                          "ORDER BY id LIMIT ?");
        waiting.Bind(1, int64_t{limit});
        while (waiting.Step()) {
            ids.push_back(waiting.Int(0));
        }
    }
    return Pages(ids);
}

AnswerFigures PageStore::Answers() {
    AnswerFigures figures;
    std::lock_guard lock(m_readMutex);
    Statement waiting(*m_readStatements,
                      "SELECT count(*) FROM pages WHERE answer = 1 AND state IN ('queued', 'sent')");
    if (waiting.Step()) {
        figures.waiting = waiting.Int(0);
    }
    // From the first frame's time: the watch could not show it before.
    Statement delays(
        *m_readStatements,
        "SELECT answered - (SELECT min(time) FROM frames WHERE page_id = pages.id AND state = 'sent') "
        "FROM pages WHERE answered > 0 AND state = 'acknowledged' ORDER BY answered DESC LIMIT 1000");
    while (delays.Step()) {
        if (delays.Real(0) >= 0) {
            figures.delays.push_back(delays.Real(0));
        }
    }
    return figures;
}

} // namespace velkor::gateway
