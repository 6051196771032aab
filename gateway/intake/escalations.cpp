#include "gateway/intake/escalations.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/intake/line_words.h"
#include "gateway/intake/watch_names.h"

namespace velkor::gateway {
namespace {

constexpr std::size_t MAX_ESCALATIONS_BYTES = 256 * 1024;

} // namespace

std::optional<int> ParseWait(std::string_view text) {
    int unit = 1;
    if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        unit = text.back() == 'h' ? 3600 : text.back() == 'm' ? 60 : 1;
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const int seconds = std::stoi(std::string(text)) * unit;
    if (seconds < 1 || seconds > 86400) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<Escalations> Escalations::Parse(std::string_view text, const std::string& file,
                                              std::string* error) {
    if (text.size() > MAX_ESCALATIONS_BYTES || !IsUtf8(text)) {
        *error = file + ": not an escalations file (UTF-8 text, at most 256 kB)";
        return std::nullopt;
    }
    Escalations escalations;
    std::vector<std::string> faults;
    ForEachEntryLine(text, [&](std::string_view line, int number) {
        std::size_t at = 0;
        std::size_t start = 0;
        const std::string name(NextWord(line, at, &start));
        const std::string_view after = NextWord(line, at, &start);
        EscalationStep step;
        step.line = number;
        const std::optional<int> wait = ParseWait(after);
        if (!wait) {
            faults.push_back(
                LineFault(file, number, start, Quoted(after, " is not a wait: 90s, 2m, 1h (1 s to a day)")));
            return;
        }
        step.after = *wait;
        const std::size_t toStart = at;
        step.to = SplitRecipients(line.substr(at));
        if (step.to.empty()) {
            faults.push_back(LineFault(file, number, toStart, "whom to page is missing: POLICY AFTER TO"));
            return;
        }
        escalations.m_policies[name].push_back(std::move(step));
    });
    if (!faults.empty()) {
        *error = JoinLines(faults);
        return std::nullopt;
    }
    return escalations;
}

std::optional<Escalations> Escalations::Load(const std::string& path, std::string* error) {
    const std::optional<std::string> text = ReadWholeFile(path, error);
    return text ? Parse(*text, path, error) : std::nullopt;
}

const std::vector<EscalationStep>* Escalations::Find(const std::string& name) const {
    const auto found = m_policies.find(name);
    return found == m_policies.end() ? nullptr : &found->second;
}

std::vector<std::string> Escalations::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, steps] : m_policies) {
        names.push_back(name);
    }
    return names;
}

} // namespace velkor::gateway
