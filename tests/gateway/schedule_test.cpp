// The schedule file and the time setting: what each line means, each fault with its line and column, and
// what falls due in a minute.

#include "gateway/intake/escalations.h"
#include "gateway/schedule/schedule.h"

#include <gtest/gtest.h>

namespace velkor::gateway {
namespace {

std::tm Minute(int weekday, int hour, int minute) {
    std::tm local{};
    local.tm_wday = weekday;
    local.tm_hour = hour;
    local.tm_min = minute;
    return local;
}

TEST(Schedule, EachLineIsDaysATimeWhomAndTheTextAndFallsDueInItsMinuteOnly) {
    std::string error;
    const std::optional<Schedule> schedule = Schedule::Parse("# the kitchen's day\r\n"
                                                             "daily 11:30 kitchen 午市开始\r\n"
                                                             "\n"
                                                             "weekdays 08:00 all   早上好，  开门\n"
                                                             "weekends 09:30 kitchen，desk 周末 营业\n"
                                                             "mon,fri 17:00 12 盘点",
                                                             "site.schedule", &error);
    ASSERT_TRUE(schedule) << error;
    ASSERT_EQ(schedule->Entries().size(), 4U);
    const ScheduleEntry& weekend = schedule->Entries()[2];
    EXPECT_EQ(weekend.line, 5);
    EXPECT_EQ(weekend.to, (std::vector<std::string>{"kitchen", "desk"}));
    EXPECT_EQ(weekend.text, "周末 营业") << "the rest of the line, blanks inside kept";
    EXPECT_EQ(schedule->Entries()[1].text, "早上好，  开门");

    const auto texts = [&](const std::tm& local) {
        std::vector<std::string> due;
        for (const ScheduleEntry& entry : schedule->DueAt(local)) {
            due.push_back(entry.text);
        }
        return due;
    };
    EXPECT_EQ(texts(Minute(4, 11, 30)), std::vector<std::string>{"午市开始"}); // Thursday
    EXPECT_TRUE(texts(Minute(4, 11, 31)).empty());
    EXPECT_EQ(texts(Minute(1, 8, 0)), std::vector<std::string>{"早上好，  开门"});
    EXPECT_TRUE(texts(Minute(0, 8, 0)).empty()) << "not on a Sunday";
    EXPECT_EQ(texts(Minute(6, 9, 30)), std::vector<std::string>{"周末 营业"});
    EXPECT_EQ(texts(Minute(5, 17, 0)), std::vector<std::string>{"盘点"});
    EXPECT_TRUE(texts(Minute(3, 17, 0)).empty());
}

TEST(Schedule, EveryFaultIsToldWithItsLineAndColumn) {
    std::string error;
    EXPECT_FALSE(Schedule::Parse("daily 11:30 kitchen 午市开始\n"
                                 "  someday 08:00 all x\n"
                                 "daily 24:00 all x\n"
                                 "daily 8:00 all x\n"
                                 "mon,funday 08:00 all x\n"
                                 "daily 08:00\n"
                                 "daily 08:00 all   \n",
                                 "site.schedule", &error));
    EXPECT_EQ(error,
              "site.schedule:2:3: \"someday\" is not a day: daily, weekdays, weekends or mon,tue,...,sun\n"
              "site.schedule:3:7: \"24:00\" is not a time of day\n"
              "site.schedule:4:7: \"8:00\" is not a time: HH:MM, as 08:00\n"
              "site.schedule:5:1: \"funday\" is not a day: daily, weekdays, weekends or mon,tue,...,sun\n"
              "site.schedule:6:12: whom to page is missing: DAYS HH:MM TO TEXT\n"
              "site.schedule:7:16: the text is missing: DAYS HH:MM TO TEXT");
    EXPECT_FALSE(Schedule::Parse(std::string("daily 08:00 all \xff\n"), "bad", &error));
    EXPECT_EQ(error, "bad: not a schedule (UTF-8 text, at most 256 kB)");
    EXPECT_FALSE(Schedule::Load("/nonexistent/velkor.schedule", &error));
    EXPECT_EQ(error, "/nonexistent/velkor.schedule: cannot be read");
}

TEST(Schedule, TheTimeSettingIsDaysAndATime) {
    std::string error;
    const std::optional<ScheduleEntry> daily = Schedule::ParseTimeSetting("daily 03:00", &error);
    ASSERT_TRUE(daily) << error;
    EXPECT_EQ(daily->hour, 3);
    EXPECT_TRUE(daily->to.empty());
    for (const char* bad : {"03:00", "daily", "daily 03:00 all", "nightly 03:00", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Schedule::ParseTimeSetting(bad, &error));
        EXPECT_NE(error.find("DAYS HH:MM, as daily 03:00"), std::string::npos) << error;
    }
}

} // namespace
} // namespace velkor::gateway

namespace velkor::gateway {
namespace {

TEST(Escalations, APolicyIsItsLinesInOrderAndEachFaultIsToldWhereItIs) {
    std::string error;
    const std::optional<Escalations> policies = Escalations::Parse("# policy after to\n"
                                                                   "ward-2   2m  ward-2\n"
                                                                   "kitchen 90s desk\n"
                                                                   "ward-2   5m  charge-nurse, all\n",
                                                                   "site.escalations", &error);
    ASSERT_TRUE(policies) << error;
    EXPECT_EQ(policies->Names(), (std::vector<std::string>{"kitchen", "ward-2"}));
    const std::vector<EscalationStep>* ward = policies->Find("ward-2");
    ASSERT_TRUE(ward);
    ASSERT_EQ(ward->size(), 2U);
    EXPECT_EQ((*ward)[0].after, 120);
    EXPECT_EQ((*ward)[1].after, 300);
    EXPECT_EQ((*ward)[1].to, (std::vector<std::string>{"charge-nurse", "all"}));
    EXPECT_FALSE(policies->Find("ward-3"));

    EXPECT_FALSE(Escalations::Parse("ward-2 soon x\nward-2 2m\nward-2 0s x\nward-2 2d x\n", "e", &error));
    EXPECT_EQ(error, "e:1:8: \"soon\" is not a wait: 90s, 2m, 1h (1 s to a day)\n"
                     "e:2:10: whom to page is missing: POLICY AFTER TO\n"
                     "e:3:8: \"0s\" is not a wait: 90s, 2m, 1h (1 s to a day)\n"
                     "e:4:8: \"2d\" is not a wait: 90s, 2m, 1h (1 s to a day)");
    EXPECT_EQ(ParseWait("45"), 45);
    EXPECT_EQ(ParseWait("1h"), 3600);
    EXPECT_FALSE(ParseWait("25h"));
    EXPECT_FALSE(ParseWait("-5s"));
}

} // namespace
} // namespace velkor::gateway
