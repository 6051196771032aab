#pragma once
// What a listener whose senders cannot ask for an answer asks of all its pages: SNPP's settings, a panel's,
// and the watch list's escalation policy for a panel's calls to a watch.

#include "gateway/intake/escalations.h"
#include "gateway/queue/page_types.h"

#include <string>

namespace velkor::gateway {

struct AnswerSettings {
    bool answer = false;                  // its pages wait for an answer
    int repeatEvery = 0;                  // and repeat every this many seconds until then; 0: once
    int ttlSeconds = DEFAULT_TTL_SECONDS; // how long they go on unanswered
    std::string escalate;                 // the escalation policy of its pages; "" for none

    bool Asks() const { return answer || repeatEvery > 0 || !escalate.empty(); }
};

// `page` asks for what `settings` ask. A policy `policies` lacks is left out (the page still waits for its
// answer): the returned warning says so, "" otherwise.
std::string AskForAnswer(NewPage& page, const AnswerSettings& settings, const Escalations& policies);

} // namespace velkor::gateway
