#include "gateway/transmit/port_keeper.h"

#include "gateway/log/log.h"
#include "gateway/queue/clock.h"

namespace velkor::gateway {

PortKeeper::PortKeeper(std::string name, std::string cannotOpen, std::string meanwhile)
    : m_name(std::move(name)), m_cannotOpen(std::move(cannotOpen)), m_meanwhile(std::move(meanwhile)) {}

void PortKeeper::Opened(const std::string& how) {
    LogLine(m_name + " " + how + (m_reportedClosed ? " again" : ""));
    m_reportedClosed = false;
    std::lock_guard lock(m_mutex);
    m_state = PortState{true, 0, {}};
}

void PortKeeper::Failed(const std::string& reason) {
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
    m_state = PortState{false, WallNow(), "lost"};
}

void PortKeeper::Keep(bool lost, bool open, const std::function<Tried()>& tryOpen) {
    if (lost) {
        Lost();
    }
    if (open || !Due()) {
        return;
    }
    const Tried tried = tryOpen();
    if (tried.opened) {
        Opened(tried.text);
    } else {
        Failed(tried.text);
    }
}

PortState PortKeeper::State() const {
    std::lock_guard lock(m_mutex);
    return m_state;
}

} // namespace velkor::gateway
