#pragma once
// Pages at set times: at each minute of the site's local time, the schedule's entries due then and the
// watches' clock (when set). A minute is paged once even across a restart within it (its pages are stored
// as one notification of that minute); a minute the gateway was not running is not paged late.
//
// Threads: Run on a thread of its own; Stop and SetSchedule from any thread.

#include "gateway/intake/intake.h"
#include "gateway/schedule/schedule.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace velkor::gateway {

class Scheduler {
public:
    Scheduler(Intake& intake, std::shared_ptr<const Schedule> schedule, std::optional<ScheduleEntry> setTime);

    void Run();
    void Stop();
    // A schedule read again (SIGHUP).
    void SetSchedule(std::shared_ptr<const Schedule> schedule);
    // Pages what is due in the minute `local` (seconds ignored); what Run does each minute.
    void PageMinute(const std::tm& local);

private:
    Intake& m_intake;
    const std::optional<ScheduleEntry> m_setTime;
    std::mutex m_mutex; // guards m_schedule and m_stopping
    std::condition_variable m_stop;
    std::shared_ptr<const Schedule> m_schedule;
    bool m_stopping = false;
};

} // namespace velkor::gateway
