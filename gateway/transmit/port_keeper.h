#pragma once
// The state of a port a thread of the gateway keeps open (the transmitter's, a panel's): open or not, since
// when and why, and when to try again. Each change is said once in the log, not at every try.
//
// Threads: the keeping thread calls everything but State, which any thread may call.

#include "serial/device_link.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace velkor::gateway {

struct PortState {
    bool open = false;
    double lostSince = 0; // when it was lost or first failed to open; 0 while open
    std::string problem;  // why it is not open ("lost", or the reason it cannot be opened)
    std::string code;     // the same as a stable word ("device_lost", "busy", "no_such_device"...)
};

class PortKeeper {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds REOPEN_EVERY{2};

    // `name` as the log names the port ("port /dev/ttyUSB0"); `cannotOpen` before the reason a port cannot
    // be opened ("cannot open "); `meanwhile`, what it means ("pages wait").
    PortKeeper(std::string name, std::string cannotOpen, std::string meanwhile);

    // What a try to open the port came to: opened (`text` follows the port's name in the log, "open at
    // 9600 baud"), or not (`text` is the reason, naming the port; `code` the failure's word).
    struct Tried {
        bool opened = false;
        std::string text;
        std::string code;
    };
    // One turn of the keeping loop, the same for every port: a loss of `link`'s device noted, and when the
    // port is closed and a try is due, `tryOpen` (which opens `link`). True when the device was lost since
    // the last turn.
    bool Keep(DeviceLink& link, const std::function<Tried()>& tryOpen);
    // The reason `link` did not open, as Tried has it.
    static Tried NotOpened(const std::string& port, const DeviceLink& link);

    // Time to try to open it (it is closed and the wait since the last try is over).
    bool Due() const { return Clock::now() >= m_nextOpen; }
    Clock::time_point NextOpen() const { return m_nextOpen; }
    // It opened; `how` follows its name in the log ("open at 9600 baud").
    void Opened(const std::string& how);
    // It did not open, for `reason` (which names the port; `code` its word).
    void Failed(const std::string& reason, const std::string& code);
    // It went away while open.
    void Lost();
    PortState State() const;

private:
    const std::string m_name;
    const std::string m_cannotOpen;
    const std::string m_meanwhile;
    mutable std::mutex m_mutex; // guards m_state
    PortState m_state;
    Clock::time_point m_nextOpen{};
    bool m_reportedClosed = false;
};

} // namespace velkor::gateway
