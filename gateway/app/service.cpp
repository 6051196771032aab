#include "gateway/app/service.h"

#include <systemd/sd-daemon.h>

namespace velkor::gateway {

void ServiceManager::Ready(const std::string& status) {
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void ServiceManager::Status(const std::string& status) {
    sd_notify(0, ("STATUS=" + status).c_str());
}

void ServiceManager::Stopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

std::optional<std::chrono::milliseconds> ServiceManager::WatchdogEvery() const {
    uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) <= 0 || microseconds == 0) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(microseconds / 2000);
}

void ServiceManager::FeedWatchdog() {
    sd_notify(0, "WATCHDOG=1");
}

} // namespace velkor::gateway
