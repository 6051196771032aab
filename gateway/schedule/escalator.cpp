#include "gateway/schedule/escalator.h"

#include "frames/strict_text.h"
#include "gateway/intake/page_json.h"
#include "gateway/intake/page_text.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

namespace velkor::gateway {

Escalator::Escalator(Intake& intake, std::string prefix) : m_intake(intake), m_prefix(std::move(prefix)) {}

void Escalator::Stop() {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_stop.notify_all();
}

void Escalator::Run() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_stop.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; })) {
                return;
            }
        }
        try {
            Turn();
        } catch (const StoreError& error) {
            LogError(std::string("escalations wait: ") + error.what()); // tried again at the next turn
        }
    }
}

std::optional<NewPage> Escalator::NextStep(const EscalationDue& due) const {
    const std::shared_ptr<const Escalations> policies = m_intake.Policies();
    const std::vector<EscalationStep>* steps = policies->Find(due.policy);
    const auto index = static_cast<std::size_t>(due.step - 1); // step 2 is the first line of the policy
    if (!steps || index >= steps->size()) {
        if (!steps) {
            LogWarning("page " + std::to_string(due.id) + ": the escalation policy " + due.policy +
                       " is no longer in the escalations file: its escalation ends");
        }
        return std::nullopt;
    }
    NewPage page;
    page.source = "escalation " + due.policy + " of page " + std::to_string(due.chain);
    page.priority = due.priority;
    page.ttlSeconds = due.ttlSeconds;
    page.ttlGiven = true;
    page.key = due.key;
    page.cause = due.cause;
    page.answer = true;
    page.escalation = due.policy;
    page.step = due.step + 1;
    page.chain = due.chain;
    page.escalateAfter = index + 1 < steps->size() ? (*steps)[index + 1].after : 0;
    const std::string text = FitPageText(Replaced(m_prefix, "{step}", std::to_string(page.step)) + due.text);
    std::variant<ReadPage, PageRefusal> read = CompletePage(page, (*steps)[index].to, text, m_intake);
    if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
        LogError("page " + std::to_string(due.id) + ": step " + std::to_string(page.step) + " of " +
                 due.policy + " not paged: " + refusal->message + "; its escalation ends");
        return std::nullopt;
    }
    return std::get<ReadPage>(read).page;
}

void Escalator::Turn() {
    for (const EscalationDue& due : m_intake.Store().DueEscalations(QueueNow())) {
        const std::optional<NewPage> next = NextStep(due);
        const std::optional<int64_t> id = m_intake.Store().Escalate(due.id, next, QueueNow());
        if (id) {
            LogLine("page " + std::to_string(due.id) + " not answered: step " + std::to_string(next->step) +
                    " of " + due.policy + " paged as page " + std::to_string(*id));
            m_intake.Sender().Wake();
        }
    }
}

} // namespace velkor::gateway
