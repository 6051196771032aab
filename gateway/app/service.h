#pragma once
// The gateway as a systemd service (Type=notify): ready once the queue is open and the listeners are bound,
// a status line for `systemctl status`, and the watchdog fed while the sending loop turns. Outside systemd
// (no NOTIFY_SOCKET) each call does nothing.
//
// Threads: the main thread.

#include <chrono>
#include <optional>
#include <string>

namespace velkor::gateway {

class ServiceManager {
public:
    void Ready(const std::string& status);
    void Status(const std::string& status);
    void Stopping();
    // How often the watchdog must be fed (half of WatchdogSec=), nullopt without a watchdog.
    std::optional<std::chrono::milliseconds> WatchdogEvery() const;
    void FeedWatchdog();
};

} // namespace velkor::gateway
