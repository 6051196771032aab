// Pages someone must answer: acknowledged or resolved while they repeat or wait, and what answering took.

#include "gateway/queue/page_store.h"

#include "gateway/queue/sqlite.h"

#include <algorithm>
#include <cmath>

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
    std::vector<int64_t> answered;
    WriteWithinSubmitWait([&] {
        Statement read(*m_statements, "SELECT answer, state, chain FROM pages WHERE id = ?");
        read.Bind(1, id);
        if (!read.Step()) {
            return false;
        }
        const std::string state = read.Text(1);
        const int64_t chain = read.Int(2) > 0 ? read.Int(2) : id;
        if (read.Int(0) == 0) {
            result.outcome = Answered::Outcome::NotAsked;
        } else if (state == "acknowledged" || state == "resolved") {
            result.outcome = Answered::Outcome::AnsweredBefore;
        } else if (!Answerable(state)) {
            result.outcome = Answered::Outcome::Ended;
        } else {
            // The page, and every step of its escalation still open: one answer ends them all.
            Statement open(*m_statements,
                           "SELECT id FROM pages WHERE (id = ? OR (chain = ? AND chain > 0)) AND "
                           "answer = 1 AND state IN ('queued', 'sent', 'unanswered')");
            open.Bind(1, chain).Bind(2, chain);
            while (open.Step()) {
                answered.push_back(open.Int(0));
            }
            if (std::find(answered.begin(), answered.end(), id) == answered.end()) {
                answered.push_back(id);
            }
            for (const int64_t each : answered) {
                StoreAnswer(each, answer, now);
            }
            result.outcome = Answered::Outcome::Answered;
        }
        return result.outcome == Answered::Outcome::Answered;
    });
    for (const int64_t each : answered) {
        Notify(each);
    }
    if (result.outcome != Answered::Outcome::NoSuchPage) {
        result.page = Get(id);
    }
    return result;
}

void PageStore::StoreAnswer(int64_t id, const Answer& answer, double now) {
    Statement update(*m_statements,
                     "UPDATE pages SET state = ?, answered = ?, answered_by = ?, answered_via = ?, "
                     "finished = ?, reason = '', reason_code = '', next_step = 0 WHERE id = ?");
    update.Bind(1, answer.state)
        .Bind(2, now)
        .Bind(3, answer.by)
        .Bind(4, answer.via)
        .Bind(5, now)
        .Bind(6, id)
        .Run();
}

std::vector<EscalationDue> PageStore::DueEscalations(double now) {
    std::vector<EscalationDue> due;
    std::lock_guard lock(m_mutex);
    Statement select(
        *m_statements,
        // Each step's text is made from the first page's, not from the step before it.
        "SELECT id, chain, escalation, step, (SELECT text FROM pages AS first WHERE first.id = "
        "CASE WHEN pages.chain > 0 THEN pages.chain ELSE pages.id END), priority, expires - created, "
        "key_name, cause FROM pages INDEXED BY pages_escalating WHERE next_step > 0 AND next_step <= ? "
        "AND state IN ('queued', 'sent', 'unanswered') ORDER BY next_step LIMIT 100");
    select.Bind(1, now);
    while (select.Step()) {
        EscalationDue page;
        page.id = select.Int(0);
        page.chain = select.Int(1) > 0 ? select.Int(1) : page.id;
        page.policy = select.Text(2);
        page.step = static_cast<int>(select.Int(3));
        page.text = select.Text(4);
        page.priority = select.Int(5) ? Priority::High : Priority::Normal;
        page.ttlSeconds = static_cast<int>(std::lround(select.Real(6)));
        page.key = select.Text(7);
        page.cause = select.Text(8);
        due.push_back(std::move(page));
    }
    return due;
}

std::optional<int64_t> PageStore::Escalate(int64_t from, const std::optional<NewPage>& next, double now) {
    std::optional<int64_t> id;
    WriteWithinSubmitWait([&] {
        Statement done(*m_statements, "UPDATE pages SET next_step = 0 WHERE id = ?");
        done.Bind(1, from).Run();
        if (next) {
            id = InsertPage(*next, now);
        }
        return true;
    });
    if (id) {
        Notify(*id);
    }
    Notify(from);
    return id;
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
            StoreAnswer(id, answer, now);
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
