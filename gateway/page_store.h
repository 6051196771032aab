#pragma once
// The gateway's queue: every page, its frames and the sequence numbers of each port, in one SQLite
// database (WAL, synchronous=FULL). What a method changes is committed when it returns, so a sender is
// told "accepted" only for a page on disk.
//
// A frame is recorded with its sequence number before it is written, and marked sent after: a gateway
// killed between the two writes that frame again with the same number, which the watch takes for the same
// frame, and never gives a page's frame a second number.
//
// Threads: any thread; one lock serializes the calls. Times are seconds since the epoch.

#include "watch_names.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace velkor::gateway {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Priority { Normal, High };
const char* PriorityName(Priority priority); // "normal", "high"

inline constexpr int DEFAULT_TTL_SECONDS = 600;
// The text page's timed-sending intervals.
inline constexpr int REPEAT_INTERVALS[] = {5, 10, 20, 30, 60};

enum class PageKind { Text, Time };

struct NewPage {
    PageKind kind = PageKind::Text;
    std::vector<Recipient> recipients; // at least one
    std::string text;                  // UTF-8, for the record
    std::string gbk;                   // the bytes of a text page
    Priority priority = Priority::Normal;
    int ttlSeconds = DEFAULT_TTL_SECONDS;
    int repeatEvery = 0; // seconds between rounds; 0 for a page sent once
    int repeatCount = 1; // rounds in all
    std::string source;  // "http 127.0.0.1:41234", "snpp [::1]:5000 (user nurse)"
};

struct FrameRecord {
    int number = 0; // the page's frames in sending order: round * recipients + recipient
    int recipient = 0;
    int round = 0;
    int sequence = 0;
    std::string state;  // "pending" (numbered, not known to be written), "sent"
    double time = 0;    // when it was written
    int tries = 0;      // failed writes
    std::string reason; // of the last failed write
};

struct PageRecord {
    int64_t id = 0;
    PageKind kind = PageKind::Text;
    std::vector<Recipient> recipients;
    std::string text;
    Priority priority = Priority::Normal;
    double created = 0;
    double expires = 0;
    int repeatEvery = 0;
    int repeatCount = 1;
    std::string state;  // "queued", "sent", "expired", "cancelled", "failed"
    std::string reason; // why it failed, or the last failed write of a page still queued
    std::string source;
    double finished = 0; // when it left the queue
    std::vector<FrameRecord> frames;
};

// The next frame to write.
struct Job {
    int64_t page = 0;
    int number = 0;
    int frames = 0; // frames of the page in all
    PageKind kind = PageKind::Text;
    Recipient recipient;
    std::string gbk;
    uint8_t sequence = 0;
    bool again = false; // numbered before: written again with the same number
};

// A page that left the queue without being sent.
struct Ended {
    int64_t id = 0;
    std::string state;
    std::string reason;
};

// A message from the broker, for recognising it when the broker delivers it again.
struct Delivery {
    int messageId = 0;  // the broker's packet identifier
    std::string digest; // of its topic and payload
    // Earlier deliveries whose acknowledgement has gone out: no longer expected again.
    std::vector<int> acknowledged;
};

struct Submitted {
    int64_t id = 0;
    bool duplicate = false; // the delivery was stored before: `id` is that page
};

class PageStore {
public:
    // Opens (creating it and its folder's database files) the database at `path`. Throws StoreError.
    explicit PageStore(const std::string& path);
    ~PageStore();
    PageStore(const PageStore&) = delete;
    PageStore& operator=(const PageStore&) = delete;

    // Queues `page`; its id once committed. Throws StoreError (disk full, database damaged).
    int64_t Submit(const NewPage& page, double now);

    // Queues the page a broker delivered, in one transaction with the record of its delivery: a delivery
    // the broker makes again (its acknowledgement was lost with the connection or the process) matches the
    // record and is not queued twice. Throws StoreError.
    Submitted SubmitDelivered(const NewPage& page, double now, const Delivery& delivery);
    // The broker kept no session: nothing it delivered before will come again.
    void ForgetDeliveries();

    // Called with a page's id after each change of its state is committed (queued, sent, expired,
    // failed, cancelled), on the thread that made it and without the store's lock. Set before use.
    void OnStateChange(std::function<void(int64_t)> listener) { m_listener = std::move(listener); }

    std::optional<PageRecord> Get(int64_t id);
    // The newest pages first, in `state` when given.
    std::vector<PageRecord> List(const std::optional<std::string>& state, int limit);

    // Cancels a queued page. The page as it is afterwards (its state says whether it was cancelled);
    // nullopt when there is no such page.
    std::optional<PageRecord> Cancel(int64_t id, double now);

    // Takes out of the queue every page whose expiry has come: "failed" with the reason when a write of
    // it failed, "expired" otherwise.
    std::vector<Ended> ExpireDue(double now);

    // The frame to write now on `port`, numbered and committed before it is returned: the one a page was
    // left at (numbered before: again), else the next frame of the first page due (high priority first,
    // then the earliest due, then the oldest). Sequence numbers go on per port from the last one stored
    // (1 the first time, 255 followed by 0); a time frame always has 0.
    std::optional<Job> NextJob(const std::string& port, double now);
    // When the earliest queued page falls due; nullopt with nothing queued.
    std::optional<double> NextDue();

    // `job` went out whole: the page goes on to its next frame, the next round, or is sent.
    void FrameWritten(const Job& job, double now);
    // `job` did not go out: the page keeps the frame and its number and is due again at `retryAt`.
    void FrameFailed(const Job& job, const std::string& reason, double retryAt);

    // Pages by state, every state named.
    std::map<std::string, int64_t> CountByState();

    // The last sequence number stored for `port`, for tests; 0 before the first.
    int LastSequence(const std::string& port);

private:
    class Transaction;
    void Execute(const char* sql);
    int64_t InsertPage(const NewPage& page, double now);
    std::vector<Ended> ExpireLocked(double now);
    bool FrameWrittenLocked(const Job& job, double now); // true when the page is sent
    void Notify(int64_t id) const {
        if (m_listener) {
            m_listener(id);
        }
    }
    std::vector<PageRecord> Pages(const std::string& where, const std::vector<std::string>& values,
                                  int limit);

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::function<void(int64_t)> m_listener;
};

} // namespace velkor::gateway
