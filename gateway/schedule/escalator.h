#pragma once
// Escalation: a page nobody answered within its step's wait pages the policy's next step, an ordinary
// page with its own frames ("[2] " before the text, --escalation-prefix), and so on to the last step. The
// queue holds where each escalation is, so that it goes on from its step after a restart; an answer to any
// page of it ends it all.
//
// Threads: Run on a thread of its own; Stop from any thread.

#include "gateway/intake/intake.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace velkor::gateway {

class Escalator {
public:
    // `prefix`: put before the text of each step's page; {step} is the step's number.
    Escalator(Intake& intake, std::string prefix);

    void Run();
    void Stop();
    // Pages every step that is due now; what Run does every second.
    void Turn();

private:
    std::optional<NewPage> NextStep(const EscalationDue& due) const;

    Intake& m_intake;
    const std::string m_prefix;
    std::mutex m_mutex; // guards m_stopping
    std::condition_variable m_stop;
    bool m_stopping = false;
};

} // namespace velkor::gateway
