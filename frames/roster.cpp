#include "roster.h"

#include "local_time.h"
#include "strict_text.h"
#include "utf8.h"

#include <algorithm>
#include <cstdint>

namespace velkor {
namespace {

constexpr const char* DAY_NAMES[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

// "07:00" (and "24:00" for the end of the day): minutes after midnight.
std::optional<int> ReadClock(std::string_view text, bool end) {
    if (text.size() != 5 || text[2] != ':' ||
        text.find_first_not_of("0123456789:") != std::string_view::npos ||
        text.find(':', 3) != std::string_view::npos) {
        return std::nullopt;
    }
    const int hour = (text[0] - '0') * 10 + (text[1] - '0');
    const int minute = (text[3] - '0') * 10 + (text[4] - '0');
    if (minute > 59 || hour > 24 || (hour == 24 && (minute != 0 || !end))) {
        return std::nullopt;
    }
    return hour * 60 + minute;
}

// Days since 1970-01-01 of a civil date, and back (H. Hinnant's algorithms): no time zone, no C library,
// the same on every platform.
int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int CivilFromDays(int64_t days) { // as YYYYMMDD
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return static_cast<int>(year * 10000 + month * 100 + day);
}

// "2026-12-25": YYYYMMDD; nullopt for anything else, or a day no month has.
std::optional<int> ReadDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    const int year = std::stoi(std::string(text.substr(0, 4)));
    const int month = std::stoi(std::string(text.substr(5, 2)));
    const int day = std::stoi(std::string(text.substr(8, 2)));
    const int date = year * 10000 + month * 100 + day;
    if (month < 1 || month > 12 || day < 1 || CivilFromDays(DaysFromCivil(year, month, day)) != date) {
        return std::nullopt; // 31 February comes back as 3 March
    }
    return date;
}

int DateOf(const std::tm& local) {
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

// The day before `local`'s, and its weekday.
std::pair<int, int> DayBefore(const std::tm& local) {
    const int64_t today = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return {CivilFromDays(today - 1), (local.tm_wday + 6) % 7};
}

// One line read into `shift`; the fault otherwise.
std::optional<RosterFault> ReadShift(std::string_view line, int number, RosterShift& shift) {
    std::size_t at = 0;
    std::size_t start = 0;
    shift.line = number;
    shift.roster = std::string(NextWord(line, at, &start));
    const auto fault = [number](std::size_t column, std::string why) {
        return RosterFault{number, static_cast<int>(column) + 1, std::move(why)};
    };
    const std::string_view when = NextWord(line, at, &start);
    if (when.empty()) {
        return fault(start, "the days are missing: ROSTER DAYS HH:MM-HH:MM MEMBERS");
    }
    if (const std::optional<int> date = ReadDate(when)) {
        shift.date = *date;
    } else {
        std::string why;
        const std::optional<std::array<bool, 7>> days = ParseDays(when, &why);
        if (!days) {
            return fault(start, why + ", or a date YYYY-MM-DD");
        }
        shift.days = *days;
    }
    const std::string_view hours = NextWord(line, at, &start);
    const std::size_t dash = hours.find('-');
    const std::optional<int> from =
        dash == std::string_view::npos ? std::nullopt : ReadClock(hours.substr(0, dash), false);
    const std::optional<int> to =
        dash == std::string_view::npos ? std::nullopt : ReadClock(hours.substr(dash + 1), true);
    if (!from || !to) {
        return fault(start, Quoted(hours, " is not a shift's hours: HH:MM-HH:MM, as 07:00-19:00"));
    }
    if (*from == *to) {
        return fault(start, "a shift of no time: 00:00-24:00 is the whole day");
    }
    shift.from = *from;
    shift.to = *to == 1440 ? 1440 : *to;
    const std::string_view members = NextWord(line, at, &start);
    std::size_t begin = 0;
    while (begin <= members.size() && !members.empty()) {
        const std::size_t end = std::min(members.find(',', begin), members.size());
        if (end > begin) {
            shift.members.emplace_back(members.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    if (shift.members.empty()) {
        return fault(start, "the members are missing: ROSTER DAYS HH:MM-HH:MM MEMBERS");
    }
    if (!TrimBlanks(line.substr(at)).empty()) {
        std::size_t extra = 0;
        NextWord(line, at, &extra);
        return fault(extra, "more than the members: separate them with commas, no blanks");
    }
    return std::nullopt;
}

} // namespace

std::optional<std::array<bool, 7>> ParseDays(std::string_view word, std::string* why) {
    std::array<bool, 7> days{};
    if (word == "daily") {
        days.fill(true);
        return days;
    }
    if (word == "weekdays" || word == "weekends") {
        for (std::size_t day = 0; day < 7; ++day) {
            days[day] = (day == 0 || day == 6) == (word == "weekends");
        }
        return days;
    }
    for (std::size_t start = 0; start <= word.size();) {
        const std::size_t end = std::min(word.find(',', start), word.size());
        const std::string_view name = word.substr(start, end - start);
        const auto* found = std::find(std::begin(DAY_NAMES), std::end(DAY_NAMES), name);
        if (found == std::end(DAY_NAMES)) {
            *why = Quoted(name, " is not a day: daily, weekdays, weekends or mon,tue,...,sun");
            return std::nullopt;
        }
        days[static_cast<std::size_t>(found - std::begin(DAY_NAMES))] = true;
        start = end + 1;
    }
    return days;
}

std::variant<Rosters, std::vector<RosterFault>> Rosters::Parse(std::string_view text) {
    if (text.size() > MAX_ROSTER_BYTES || !IsUtf8(text)) {
        return std::vector{RosterFault{0, 0, "not a roster file (UTF-8 text, at most 256 kB)"}};
    }
    Rosters rosters;
    std::vector<RosterFault> faults;
    ForEachEntryLine(text, [&](std::string_view line, int number) {
        RosterShift shift;
        if (std::optional<RosterFault> fault = ReadShift(line, number, shift)) {
            faults.push_back(std::move(*fault));
        } else {
            rosters.m_shifts.push_back(std::move(shift));
        }
    });
    if (!faults.empty()) {
        return faults;
    }
    return rosters;
}

bool Rosters::Has(const std::string& name) const {
    return std::any_of(m_shifts.begin(), m_shifts.end(),
                       [&](const RosterShift& s) { return s.roster == name; });
}

std::vector<std::string> Rosters::Names() const {
    std::vector<std::string> names;
    for (const RosterShift& shift : m_shifts) {
        if (std::find(names.begin(), names.end(), shift.roster) == names.end()) {
            names.push_back(shift.roster);
        }
    }
    return names;
}

bool Rosters::Applies(const RosterShift& shift, int date, int weekday) const {
    if (shift.date != 0) {
        return shift.date == date;
    }
    // A dated shift of the roster that day stands for its weekly ones.
    const bool dated = std::any_of(m_shifts.begin(), m_shifts.end(), [&](const RosterShift& s) {
        return s.roster == shift.roster && s.date == date;
    });
    return !dated && shift.days[static_cast<std::size_t>(weekday)];
}

std::vector<std::string> Rosters::OnDuty(const std::string& roster, const std::tm& local) const {
    const int minute = local.tm_hour * 60 + local.tm_min;
    const int today = DateOf(local);
    const auto [yesterday, yesterdayWeekday] = DayBefore(local);
    std::vector<std::string> members;
    for (const RosterShift& shift : m_shifts) {
        if (shift.roster != roster) {
            continue;
        }
        const bool overnight = shift.to <= shift.from;
        const bool started =
            Applies(shift, today, local.tm_wday) && minute >= shift.from && (overnight || minute < shift.to);
        const bool fromYesterday =
            overnight && minute < shift.to && Applies(shift, yesterday, yesterdayWeekday);
        if (started || fromYesterday) {
            for (const std::string& member : shift.members) {
                if (std::find(members.begin(), members.end(), member) == members.end()) {
                    members.push_back(member);
                }
            }
        }
    }
    return members;
}

Duty Rosters::DutyAt(const std::string& roster, std::time_t when) const {
    Duty duty;
    const std::time_t minute = when / 60 * 60;
    if (const std::optional<std::tm> local = LocalTime(minute)) {
        duty.now = OnDuty(roster, *local);
    }
    for (std::time_t next = minute + 60; next <= minute + 8 * 86400; next += 60) {
        const std::optional<std::tm> local = LocalTime(next);
        if (!local) {
            break;
        }
        std::vector<std::string> members = OnDuty(roster, *local);
        if (members != duty.now) {
            duty.changes = next;
            duty.next = std::move(members);
            break;
        }
    }
    return duty;
}

std::string RosterFaultText(const std::string& file, const RosterFault& fault) {
    std::string text = file;
    if (fault.line > 0) {
        text += ':';
        text += std::to_string(fault.line);
        text += ':';
        text += std::to_string(fault.column);
    }
    return text + ": " + fault.reason;
}

} // namespace velkor
