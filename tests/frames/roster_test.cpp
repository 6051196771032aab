// Duty rosters: who is on duty at a time of a day, through a night shift and past midnight, on a dated
// exception, and every fault of the file with its line and column.

#include "frames/roster.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

// 2026-12-10 is a Thursday.
std::tm At(int day, int hour, int minute) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = day;
    local.tm_wday = (4 + day - 10 + 7 * 5) % 7;
    local.tm_hour = hour;
    local.tm_min = minute;
    return local;
}

const char* const WARD = "# roster      when        hours        members\n"
                         "ward-nurse    weekdays    07:00-19:00  nurse-3\n"
                         "ward-nurse    weekdays    19:00-07:00  nurse-4,nurse-7\n"
                         "ward-nurse    weekends    00:00-24:00  nurse-5\r\n"
                         "ward-nurse    2026-12-25  07:00-19:00  nurse-6\n"
                         "kitchen       daily       10:00-14:00  cook-1\n";

TEST(Rosters, TheShiftOnDutyByDayAndHourThroughTheNightAndOnAnException) {
    auto read = Rosters::Parse(WARD);
    ASSERT_TRUE(std::holds_alternative<Rosters>(read));
    const Rosters& rosters = std::get<Rosters>(read);
    EXPECT_EQ(rosters.Names(), (std::vector<std::string>{"ward-nurse", "kitchen"}));
    using Members = std::vector<std::string>;
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(10, 10, 0)), Members{"nurse-3"});
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(10, 23, 0)), (Members{"nurse-4", "nurse-7"}));
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(11, 6, 59)), (Members{"nurse-4", "nurse-7"}))
        << "Thursday's night";
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(11, 7, 0)), Members{"nurse-3"});
    // Friday's night shift runs into Saturday morning, beside Saturday's own.
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(12, 3, 0)), (Members{"nurse-4", "nurse-7", "nurse-5"}));
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(13, 12, 0)), Members{"nurse-5"});
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(14, 3, 0)), Members{}) << "Sunday's night is no weekday's";
    // Christmas, a Friday: the dated shift alone by day; the night of the 24th still runs into it.
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(25, 10, 0)), Members{"nurse-6"});
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(25, 3, 0)), (Members{"nurse-4", "nurse-7"}));
    EXPECT_EQ(rosters.OnDuty("ward-nurse", At(25, 22, 0)), Members{})
        << "no weekly night on the exception's day";
    EXPECT_EQ(rosters.OnDuty("kitchen", At(31, 13, 59)), Members{"cook-1"});
    EXPECT_EQ(rosters.OnDuty("nobody", At(10, 10, 0)), Members{});
}

constexpr const char* DAYS_RULE = "daily, weekdays, weekends or mon,tue,...,sun, or a date YYYY-MM-DD";

TEST(Rosters, EveryFaultIsToldWithItsLineAndColumn) {
    auto read = Rosters::Parse("ward  weekdays 07:00-19:00 nurse-3\n"
                               "ward  someday  07:00-19:00 nurse-3\n"
                               "ward  2026-02-30 07:00-19:00 nurse-3\n"
                               "ward  daily    7:00-19:00  nurse-3\n"
                               "ward  daily    07:00-07:00 nurse-3\n"
                               "ward  daily    24:00-07:00 nurse-3\n"
                               "ward  daily    07:00-19:00\n"
                               "ward  daily    07:00-19:00 nurse-3 nurse-4\n"
                               "ward\n");
    ASSERT_TRUE(std::holds_alternative<std::vector<RosterFault>>(read));
    std::vector<std::string> texts;
    for (const RosterFault& fault : std::get<std::vector<RosterFault>>(read)) {
        texts.push_back(RosterFaultText("site.rosters", fault));
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{
                  "site.rosters:2:7: \"someday\" is not a day: " + std::string(DAYS_RULE),
                  "site.rosters:3:7: \"2026-02-30\" is not a day: " + std::string(DAYS_RULE),
                  "site.rosters:4:16: \"7:00-19:00\" is not a shift's hours: HH:MM-HH:MM, as 07:00-19:00",
                  "site.rosters:5:16: a shift of no time: 00:00-24:00 is the whole day",
                  "site.rosters:6:16: \"24:00-07:00\" is not a shift's hours: HH:MM-HH:MM, as 07:00-19:00",
                  "site.rosters:7:27: the members are missing: ROSTER DAYS HH:MM-HH:MM MEMBERS",
                  "site.rosters:8:36: more than the members: separate them with commas, no blanks",
                  "site.rosters:9:5: the days are missing: ROSTER DAYS HH:MM-HH:MM MEMBERS",
              }));
    read = Rosters::Parse(std::string("ward daily 07:00-19:00 \xff\n"));
    ASSERT_TRUE(std::holds_alternative<std::vector<RosterFault>>(read));
    EXPECT_EQ(RosterFaultText("r", std::get<std::vector<RosterFault>>(read)[0]),
              "r: not a roster file (UTF-8 text, at most 256 kB)");
}

} // namespace
} // namespace velkor
