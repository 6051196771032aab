#include "gateway/transmit/port_keeper.h"

#include "gateway/log/log.h"
#include "gateway/queue/clock.h"
#include "serial/port_failure.h"

namespace velkor::gateway {

PortKeeper::PortKeeper(std::string name, std::string cannotOpen, std::string meanwhile)
    : m_name(std::move(name)), m_cannotOpen(std::move(cannotOpen)), m_meanwhile(std::move(meanwhile)) {}

void PortKeeper::Opened(const std::string& how) {
    LogLine(m_name + " " + how + (m_reportedClosed ? " again" : ""));
    m_reportedClosed = false;
    std::lock_guard lock(m_mutex);
    m_state = PortState{true, 0, {}, {}};
}

void PortKeeper::Failed(const std::string& reason, const std::string& code) {
    m_nextOpen = Clock::now() + REOPEN_EVERY;
    bool say = false;
    {
        std::lock_guard lock(m_mutex);
        // Said once, not every 2 s; said again when the reason changes (not after "lost", which said it).
        say = !m_reportedClosed || (m_state.problem != reason && m_state.problem != "lost");
        if (!m_reportedClosed) {
            m_state.lostSince = WallNow();
        }
        m_state.open = false;
        m_state.problem = reason;
        m_state.code = code;
        m_reportedClosed = true;
    }
    if (say) {
        LogError(m_cannotOpen + reason + "; " + m_meanwhile + ", trying again every 2 s");
    }
}

void PortKeeper::Lost() {
    LogError(m_name + " lost; " + m_meanwhile + ", reopening it every 2 s");
    m_reportedClosed = true;
    m_nextOpen = Clock::now() + REOPEN_EVERY;
    std::lock_guard lock(m_mutex);
    m_state = PortState{false, WallNow(), "lost", PortErrorCode(PortError::DeviceLost)};
}

bool PortKeeper::Keep(DeviceLink& link, const std::function<Tried()>& tryOpen) {
    bool lost = false;
    while (std::optional<PortEvent> event = link.TakePortEvent()) {
        lost = lost || *event == PortEvent::Lost;
    }
    if (lost) {
        link.Close(); // the device is gone; the port is released so that it can be opened again
        while (link.TakePortEvent()) {
        }
        Lost();
    }
    if (link.IsOpen() || !Due()) {
        return lost;
    }
    const Tried tried = tryOpen();
    while (link.TakePortEvent()) {
        // the try's own Opened or Closed
    }
    if (tried.opened) {
        Opened(tried.text);
    } else {
        Failed(tried.text, tried.code);
    }
    return lost;
}

PortKeeper::Tried PortKeeper::NotOpened(const std::string& port, const DeviceLink& link) {
    const CXSerial::Failure failure = link.LastFailure();
    return Tried{false, PortFailureText(port, failure), PortErrorCode(failure.error)};
}

PortState PortKeeper::State() const {
    std::lock_guard lock(m_mutex);
    return m_state;
}

} // namespace velkor::gateway
