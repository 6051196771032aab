#include "gateway/schedule/scheduler.h"

#include "gateway/intake/page_json.h"
#include "gateway/log/log.h"

#include <chrono>
#include <cmath>

namespace velkor::gateway {
namespace {

std::string MinuteText(const std::tm& local) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

} // namespace

Scheduler::Scheduler(Intake& intake, std::shared_ptr<const Schedule> schedule,
                     std::optional<ScheduleEntry> setTime)
    : m_intake(intake), m_setTime(std::move(setTime)), m_schedule(std::move(schedule)) {}

void Scheduler::SetSchedule(std::shared_ptr<const Schedule> schedule) {
    std::lock_guard lock(m_mutex);
    m_schedule = std::move(schedule);
}

void Scheduler::Stop() {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_stop.notify_all();
}

void Scheduler::Run() {
    // The minute it starts in is not paged: it may be half over.
    std::time_t last = std::time(nullptr) / 60 * 60;
    for (;;) {
        // Woken at the start of the next minute of the wall clock (looked at again every 10 s, so that a
        // clock stepped meanwhile is followed).
        const auto now = std::chrono::system_clock::now();
        const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
        const double toNext = 60.0 - std::fmod(seconds, 60.0);
        {
            std::unique_lock lock(m_mutex);
            if (m_stop.wait_for(lock, std::chrono::duration<double>(std::min(toNext + 0.05, 10.0)),
                                [this] { return m_stopping; })) {
                return;
            }
        }
        const std::time_t minute = std::time(nullptr) / 60 * 60;
        if (minute == last) {
            continue;
        }
        last = minute;
        std::tm local{};
        localtime_r(&minute, &local);
        PageMinute(local);
    }
}

void Scheduler::PageMinute(const std::tm& local) {
    std::shared_ptr<const Schedule> schedule;
    {
        std::lock_guard lock(m_mutex);
        schedule = m_schedule;
    }
    std::vector<NewPage> pages;
    const std::string minute = MinuteText(local);
    const auto due = [&local](const ScheduleEntry& entry) {
        return entry.days[static_cast<std::size_t>(local.tm_wday)] && entry.hour == local.tm_hour &&
               entry.minute == local.tm_min;
    };
    if (m_setTime && due(*m_setTime)) {
        NewPage time;
        time.kind = PageKind::Time;
        time.recipients = {Recipient{BROADCAST_ADDRESS, "all"}};
        time.source = "set-time";
        pages.push_back(std::move(time));
    }
    for (const ScheduleEntry& entry : schedule ? schedule->DueAt(local) : std::vector<ScheduleEntry>{}) {
        NewPage page;
        page.source = "schedule " + schedule->File() + ":" + std::to_string(entry.line);
        std::variant<ReadPage, PageRefusal> read = CompletePage(page, entry.to, entry.text, m_intake);
        if (const auto* refusal = std::get_if<PageRefusal>(&read)) {
            LogError(page.source + ": not paged at " + minute + ": " + refusal->message);
            continue;
        }
        pages.push_back(std::get<ReadPage>(read).page);
    }
    if (pages.empty()) {
        return;
    }
    // One notification a minute: started again within it, the gateway does not page it twice.
    std::variant<Notified, std::string> stored = m_intake.SubmitNotification(pages, "schedule " + minute);
    if (const auto* reason = std::get_if<std::string>(&stored)) {
        LogError("the pages of " + minute + " not stored: " + *reason);
    }
}

} // namespace velkor::gateway
