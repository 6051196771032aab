#pragma once
// The one writer of the transmitter's port: takes frames from the queue in order, one at a time with the
// gap between them that the transmitter needs to send over the air, and keeps the port open (reopening a
// lost one every 2 s).
//
// Threads: Run on a thread of its own; Wake, Stop and TakeHealth from any thread.

#include "gateway/queue/page_store.h"
#include "gateway/transmit/port_keeper.h"
#include "serial/device_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace velkor::gateway {

struct PortSettings {
    std::string port;
    int baudRate = 9600;
    Parity parity = Parity::None;
    std::chrono::milliseconds gap{1000}; // least time from the end of one frame to the start of the next
    int keepDays = 30; // finished pages are removed this long after they finished; 0 keeps them all
};

struct Health {
    std::string port;
    PortState link; // open or not, since when and why
    int64_t queueDepth = 0;
    double lastFailureTime = 0;
    std::string lastFailure;     // the last write that failed, and why
    std::string lastFailureCode; // why, as a stable word (a port failure's, or "frame_unbuildable")
    uint64_t framesWritten = 0;
    uint64_t writeFailures = 0;
    uint64_t pagesRemoved = 0;  // finished pages removed past their keeping
    bool writesFailing = false; // the last write failed, and none has gone through since
    std::string storeProblem;   // why the queue cannot be stored now; "" while it can
    // Why the last frame was not numbered on the device's shared counter ("" while it was): the queue's
    // own count went on instead, which the window and velkor-cli do not see.
    std::string sequenceProblem;
    // The queue cannot be sent before its first page expires at the port's pace (the gap and the
    // frame's time on the wire): how long it takes, and how long that page has. 0 while it can.
    double drainSeconds = 0;
    double firstExpiresIn = 0;
};

class Transmitter {
public:
    // The longest wait for another program's hold of the shared sequence counter: the queue is not held
    // meanwhile, but sending is.
    static constexpr std::chrono::milliseconds SEQUENCE_WAIT{200};
    static constexpr std::chrono::seconds SEQUENCE_RETRY{5};
    // Pages that leave the queue unsent in one turn are logged one a line up to this many; the rest in one
    // line (a gateway started after a long stop finds thousands expired).
    static constexpr std::size_t ENDED_LOGGED_EACH = 5;
    // Old pages are looked for this often, and removed this many at a time between frames.
    static constexpr std::chrono::minutes REMOVE_EVERY{10};
    static constexpr int REMOVE_BATCH = 200;

    Transmitter(PageStore& store, PortSettings settings);

    // Sends until Stop. A frame cut short by Stop stays numbered in the queue for the next start.
    void Run();
    // Something was queued: look at the queue now.
    void Wake();
    void Stop();
    Health CurrentHealth();
    // When the sending loop last began a turn; it turns at least once a second while it runs, so a stale
    // time means it is stuck (the service's watchdog then stops being fed).
    std::chrono::steady_clock::time_point LastTurn() const {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(m_lastTurn.load()));
    }

private:
    // One turn: the port kept open, expired pages taken out, one frame sent or a wait until there is work.
    void Step();
    void KeepPortOpen();
    void SendOne(const Job& job);
    // Stores that a frame written earlier went out; throws StoreError while it still cannot.
    void RecordWritten();
    // Removes a small batch of pages past their keeping, when it is time to.
    void RemoveOld();
    // The next number of the device's counter, shared with the window and velkor-cli, going on after the
    // queue's `last` on the port; nullopt (said once) while its folder cannot be used or another program
    // holds it past SEQUENCE_WAIT, and the queue's own count goes on.
    std::optional<uint8_t> TakeSharedSequence(std::optional<uint8_t> last);
    // The next frame due, its number taken first when it needs a new one.
    std::optional<Job> NextNumberedJob();
    std::vector<uint8_t> FrameBytes(const Job& job) const;
    std::string FailureText(const CXSerial::Failure& failure) const;

    PageStore& m_store;
    const PortSettings m_settings;
    DeviceLink m_link;
    PortKeeper m_keeper;

    std::mutex m_mutex; // guards m_woken, m_health and the waiting
    std::condition_variable m_wake;
    bool m_woken = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::chrono::steady_clock::rep> m_lastTurn{
        std::chrono::steady_clock::now().time_since_epoch().count()};
    Health m_health;

    std::chrono::steady_clock::time_point m_lastFrameEnd{}; // when the last frame's last bit left the line
    // A frame that went out but whose going out could not be stored yet (disk full): kept here until it
    // can be, so that it is not written again, and nothing else is sent before it is stored.
    std::optional<Job> m_unrecorded;
    double m_unrecordedAt = 0;
    std::chrono::steady_clock::time_point m_nextRemoval{};
    std::chrono::steady_clock::time_point m_sequenceFailedAt{}; // the last take that waited and failed
    std::string m_sequenceProblem; // the last problem of the shared counter, said once (guarded by m_mutex)
};

} // namespace velkor::gateway
