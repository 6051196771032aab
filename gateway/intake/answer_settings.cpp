#include "gateway/intake/answer_settings.h"

#include "gateway/intake/page_json.h"

namespace velkor::gateway {

std::string AskForAnswer(NewPage& page, const AnswerSettings& settings, const Escalations& policies) {
    if (!settings.Asks()) {
        return {};
    }
    page.answer = true;
    page.ttlSeconds = settings.ttlSeconds;
    page.ttlGiven = true;
    if (settings.repeatEvery > 0) {
        page.untilAnswered = true;
        page.repeatEvery = settings.repeatEvery;
        page.repeatCount = settings.ttlSeconds / settings.repeatEvery + 1;
    }
    if (settings.escalate.empty()) {
        return {};
    }
    try {
        SetEscalation(page, settings.escalate, policies);
    } catch (const PageRefusal& refusal) {
        // A call is paged whatever became of the escalations file; only its later steps are lost.
        return refusal.message + ": paged without its escalation";
    }
    return {};
}

} // namespace velkor::gateway
