#include "gateway/schedule/schedule.h"

#include "frames/roster.h"
#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/intake/line_words.h"
#include "gateway/intake/watch_names.h"

namespace velkor::gateway {
namespace {

constexpr std::size_t MAX_SCHEDULE_BYTES = 256 * 1024;

// "11:30": the hour and minute; the reason otherwise.
bool ReadTime(std::string_view word, ScheduleEntry& entry, std::string* why) {
    if (word.size() != 5 || word[2] != ':' ||
        word.find_first_not_of("0123456789:") != std::string_view::npos) {
        *why = Quoted(word, " is not a time: HH:MM, as 08:00");
        return false;
    }
    entry.hour = (word[0] - '0') * 10 + (word[1] - '0');
    entry.minute = (word[3] - '0') * 10 + (word[4] - '0');
    if (entry.hour > 23 || entry.minute > 59) {
        *why = Quoted(word, " is not a time of day");
        return false;
    }
    return true;
}

// The next word of `line` from `at` (blanks skipped), and where it starts (0-based).

} // namespace

std::optional<ScheduleEntry> Schedule::ParseTimeSetting(std::string_view text, std::string* error) {
    ScheduleEntry entry;
    std::size_t at = 0;
    std::size_t start = 0;
    const std::string_view days = NextWord(text, at, &start);
    const std::string_view time = NextWord(text, at, &start);
    std::string why;
    std::optional<std::array<bool, 7>> read = ParseDays(days, &why);
    if (!read || !ReadTime(time, entry, &why) || !TrimBlanks(text.substr(at)).empty()) {
        *error = std::string(text) + ": DAYS HH:MM, as daily 03:00" + (why.empty() ? "" : " (" + why + ")");
        return std::nullopt;
    }
    entry.days = *read;
    return entry;
}

std::optional<Schedule> Schedule::Parse(std::string_view text, const std::string& file, std::string* error) {
    Schedule schedule;
    schedule.m_file = file;
    std::vector<std::string> faults;
    if (text.size() > MAX_SCHEDULE_BYTES || !IsUtf8(text)) {
        *error = file + ": not a schedule (UTF-8 text, at most 256 kB)";
        return std::nullopt;
    }
    ForEachEntryLine(text, [&](std::string_view line, int number) {
        ScheduleEntry entry;
        entry.line = number;
        std::size_t at = 0;
        std::size_t start = 0;
        std::string why;
        const std::string_view days = NextWord(line, at, &start);
        std::optional<std::array<bool, 7>> read = ParseDays(days, &why);
        if (!read) {
            faults.push_back(LineFault(file, number, start, why));
            return;
        }
        entry.days = *read;
        if (!ReadTime(NextWord(line, at, &start), entry, &why)) {
            faults.push_back(LineFault(file, number, start, why));
            return;
        }
        entry.to = SplitRecipients(NextWord(line, at, &start));
        if (entry.to.empty()) {
            faults.push_back(LineFault(file, number, start, "whom to page is missing: DAYS HH:MM TO TEXT"));
            return;
        }
        const std::string_view words = TrimBlanks(line.substr(at));
        if (words.empty()) {
            faults.push_back(LineFault(file, number, at, "the text is missing: DAYS HH:MM TO TEXT"));
            return;
        }
        entry.text = std::string(words);
        schedule.m_entries.push_back(std::move(entry));
    });
    if (!faults.empty()) {
        *error = JoinLines(faults);
        return std::nullopt;
    }
    return schedule;
}

std::optional<Schedule> Schedule::Load(const std::string& path, std::string* error) {
    const std::optional<std::string> text = ReadWholeFile(path, error);
    return text ? Parse(*text, path, error) : std::nullopt;
}

std::vector<ScheduleEntry> Schedule::DueAt(const std::tm& local) const {
    std::vector<ScheduleEntry> due;
    for (const ScheduleEntry& entry : m_entries) {
        if (entry.days[static_cast<std::size_t>(local.tm_wday)] && entry.hour == local.tm_hour &&
            entry.minute == local.tm_min) {
            due.push_back(entry);
        }
    }
    return due;
}

} // namespace velkor::gateway
