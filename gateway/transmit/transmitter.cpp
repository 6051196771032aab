#include "gateway/transmit/transmitter.h"

#include "frames/strict_text.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/watch_commands.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"
#include "serial/port_failure.h"
#include "serial/sequence_store.h"

#include <algorithm>
#include <utility>

namespace velkor::gateway {
namespace {

using Clock = std::chrono::steady_clock;

std::string Describe(const Job& job) {
    std::string to = AddressText(job.recipient.address);
    if (!job.recipient.name.empty() && job.recipient.name != "all") {
        to += " (" + job.recipient.name + ")";
    }
    return "page " + std::to_string(job.page) + " frame " + std::to_string(job.number + 1) + "/" +
           std::to_string(job.frames) + " to " + to + ", sequence " + std::to_string(job.sequence);
}

} // namespace

Transmitter::Transmitter(PageStore& store, PortSettings settings)
    : m_store(store), m_settings(std::move(settings)),
      m_keeper("port " + m_settings.port, "cannot open ", "pages wait") {
    m_health.port = m_settings.port;
}

void Transmitter::Wake() {
    std::lock_guard lock(m_mutex);
    m_woken = true;
    m_wake.notify_one();
}

void Transmitter::Stop() {
    m_stopping = true;
    m_link.Interrupt(); // a write waiting on a stalled device gives up now
    Wake();
}

Health Transmitter::CurrentHealth() {
    int64_t depth = 0;
    Backlog backlog;
    std::string storeProblem = m_store.Problem();
    try {
        depth = m_store.CountByState()["queued"];
        backlog = m_store.QueuedBacklog();
    } catch (const StoreError& error) {
        storeProblem = error.what();
    }
    const PortState port = m_keeper.State();
    std::lock_guard lock(m_mutex);
    Health health = m_health;
    health.link = port;
    health.queueDepth = depth;
    if (backlog.frames > 0) {
        // A text frame is at most 100 bytes on the wire; each is followed by the gap.
        const int bitsPerByte = m_settings.parity == Parity::None ? 10 : 11;
        const double perFrame = std::chrono::duration<double>(m_settings.gap).count() +
                                100.0 * bitsPerByte / std::max(1, m_settings.baudRate);
        const double drain = static_cast<double>(backlog.frames) * perFrame;
        const double left = backlog.firstExpiry - QueueNow();
        if (drain > left) {
            health.drainSeconds = drain;
            health.firstExpiresIn = std::max(0.0, left);
        }
    }
    if (health.storeProblem.empty()) {
        health.storeProblem = storeProblem;
    }
    return health;
}

std::string Transmitter::FailureText(const CXSerial::Failure& failure) const {
    return PortFailureText(m_settings.port, failure);
}

void Transmitter::KeepPortOpen() {
    m_keeper.Keep(m_link, [this] {
        if (!m_link.Open(m_settings.port, m_settings.baudRate, m_settings.parity)) {
            return PortKeeper::NotOpened(m_settings.port, m_link);
        }
        return PortKeeper::Tried{true,
                                 "open at " + std::to_string(m_settings.baudRate) + " baud, parity " +
                                     ParityName(m_settings.parity),
                                 {}};
    });
}

std::vector<uint8_t> Transmitter::FrameBytes(const Job& job) const {
    if (job.kind == PageKind::Time) {
        return BuildTimeFrameNow(); // the time of the moment it goes out, as the wireless page sends it
    }
    return BuildTextFrame(job.sequence, job.recipient.address, job.gbk);
}

void Transmitter::SendOne(const Job& job) {
    std::vector<uint8_t> bytes;
    try {
        bytes = FrameBytes(job);
    } catch (const TextConversionError& error) {
        bytes.clear();
    }
    const bool written = !bytes.empty() && m_link.Send(bytes);
    // The write returns once the bytes are with the driver; the frame is on the wire for as long again as
    // its bits take at the line's rate (start, 8 data, parity, stop), and the gap counts from its end.
    const int bitsPerByte = m_settings.parity == Parity::None ? 10 : 11;
    const auto onTheWire = std::chrono::microseconds(static_cast<int64_t>(bytes.size()) * bitsPerByte *
                                                     1000000 / std::max(1, m_settings.baudRate));
    m_lastFrameEnd = Clock::now() + (written ? onTheWire : std::chrono::microseconds(0));
    const double now = QueueNow();
    if (written) {
        LogLine(Describe(job) + (job.again ? ": sent again" : ": sent"));
        m_unrecorded = job;
        m_unrecordedAt = now;
        // Counted once its going out is stored (the page's record and the count agree for a reader), or
        // once it is known that it cannot be yet.
        const auto count = [this] {
            std::lock_guard lock(m_mutex);
            ++m_health.framesWritten;
            m_health.writesFailing = false;
        };
        try {
            RecordWritten();
        } catch (const StoreError&) {
            count();
            throw;
        }
        count();
        return;
    }
    if (m_stopping) {
        m_store.FrameLeft(job);
        return; // the frame keeps its number for the next start
    }
    const Reason reason =
        bytes.empty()
            ? Reason{"the frame could not be built (no clock or no GBK converter)", "frame_unbuildable"}
            : Reason{FailureText(m_link.LastFailure()), PortErrorCode(m_link.LastFailure().error)};
    {
        std::lock_guard lock(m_mutex);
        ++m_health.writeFailures;
        m_health.writesFailing = true;
        m_health.lastFailure = Describe(job) + ": " + reason.text;
        m_health.lastFailureCode = reason.code;
        m_health.lastFailureTime = WallNow();
    }
    LogError(Describe(job) + ": not sent: " + reason.text +
             "; trying again after the gap until the page expires");
    const double retryAt = now + std::chrono::duration<double>(m_settings.gap).count();
    m_store.FrameFailed(job, reason, retryAt);
}

std::optional<uint8_t> Transmitter::TakeSharedSequence(std::optional<uint8_t> last) {
    std::string error;
    std::string warning;
    // After a take that failed, the next ones do not wait for a lock until SEQUENCE_RETRY has passed: a
    // counter held for minutes would otherwise cost every frame the whole wait.
    const bool waits =
        m_sequenceFailedAt == Clock::time_point{} || Clock::now() - m_sequenceFailedAt >= SEQUENCE_RETRY;
    std::optional<uint8_t> sequence =
        TakeSequence(m_settings.port, &error, &warning,
                     SequenceTake{waits ? SEQUENCE_WAIT : std::chrono::milliseconds(0), last});
    if (!sequence && waits) {
        m_sequenceFailedAt = Clock::now();
    } else if (sequence) {
        m_sequenceFailedAt = {};
    }
    const std::string problem = !sequence ? error : warning;
    std::string before;
    {
        std::lock_guard lock(m_mutex);
        before = std::exchange(m_sequenceProblem, problem);
        m_health.sequenceProblem = sequence ? std::string() : problem;
    }
    if (problem != before && !problem.empty()) {
        LogError(
            "sequence numbers: " + problem +
            (sequence ? "" : "; counting in the queue instead, which the window and velkor-cli do not see"));
    } else if (problem.empty() && !before.empty()) {
        LogLine("sequence numbers: the shared counter is used again");
    }
    return sequence;
}

std::optional<Job> Transmitter::NextNumberedJob() {
    const double now = QueueNow();
    NextFrame next = m_store.NextJob(m_settings.port, now, Numbering{false, std::nullopt});
    if (!next.needsNumber) {
        return next.job;
    }
    // Taken with neither the store's lock nor a transaction held: another program's hold of the counter
    // delays this frame, never the intake. Should the queue have changed meanwhile, the number is unused,
    // and a skipped number is harmless where a repeated one is not.
    const std::optional<uint8_t> shared = TakeSharedSequence(next.lastSequence);
    return m_store.NextJob(m_settings.port, now, Numbering{true, shared}).job;
}

void Transmitter::RemoveOld() {
    if (m_settings.keepDays <= 0 || Clock::now() < m_nextRemoval) {
        return;
    }
    const int removed = m_store.RemoveFinished(QueueNow() - m_settings.keepDays * 86400.0, REMOVE_BATCH);
    // A full batch: more to remove, at the next turn, so that sending never waits long for it.
    m_nextRemoval =
        Clock::now() + (removed == REMOVE_BATCH ? Clock::duration::zero() : Clock::duration(REMOVE_EVERY));
    if (removed > 0) {
        std::lock_guard lock(m_mutex);
        m_health.pagesRemoved += static_cast<uint64_t>(removed);
    }
}

void Transmitter::RecordWritten() {
    if (!m_unrecorded) {
        return;
    }
    m_store.FrameWritten(*m_unrecorded, m_unrecordedAt);
    m_unrecorded.reset();
}

void Transmitter::Run() {
    LogLine("sending on " + m_settings.port + " with a gap of " + std::to_string(m_settings.gap.count()) +
            " ms");
    while (!m_stopping) {
        m_lastTurn = Clock::now().time_since_epoch().count();
        try {
            Step();
            std::lock_guard lock(m_mutex);
            m_health.storeProblem.clear();
        } catch (const StoreError& error) {
            // The database refused (disk full, damaged): nothing is lost, and a frame that went out is held
            // until its going out is stored; nothing more is sent meanwhile. Said once, not every second.
            std::unique_lock lock(m_mutex);
            const bool changed = m_health.storeProblem != error.what();
            m_health.storeProblem = error.what();
            if (changed) {
                lock.unlock(); // the log's reader may be slow: health and intake are not held up meanwhile
                LogError(std::string("queue: ") + error.what() +
                         (m_unrecorded ? "; the frame sent is held until it can be stored" : "") +
                         "; trying again every second, nothing is sent meanwhile");
                lock.lock();
            }
            m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping.load(); });
        }
    }
    if (m_unrecorded) {
        LogLine(Describe(*m_unrecorded) + ": stopping before its going out could be stored; the next start "
                                          "sends it again with the same number");
    }
    m_link.Close();
    LogLine("port " + m_settings.port + " closed");
}

void Transmitter::Step() {
    RecordWritten();
    KeepPortOpen();
    const std::vector<Ended> ended = m_store.ExpireDue(QueueNow());
    for (std::size_t i = 0; i < ended.size() && i < ENDED_LOGGED_EACH; ++i) {
        LogLine("page " + std::to_string(ended[i].id) + " " + ended[i].state + ": " + ended[i].reason.text,
                ended[i].state == "failed" ? LogLevel::Error : LogLevel::Warning);
    }
    if (ended.size() > ENDED_LOGGED_EACH) {
        std::size_t failed = 0;
        for (const Ended& page : ended) {
            failed += page.state == "failed" ? 1 : 0;
        }
        LogWarning("and " + std::to_string(ended.size() - ENDED_LOGGED_EACH) +
                   " more pages left the queue unsent (" + std::to_string(ended.size() - failed) +
                   " expired, " + std::to_string(failed) + " failed in all; pages " +
                   std::to_string(ended[ENDED_LOGGED_EACH].id) + " to " + std::to_string(ended.back().id) +
                   ")");
    }
    RemoveOld();
    auto waitUntil = Clock::now() + std::chrono::seconds(1);
    if (m_link.IsOpen()) {
        const auto gapEnd = m_lastFrameEnd + m_settings.gap;
        if (Clock::now() >= gapEnd) {
            if (std::optional<Job> job = NextNumberedJob()) {
                SendOne(*job);
                return;
            }
            if (std::optional<double> due = m_store.NextDue()) {
                const auto in = std::chrono::duration<double>(std::max(0.0, *due - QueueNow()));
                waitUntil =
                    std::min(waitUntil, Clock::now() + std::chrono::duration_cast<Clock::duration>(in));
            }
        } else {
            waitUntil = std::min(waitUntil, gapEnd);
        }
    } else {
        waitUntil = std::min(waitUntil, m_keeper.NextOpen());
    }
    std::unique_lock lock(m_mutex);
    m_wake.wait_until(lock, waitUntil, [this] { return m_woken || m_stopping.load(); });
    m_woken = false;
}

} // namespace velkor::gateway
