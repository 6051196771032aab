#pragma once
// The gateway's queue: every page, its frames and the sequence numbers of each port, in one SQLite
// database (WAL, synchronous=FULL). What a method changes is committed when it returns, so a sender is
// told "accepted" only for a page on disk.
//
// A frame is recorded with its sequence number before it is written, and marked sent after: a gateway
// killed between the two writes that frame again with the same number, which the watch takes for the same
// frame, and never gives a page's frame a second number.
//
// The file carries its schema's version (PRAGMA user_version): an older file is brought forward when it is
// opened, a newer one is refused. One gateway at a time holds a database (a lock file beside it).
// Everything stored as text is UTF-8: what is not becomes U+FFFD on the way in, and on the way out of a
// file written before that rule.
//
// Threads: any thread. One lock serializes the changes; reading a page or a list goes through a second
// connection of its own (WAL readers do not wait for the writer), so a long listing never holds up intake
// or sending. Times are the queue's clock (QueueNow): seconds since the epoch.

#include "gateway/queue/change_notifier.h"
#include "gateway/queue/page_types.h"
#include "gateway/queue/schema.h"
#include "gateway/queue/store_error.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace velkor::gateway {

class StatementCache;

// What the queue holds to send.
struct Backlog {
    int64_t frames = 0;     // frames still to write
    double firstExpiry = 0; // when the first queued page expires; 0 with none queued
};

// How NextJob numbers a new text frame.
struct Numbering {
    // Without a shared number: from the queue's own count for the port (1 the first time, 255 followed
    // by 0); when false, NextJob asks for a number instead (NextFrame::needsNumber).
    bool queueCount = true;
    std::optional<uint8_t> shared; // taken from the device's counter, which the window and velkor-cli share
};

struct NextFrame {
    std::optional<Job> job;
    // The next frame is a new text frame and no way to number it was given: nothing changed. Take a
    // number (the queue's last on the port is `lastSequence`, nullopt before the first) and ask again.
    bool needsNumber = false;
    std::optional<uint8_t> lastSequence;
};

// A page that left the queue without being sent.
struct Ended {
    int64_t id = 0;
    std::string state;
    Reason reason;
};

// A message from the broker, for recognising it when the broker delivers it again.
struct Delivery {
    int messageId = 0;  // the broker's packet identifier
    std::string digest; // of its topic and payload
    // The broker may still be resending what an earlier connection of this session left unacknowledged
    // (it does so first on a new connection): only then can a message be one stored before.
    bool resending = false;
};

struct Submitted {
    int64_t id = 0;
    bool duplicate = false; // the delivery was stored before: `id` is that page
};

// A webhook's notification handed in.
struct Notified {
    std::vector<int64_t> pages; // its pages' ids
    bool duplicate = false;     // it was handed in before: `pages` are those it made then
    bool conflict = false;      // handed in before with another request: nothing stored, `pages` of then
};

// What a cancel did.
struct Cancelled {
    enum class Outcome { NoSuchPage, Cancelled, NotQueued, Sending };
    Outcome outcome = Outcome::NoSuchPage;
    std::optional<PageRecord> page; // as it is afterwards
};

// Who answered a page, and how: "acknowledged" by a person, or "resolved" when its cause cleared.
struct Answer {
    std::string state = "acknowledged";
    std::string by;  // the key's name, a panel's port, "alertmanager"
    std::string via; // "http", "mqtt", "console", "espa", "alertmanager", "hook NAME"
};

struct Answered {
    // Answered; it asks for no answer; it was answered before (the page says how); it ended otherwise
    // (cancelled, expired, failed: nothing to answer).
    enum class Outcome { NoSuchPage, Answered, NotAsked, AnsweredBefore, Ended };
    Outcome outcome = Outcome::NoSuchPage;
    std::optional<PageRecord> page; // as it is afterwards
};

// The pages waiting for an answer, oldest first, and what answering has taken.
struct AnswerFigures {
    int64_t waiting = 0;        // asked for an answer, not answered, not ended
    std::vector<double> delays; // seconds from a page's first frame to its answer, the latest 1000
};

// A page whose next escalation step is due: what that step's page is made from.
struct EscalationDue {
    int64_t id = 0;
    int64_t chain = 0; // the page that started the escalation
    std::string policy;
    int step = 1; // the step the page is
    std::string text;
    Priority priority = Priority::Normal;
    int ttlSeconds = DEFAULT_TTL_SECONDS;
    std::string key;
    std::string cause;
};

// One page of a listing.
struct PageQuery {
    std::optional<std::string> state;
    int limit = 100;
    std::optional<int64_t> before; // only pages with a smaller id (the next page of a listing)
    std::string search;            // in the text, a recipient's name or address ("" for every page)
};

class PageStore {
public:
    // The schema this build writes; files of 0 (release 2.4) and up are brought forward to it.
    static constexpr int SCHEMA_VERSION = velkor::gateway::SCHEMA_VERSION; // schema.cpp has each version's
    // The longest a page handed in waits to be taken into a commit: past it, it is withdrawn unstored and
    // StoreBusy thrown, so that every sender is answered in bounded time and none is told "not stored"
    // for a page that is.
    static constexpr std::chrono::milliseconds SUBMIT_WAIT{2000};

    // Opens (creating it, 0600) the database at `path`, and holds it: a database another gateway holds is
    // refused, naming that process. Throws StoreError.
    explicit PageStore(const std::string& path);
    ~PageStore();
    PageStore(const PageStore&) = delete;
    PageStore& operator=(const PageStore&) = delete;

    // Queues `page`; its id once committed. Pages handed in by several threads at once share one commit
    // (each is answered only after it). Throws StoreError (disk full, database damaged).
    // Waits at most `wait` to be taken into a commit (StoreBusy, nothing stored, past it).
    int64_t Submit(const NewPage& page, double now, std::chrono::milliseconds wait = SUBMIT_WAIT);

    // Queues the page a broker delivered, in one transaction with the record of its delivery. While
    // `delivery.resending`, a message matching a record (its acknowledgement was lost with the connection
    // or the process) is that page again, not queued twice; the first message that matches none ends the
    // resending, and the records before it are removed. A record replaces the one of the same packet
    // identifier. Throws StoreError.
    Submitted SubmitDelivered(const NewPage& page, double now, const Delivery& delivery);
    // Stores the pages of one webhook notification (or of a request with an idempotency key), all or
    // none, unless one with `digest` was stored within NOTIFICATIONS_KEPT_SECONDS: then those pages are
    // told, as a duplicate when `request` (what the sender sent, in short) is the same, as a conflict when
    // not. Throws StoreError.
    Notified SubmitNotification(const std::vector<NewPage>& pages, const std::string& digest, double now,
                                const std::string& request = "");
    static constexpr double NOTIFICATIONS_KEPT_SECONDS = 86400;
    // The broker kept no session: nothing it delivered before will come again.
    void ForgetDeliveries();

    // Called with a page's id after each change of its state is committed (queued, sent, expired,
    // failed, cancelled), in order, on the store's own thread for listeners (read the page for its state
    // then). Set before use.
    void OnStateChange(ChangeNotifier::Listener listener) {
        m_notifier.Add(ChangeNotifier::Change::State, std::move(listener));
    }
    // The same for a page whose first frame is taken to be written.
    void OnSending(ChangeNotifier::Listener listener) {
        m_notifier.Add(ChangeNotifier::Change::Sending, std::move(listener));
    }
    // Tells the listeners what is left, and nothing after: before the listeners go.
    void StopTelling() { m_notifier.Stop(); }

    // A page with its frames.
    std::optional<PageRecord> Get(int64_t id);
    // Pages as a listing shows them (without frames), in the order of `ids`; an id of no page is left out.
    std::vector<PageRecord> Pages(const std::vector<int64_t>& ids);
    // The newest pages first, without their frames.
    std::vector<PageRecord> List(const PageQuery& query);

    // Cancels a queued page, unless its frame is being written now (Sending: that frame goes out).
    Cancelled Cancel(int64_t id, double now);

    // Answers a page that asks for one, whether it still repeats (queued: nothing more of it goes out once
    // this is stored; a frame being written now was on its way before) or is sent or unanswered. Throws
    // StoreError, StoreBusy past SUBMIT_WAIT.
    Answered AnswerPage(int64_t id, const Answer& answer, double now);
    // Resolves every page of `cause` that is still queued or waits for its answer; their ids.
    std::vector<int64_t> Resolve(const std::string& cause, const Answer& answer, double now);
    // The pages that wait for an answer, oldest first (at most `limit`).
    std::vector<PageRecord> Waiting(int limit);
    // The pages whose next escalation step is due at `now`, answered by nobody of their escalation.
    std::vector<EscalationDue> DueEscalations(double now);
    // Queues `next`, the next step after page `from`, and ends `from`'s wait for it, in one transaction;
    // without `next` (its policy is gone), only the wait ends. Throws StoreError.
    std::optional<int64_t> Escalate(int64_t from, const std::optional<NewPage>& next, double now);
    AnswerFigures Answers();

    // Removes finished pages (sent, failed, expired, cancelled) that finished before `before`, with their
    // frames, at most `batch` of them; how many it removed.
    int RemoveFinished(double before, int batch);

    // Takes out of the queue every page whose expiry has come: "failed" with the reason when a write of
    // it failed, "expired" otherwise.
    std::vector<Ended> ExpireDue(double now);

    // The frame to write now on `port`, numbered and committed before it is returned: the one a page was
    // left at (numbered before: again), else the next frame of the first page due (high priority first,
    // then the earliest due, then the oldest). A new text frame is numbered as `numbering` says; a time
    // frame always has 0. Nothing here waits for another process: a number from the device's shared
    // counter is taken before, by the caller, outside the store's lock.
    NextFrame NextJob(const std::string& port, double now, const Numbering& numbering);
    // The same, a new text frame numbered from the queue's own count.
    std::optional<Job> NextJob(const std::string& port, double now) {
        return NextJob(port, now, Numbering{}).job;
    }
    // When the earliest queued page falls due; nullopt with nothing queued.
    std::optional<double> NextDue();

    // `job` went out whole: the page goes on to its next frame, the next round, or is sent.
    void FrameWritten(const Job& job, double now);
    // `job` did not go out: the page keeps the frame and its number and is due again at `retryAt`.
    void FrameFailed(const Job& job, const Reason& reason, double retryAt);
    // `job` will not be written by this run (the gateway is stopping): it keeps its number for the next.
    void FrameLeft(const Job& job);

    // Pages by state, every state named.
    std::map<std::string, int64_t> CountByState();
    // The frames still to send of the queued pages, and the first of their expiries.
    Backlog QueuedBacklog();

    // Why the last page or frame could not be stored ("" once one could again): the disk is full, the
    // database damaged.
    std::string Problem();

    // The last sequence number stored for `port`, for tests; 0 before the first.
    int LastSequence(const std::string& port);

private:
    struct Ticket;
    void CommitBatch(const std::vector<Ticket*>& batch, std::chrono::steady_clock::time_point deadline);
    // Runs `store` (which stores a page or a frame), noting its failure or success for Problem().
    template <typename Store> auto Noted(Store store) -> decltype(store()) {
        try {
            if constexpr (std::is_void_v<decltype(store())>) {
                store();
                std::lock_guard lock(m_problemMutex);
                m_problem.clear();
            } else {
                auto result = store();
                std::lock_guard lock(m_problemMutex);
                m_problem.clear();
                return result;
            }
        } catch (const StoreError& error) {
            std::lock_guard lock(m_problemMutex);
            m_problem = error.what();
            throw;
        }
    }
    int64_t InsertPage(const NewPage& page, double now);
    std::vector<Ended> ExpireLocked(double now);
    NextFrame NextJobLocked(const std::string& port, double now, const Numbering& numbering);
    bool FrameWrittenLocked(const Job& job, double now); // true when the page is sent
    void Notify(int64_t id) { m_notifier.Tell(ChangeNotifier::Change::State, id); }

    // The writer's lock, had within SUBMIT_WAIT by every intake (StoreBusy otherwise).
    std::unique_lock<std::mutex> LockForIntake(std::chrono::steady_clock::time_point deadline);
    // Runs `write` in one transaction on the writer, taken within SUBMIT_WAIT (StoreBusy past it), and
    // commits when it returns true; its failure or success noted for Problem().
    void WriteWithinSubmitWait(const std::function<bool()>& write);
    // Page `id` answered, as `answer` says (within a write).
    void StoreAnswer(int64_t id, const Answer& answer, double now);

    std::mutex m_mutex; // guards m_db, its statements and m_sending
    sqlite3* m_db = nullptr;
    std::unique_ptr<StatementCache> m_statements;
    int64_t m_sending = 0;  // the page whose frame is being written, 0 for none
    std::mutex m_readMutex; // guards m_reader and its statements
    sqlite3* m_reader = nullptr;
    std::unique_ptr<StatementCache> m_readStatements;
    int m_lock = -1;         // the lock file, held while open
    std::mutex m_groupMutex; // guards the pages handed in and whether a commit is under way
    std::condition_variable m_committed;
    std::vector<Ticket*> m_handedIn;
    bool m_committing = false;
    std::mutex m_problemMutex; // guards m_problem
    std::string m_problem;
    std::atomic<int64_t> m_sendingNow{0}; // m_sending, for readers
    ChangeNotifier m_notifier;            // last: its thread ends before the rest goes
};

} // namespace velkor::gateway
