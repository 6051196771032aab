#pragma once
// The routine announcements a site makes at set times (a schedule file), and the watches' clock set daily:
// read and checked as every other file (each fault with its line and column), and what falls due in a
// minute of the site's local time.

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

// One line of the file: "daily 11:30 kitchen 午市开始", "weekdays 08:00 all 早上好",
// "mon,wed,fri 17:00 kitchen,desk 盘点".
struct ScheduleEntry {
    std::array<bool, 7> days{}; // by tm_wday: Sunday 0
    int hour = 0;
    int minute = 0;
    std::vector<std::string> to; // empty for the time frame
    std::string text;
    int line = 0;
};

class Schedule {
public:
    // Reads `text` (the file `file`); nullopt with every fault, "FILE:LINE:COLUMN: why", a line each.
    static std::optional<Schedule> Parse(std::string_view text, const std::string& file, std::string* error);
    static std::optional<Schedule> Load(const std::string& path, std::string* error);
    // The watches' clock: "daily 03:00", "weekdays 06:30" (a time page to every watch then).
    static std::optional<ScheduleEntry> ParseTimeSetting(std::string_view text, std::string* error);

    // The entries due in the minute `local` (the site's time, seconds ignored).
    std::vector<ScheduleEntry> DueAt(const std::tm& local) const;
    const std::vector<ScheduleEntry>& Entries() const { return m_entries; }
    const std::string& File() const { return m_file; }

private:
    std::vector<ScheduleEntry> m_entries;
    std::string m_file;
};

} // namespace velkor::gateway
