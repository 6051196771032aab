#pragma once
// Escalation policies (--escalations FILE): who is paged next when nobody answers a page, and after how
// long. A line a step, "POLICY AFTER TO" ("ward-2 2m ward-2", "ward-2 5m charge-nurse,all"); the page
// itself is a policy's first step, and each line pages the next one that long after the step before it.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

struct EscalationStep {
    int after = 0;               // seconds after the step before it
    std::vector<std::string> to; // recipients, as everywhere
    int line = 0;
};

class Escalations {
public:
    // Reads `text` (the file `file`); nullopt with every fault, "FILE:LINE:COLUMN: why", a line each.
    static std::optional<Escalations> Parse(std::string_view text, const std::string& file,
                                            std::string* error);
    static std::optional<Escalations> Load(const std::string& path, std::string* error);

    // The steps after the page itself of the policy `name`; nullptr for no such policy.
    const std::vector<EscalationStep>* Find(const std::string& name) const;
    std::vector<std::string> Names() const;

private:
    std::map<std::string, std::vector<EscalationStep>> m_policies;
};

// "90s", "2m", "1h", "45": seconds from 1 to a day; nullopt otherwise.
std::optional<int> ParseWait(std::string_view text);

} // namespace velkor::gateway
