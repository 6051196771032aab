#pragma once
// Duty rosters: named rosters whose members change by weekday and time of day (a day and a night shift,
// the weekend), with dated exceptions, read from a site's file a shift a line:
//
//   # roster      when        hours        members
//   ward-2-nurse  weekdays    07:00-19:00  nurse-3
//   ward-2-nurse  weekdays    19:00-07:00  nurse-4,nurse-7     (overnight: into the next morning)
//   ward-2-nurse  weekends    00:00-24:00  nurse-5
//   ward-2-nurse  2026-12-25  07:00-19:00  nurse-6             (that day, instead of its weekly shifts)
//
// Checked whole, each fault with its line and column, by the gateway and velkor-cli alike.

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor {

inline constexpr std::size_t MAX_ROSTER_BYTES = 256 * 1024;

// "daily", "weekdays", "weekends", or days by name ("mon,wed,fri"), by tm_wday (Sunday 0); nullopt with
// the reason in `why`.
std::optional<std::array<bool, 7>> ParseDays(std::string_view word, std::string* why);

struct RosterShift {
    std::string roster;
    std::array<bool, 7> days{}; // a weekly shift's start days
    int date = 0;               // a dated shift's day as YYYYMMDD; 0 for a weekly one
    int from = 0;               // minutes after midnight
    int to = 0;                 // the same; not after `from`: it ends the next day
    std::vector<std::string> members;
    int line = 0;
};

struct RosterFault {
    int line = 0;
    int column = 0; // from 1
    std::string reason;
};

// Who is on duty, and when that changes next.
struct Duty {
    std::vector<std::string> now;
    std::optional<std::time_t> changes; // within the next eight days
    std::vector<std::string> next;
};

class Rosters {
public:
    static std::variant<Rosters, std::vector<RosterFault>> Parse(std::string_view text);

    bool Has(const std::string& name) const;
    std::vector<std::string> Names() const;
    const std::vector<RosterShift>& Shifts() const { return m_shifts; }
    // The members of `roster` on duty at `local` (the site's time; its date, weekday, hour and minute).
    std::vector<std::string> OnDuty(const std::string& roster, const std::tm& local) const;
    // The same at `when`, and the next change after it, in the machine's time zone.
    Duty DutyAt(const std::string& roster, std::time_t when) const;

private:
    bool Applies(const RosterShift& shift, int date, int weekday) const;
    std::vector<RosterShift> m_shifts;
};

// "FILE:LINE:COLUMN: reason".
std::string RosterFaultText(const std::string& file, const RosterFault& fault);

} // namespace velkor
