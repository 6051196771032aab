// The queue: numbering, order, expiry, cancelling, repeating, and what a gateway killed mid-frame finds.

#include "gateway/queue/page_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace velkor::gateway {
namespace {

const std::string kPort = "/dev/ttyUSB0";

class PageStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = std::filesystem::temp_directory_path() /
                   ("velkor-store-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_folder);
        std::filesystem::create_directories(m_folder);
        m_store = std::make_unique<PageStore>(Path());
    }
    void TearDown() override {
        m_store.reset();
        std::filesystem::remove_all(m_folder);
    }
    std::string Path() const { return (m_folder / "gateway.db").string(); }
    // The database as a gateway started again finds it.
    void Reopen() {
        m_store.reset();
        m_store = std::make_unique<PageStore>(Path());
    }

    static NewPage Page(const std::string& text, std::vector<WatchAddress> to = {{0, 0, 0, 12}}) {
        NewPage page;
        for (const WatchAddress& address : to) {
            page.recipients.push_back(Recipient{address, {}});
        }
        page.text = text;
        page.gbk = text;
        page.source = "test";
        return page;
    }

    // Takes the next job and marks it written.
    std::optional<Job> SendNext(double now) {
        std::optional<Job> job = m_store->NextJob(kPort, now);
        if (job) {
            m_store->FrameWritten(*job, now);
        }
        return job;
    }

    std::filesystem::path m_folder;
    std::unique_ptr<PageStore> m_store;
};

TEST_F(PageStoreTest, NumbersGoOnPerPortAcrossRestartsAndWrapAfter255) {
    for (int i = 0; i < 3; ++i) {
        m_store->Submit(Page("p" + std::to_string(i)), 100);
    }
    EXPECT_EQ(SendNext(100)->sequence, 1);
    EXPECT_EQ(SendNext(100)->sequence, 2);
    Reopen();
    EXPECT_EQ(SendNext(100)->sequence, 3);
    EXPECT_EQ(m_store->LastSequence(kPort), 3);
    EXPECT_EQ(m_store->LastSequence("/dev/ttyUSB1"), 0) << "another port counts on its own";

    for (int i = 0; i < 254; ++i) {
        m_store->Submit(Page("wrap"), 100);
    }
    std::vector<int> last;
    while (std::optional<Job> job = SendNext(100)) {
        last.push_back(job->sequence);
    }
    ASSERT_EQ(last.size(), 254U);
    EXPECT_EQ(last[251], 255);
    EXPECT_EQ(last[252], 0) << "255 is followed by 0, as the page's counter";
    EXPECT_EQ(last[253], 1);
}

TEST_F(PageStoreTest, FrameCaughtBetweenNumberingAndWritingGoesAgainWithTheSameNumber) {
    const int64_t id = m_store->Submit(Page("kill me"), 100);
    std::optional<Job> first = m_store->NextJob(kPort, 100);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->again);
    // The gateway dies here: the frame may or may not have reached the wire.
    Reopen();
    std::optional<Job> again = m_store->NextJob(kPort, 101);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->page, id);
    EXPECT_EQ(again->number, first->number);
    EXPECT_EQ(again->sequence, first->sequence);
    EXPECT_TRUE(again->again);
    m_store->FrameWritten(*again, 101);
    EXPECT_EQ(m_store->Get(id)->state, "sent");
    ASSERT_EQ(m_store->Get(id)->frames.size(), 1U) << "one frame, one number";

    m_store->Submit(Page("next"), 102);
    EXPECT_EQ(SendNext(102)->sequence, first->sequence + 1) << "no number was spent twice or skipped";
}

TEST_F(PageStoreTest, HighPriorityGoesFirstThenOldestFirst) {
    const int64_t normal1 = m_store->Submit(Page("n1"), 100);
    const int64_t normal2 = m_store->Submit(Page("n2"), 100);
    NewPage urgent = Page("h");
    urgent.priority = Priority::High;
    const int64_t high = m_store->Submit(urgent, 101);
    EXPECT_EQ(SendNext(102)->page, high);
    EXPECT_EQ(SendNext(102)->page, normal1);
    EXPECT_EQ(SendNext(102)->page, normal2);
    EXPECT_FALSE(SendNext(102));
}

TEST_F(PageStoreTest, ExpiredPagesLeaveTheQueueSayingWhy) {
    NewPage shortLived = Page("short");
    shortLived.ttlSeconds = 10;
    const int64_t quiet = m_store->Submit(shortLived, 100);
    const int64_t troubled = m_store->Submit(shortLived, 100);
    const int64_t lasting = m_store->Submit(Page("long"), 100);

    // The second page's write fails once (a stalled device), so it has a reason when it expires.
    std::optional<Job> job = m_store->NextJob(kPort, 100);
    ASSERT_EQ(job->page, quiet);
    m_store->FrameFailed(*job, {"stalled", "stalled"}, 101);
    job = m_store->NextJob(kPort, 100.5);
    ASSERT_EQ(job->page, troubled);
    m_store->FrameFailed(*job, {"/dev/ttyUSB0: the device stopped taking bytes", "stalled"}, 101);

    EXPECT_TRUE(m_store->ExpireDue(109).empty());
    std::vector<Ended> ended = m_store->ExpireDue(110);
    ASSERT_EQ(ended.size(), 2U);
    EXPECT_EQ(m_store->Get(quiet)->state, "failed");
    EXPECT_EQ(m_store->Get(troubled)->state, "failed");
    EXPECT_EQ(m_store->Get(troubled)->reason,
              "/dev/ttyUSB0: the device stopped taking bytes; not sent by its expiry");
    EXPECT_EQ(m_store->Get(troubled)->reasonCode, "stalled") << "the failure's word stays with the page";
    EXPECT_EQ(m_store->Get(lasting)->state, "queued");

    NewPage never = Page("never tried");
    never.ttlSeconds = 5;
    const int64_t untried = m_store->Submit(never, 200);
    m_store->ExpireDue(205);
    EXPECT_EQ(m_store->Get(untried)->state, "expired");
    EXPECT_EQ(m_store->Get(untried)->reason, "not sent by its expiry");
    EXPECT_EQ(m_store->Get(untried)->reasonCode, "expired");
    EXPECT_EQ(SendNext(206)->page, lasting) << "expired pages are never sent";
}

TEST_F(PageStoreTest, OnlyAQueuedPageCanBeCancelledAndNotWhileItsFrameIsBeingWritten) {
    using Outcome = Cancelled::Outcome;
    const int64_t sent = m_store->Submit(Page("gone"), 100);
    SendNext(100);
    const int64_t waiting = m_store->Submit(Page("stop"), 100);
    Cancelled cancel = m_store->Cancel(waiting, 101);
    EXPECT_EQ(cancel.outcome, Outcome::Cancelled);
    EXPECT_EQ(cancel.page->state, "cancelled");
    cancel = m_store->Cancel(sent, 101);
    EXPECT_EQ(cancel.outcome, Outcome::NotQueued);
    EXPECT_EQ(cancel.page->state, "sent");
    EXPECT_EQ(m_store->Cancel(999, 101).outcome, Outcome::NoSuchPage);
    EXPECT_FALSE(SendNext(102));

    // Taken by the transmitter: the frame goes out whatever is asked meanwhile, and the page says sent.
    const int64_t onItsWay = m_store->Submit(Page("late"), 103);
    std::optional<Job> job = m_store->NextJob(kPort, 103);
    ASSERT_TRUE(job);
    EXPECT_EQ(m_store->Cancel(onItsWay, 103).outcome, Outcome::Sending);
    m_store->FrameWritten(*job, 103);
    EXPECT_EQ(m_store->Get(onItsWay)->state, "sent");

    // A write that failed leaves the page waiting for its retry: it can be cancelled then, and is not sent.
    const int64_t retried = m_store->Submit(Page("retry"), 104);
    job = m_store->NextJob(kPort, 104);
    m_store->FrameFailed(*job, {"stalled", "stalled"}, 105);
    EXPECT_EQ(m_store->Cancel(retried, 104).outcome, Outcome::Cancelled);
    EXPECT_FALSE(SendNext(106));
}

TEST_F(PageStoreTest, RepeatSendsEachRoundToEveryWatchAfterTheInterval) {
    NewPage page = Page("again", {{0, 0, 0, 1}, {0, 0, 0, 2}});
    page.repeatEvery = 10;
    page.repeatCount = 2;
    const int64_t id = m_store->Submit(page, 100);
    std::optional<Job> one = SendNext(100);
    std::optional<Job> two = SendNext(100.5);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->recipient.address, (WatchAddress{0, 0, 0, 1}));
    EXPECT_EQ(two->recipient.address, (WatchAddress{0, 0, 0, 2}));
    EXPECT_EQ(two->frames, 4);
    EXPECT_FALSE(SendNext(109.9)) << "the second round starts 10 s after the first did";
    EXPECT_EQ(m_store->NextDue(), 110);
    std::optional<Job> three = SendNext(110);
    ASSERT_TRUE(three);
    EXPECT_EQ(three->sequence, two->sequence + 1) << "each frame of timed sending takes the next number";
    SendNext(110);
    const PageRecord record = *m_store->Get(id);
    EXPECT_EQ(record.state, "sent");
    ASSERT_EQ(record.frames.size(), 4U);
    EXPECT_EQ(record.frames[3].round, 1);
    EXPECT_EQ(record.frames[3].recipient, 1);
}

TEST_F(PageStoreTest, FailedWriteKeepsItsNumberAndWaitsForTheRetryTime) {
    const int64_t id = m_store->Submit(Page("stall"), 100);
    std::optional<Job> job = m_store->NextJob(kPort, 100);
    m_store->FrameFailed(*job, {"stalled", "stalled"}, 101);
    EXPECT_FALSE(m_store->NextJob(kPort, 100.5));
    std::optional<Job> retry = m_store->NextJob(kPort, 101);
    ASSERT_TRUE(retry);
    EXPECT_EQ(retry->sequence, job->sequence);
    EXPECT_EQ(m_store->Get(id)->reason, "stalled");
    m_store->FrameWritten(*retry, 101);
    const PageRecord record = *m_store->Get(id);
    EXPECT_EQ(record.state, "sent");
    EXPECT_EQ(record.reason, "") << "a page that went out is not shown as failing";
    EXPECT_EQ(record.reasonCode, "");
    EXPECT_EQ(record.frames[0].tries, 1);
}

TEST_F(PageStoreTest, TimeFramesAreNumberZeroAndTakeNoNumber) {
    NewPage time;
    time.kind = PageKind::Time;
    time.recipients = {Recipient{BROADCAST_ADDRESS, "all"}};
    time.source = "test";
    m_store->Submit(time, 100);
    m_store->Submit(Page("after"), 100);
    std::optional<Job> clock = SendNext(100);
    EXPECT_EQ(clock->kind, PageKind::Time);
    EXPECT_EQ(clock->sequence, 0);
    EXPECT_EQ(SendNext(100)->sequence, 1);
}

TEST_F(PageStoreTest, ListsNewestFirstByState) {
    m_store->Submit(Page("a"), 100);
    const int64_t b = m_store->Submit(Page("b"), 100);
    SendNext(100);
    auto counts = m_store->CountByState();
    EXPECT_EQ(counts["queued"], 1);
    EXPECT_EQ(counts["sent"], 1);
    EXPECT_EQ(counts["failed"], 0);
    std::vector<PageRecord> queued = m_store->List({std::string("queued"), 10, {}, {}});
    ASSERT_EQ(queued.size(), 1U);
    EXPECT_EQ(queued[0].id, b);
    EXPECT_EQ(m_store->List({}).front().id, b);
}

TEST_F(PageStoreTest, ListsAPageAtATimeWithoutFrames) {
    std::vector<int64_t> ids;
    for (int i = 0; i < 25; ++i) {
        ids.push_back(m_store->Submit(Page("listed"), 100));
    }
    SendNext(100);
    std::vector<int64_t> seen;
    std::optional<int64_t> before;
    for (int pages = 0; pages < 10; ++pages) {
        const std::vector<PageRecord> listed = m_store->List({std::nullopt, 10, before, {}});
        for (const PageRecord& page : listed) {
            EXPECT_TRUE(page.frames.empty()) << "a listing carries no frames";
            EXPECT_EQ(page.recipients.size(), 1U);
            seen.push_back(page.id);
        }
        if (listed.size() < 10) {
            break;
        }
        before = listed.back().id;
    }
    EXPECT_EQ(seen, std::vector<int64_t>(ids.rbegin(), ids.rend())) << "every page once, newest first";
    EXPECT_EQ(m_store->Get(ids.front())->frames.size(), 1U) << "one page is read with its frames";
}

TEST_F(PageStoreTest, ADeliveryIsRecognisedOnlyWhileTheBrokerResendsWhatWasLeftUnacknowledged) {
    const Submitted first = m_store->SubmitDelivered(Page("bed 5"), 100, Delivery{7, "d1", false});
    EXPECT_FALSE(first.duplicate);
    const Submitted second = m_store->SubmitDelivered(Page("bed 6"), 100, Delivery{8, "d2", false});
    // The gateway died, or the connection went, before the broker had the PUBACKs: on the session's next
    // connection the broker sends both again first.
    Reopen();
    Submitted again = m_store->SubmitDelivered(Page("bed 5"), 101, Delivery{7, "d1", true});
    EXPECT_TRUE(again.duplicate);
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(m_store->SubmitDelivered(Page("bed 6"), 101, Delivery{8, "d2", true}).id, second.id);
    // Then something new: the resending is over, and the records with it.
    const Submitted fresh = m_store->SubmitDelivered(Page("bed 7"), 102, Delivery{9, "d3", true});
    EXPECT_FALSE(fresh.duplicate);
    // The broker's packet identifiers come round: the same call again under an old number is a new page,
    // on this connection and on the next.
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 5"), 103, Delivery{7, "d1", false}).duplicate);
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 6"), 104, Delivery{8, "d2", true}).duplicate)
        << "a record of an earlier connection that was not resent first";
    // Outside a resending nothing is compared; a new session forgets every record.
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 7"), 105, Delivery{9, "d3", false}).duplicate);
    m_store->ForgetDeliveries();
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 7"), 106, Delivery{9, "d3", true}).duplicate);
    EXPECT_EQ(m_store->CountByState()["queued"], 7);
}

TEST_F(PageStoreTest, TextThatIsNotUtf8IsStoredAsUtf8AndAnOldFileThatHoldsSomeIsListed) {
    NewPage page = Page("hi");
    page.source = "snpp 127.0.0.1:5000 (user \xff)";
    page.recipients = {Recipient{{0, 0, 0, 5},
                                 "b\xc3"
                                 "d"}};
    const int64_t id = m_store->Submit(page, 100);
    const PageRecord stored = *m_store->Get(id);
    EXPECT_EQ(stored.source, "snpp 127.0.0.1:5000 (user \xEF\xBF\xBD)");
    EXPECT_EQ(stored.recipients.at(0).name, "b\xEF\xBF\xBD"
                                            "d");

    // As release 2.4 left it: the bytes themselves in the file.
    m_store.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE pages SET source = CAST(X'FF41' AS TEXT)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    Reopen();
    EXPECT_EQ(m_store->List({}).at(0).source, "\xEF\xBF\xBD"
                                              "A");
}

// Told on the store's own thread, in order: the thread that changed the page does not wait for a listener.
TEST_F(PageStoreTest, EveryStateChangeIsToldOnceCommittedInOrderOffTheChangingThread) {
    std::mutex mutex;
    std::vector<int64_t> told;
    std::set<std::thread::id> threads;
    std::atomic<bool> held{true};
    m_store->OnStateChange([&](int64_t id) {
        while (held) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(1)); // a slow listener: a broker that takes its time
        }
        std::lock_guard lock(mutex);
        told.push_back(id);
        threads.insert(std::this_thread::get_id());
    });
    const int64_t sent = m_store->Submit(Page("a"), 100);
    const int64_t cancelled = m_store->Submit(Page("b"), 100);
    NewPage brief = Page("c");
    brief.ttlSeconds = 5;
    const int64_t expired = m_store->Submit(brief, 100);
    ASSERT_TRUE(SendNext(101));
    m_store->Cancel(cancelled, 102);
    m_store->Cancel(cancelled, 103); // no change, nothing told
    m_store->ExpireDue(200);
    const Submitted delivered = m_store->SubmitDelivered(Page("d"), 201, Delivery{1, "x", false});
    m_store->SubmitDelivered(Page("d"), 202, Delivery{1, "x", true}); // the same page: nothing told
    held = false; // every change above was made while the listener was held
    m_store->StopTelling();
    const std::vector<int64_t> expected = {sent, cancelled, expired, sent, cancelled, expired, delivered.id};
    EXPECT_EQ(told, expected);
    EXPECT_EQ(threads.size(), 1U);
    EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
    EXPECT_EQ(m_store->Get(cancelled)->state, "cancelled");
    EXPECT_EQ(m_store->Get(expired)->state, "expired");
}

// Pages handed in at once share commits; each sender gets its own page's id, after it is on disk.
TEST_F(PageStoreTest, PagesHandedInAtOnceShareACommitAndEachGetsItsOwnId) {
    constexpr int kThreads = 8;
    constexpr int kEach = 50;
    std::vector<std::vector<std::pair<int64_t, std::string>>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &taken] {
            for (int i = 0; i < kEach; ++i) {
                std::string text = "t";
                text += std::to_string(t * kEach + i);
                taken[static_cast<std::size_t>(t)].emplace_back(m_store->Submit(Page(text), 100), text);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<int64_t> ids;
    for (const auto& pages : taken) {
        for (const auto& [id, text] : pages) {
            ids.insert(id);
            EXPECT_EQ(m_store->Get(id)->text, text);
        }
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kEach));
    Reopen();
    EXPECT_EQ(m_store->CountByState()["queued"], kThreads * kEach) << "every acknowledged page on disk";
}

TEST_F(PageStoreTest, FinishedPagesPastTheirKeepingAreRemovedInBatchesWithTheirFrames) {
    for (int i = 0; i < 5; ++i) {
        m_store->Submit(Page("old"), 100);
        SendNext(100 + i);
    }
    const int64_t waiting = m_store->Submit(Page("waiting"), 100);
    const int64_t recent = m_store->Submit(Page("recent"), 100);
    m_store->Cancel(recent, 500);
    EXPECT_EQ(m_store->RemoveFinished(300, 3), 3);
    EXPECT_EQ(m_store->RemoveFinished(300, 3), 2);
    EXPECT_EQ(m_store->RemoveFinished(300, 3), 0);
    EXPECT_TRUE(m_store->Get(waiting)) << "a queued page is never removed, however old";
    EXPECT_TRUE(m_store->Get(recent)) << "finished after the limit";
    EXPECT_EQ(m_store->CountByState()["sent"], 0);
}

// A database of release 2.4 (schema without a version), kept as a test file.
TEST(PageStoreOpen, ADatabaseOfTheLastReleaseIsBroughtForwardAndANewerOneRefused) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("velkor-store-migrate-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "gateway.db").string();
    std::filesystem::copy_file(VELKOR_TEST_DATA "/queue-2.4.db", path);
    {
        PageStore store(path);
        const std::vector<PageRecord> pages = store.List({});
        ASSERT_EQ(pages.size(), 3U);
        EXPECT_EQ(pages[2].text, "3号桌请取餐");
        EXPECT_EQ(pages[2].state, "sent");
        EXPECT_EQ(pages[1].recipients.at(0).name, "nurse-5");
        EXPECT_EQ(store.LastSequence("/dev/ttyUSB0"), 16);
        std::optional<Job> job = store.NextJob("/dev/ttyUSB0", 1796000101);
        ASSERT_TRUE(job) << "the queued page of 2.4 goes on";
        EXPECT_EQ(job->page, 2);
        EXPECT_EQ(job->sequence, 17);
    }
    {
        PageStore again(path); // opening a file brought forward changes nothing
        EXPECT_EQ(again.List({}).size(), 3U);
        try {
            PageStore second(path);
            FAIL() << "a second holder of one database";
        } catch (const StoreError& error) {
            EXPECT_NE(std::string(error.what())
                          .find("in use by another velkor-gateway (PID " + std::to_string(getpid()) + ")"),
                      std::string::npos)
                << error.what();
        }
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    int version = -1;
    sqlite3_exec(
        db, "PRAGMA user_version",
        [](void* out, int, char** values, char**) {
            *static_cast<int*>(out) = std::atoi(values[0]);
            return 0;
        },
        &version, nullptr);
    EXPECT_EQ(version, PageStore::SCHEMA_VERSION);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        PageStore newer(path);
        FAIL() << "a file of a newer release was opened";
    } catch (const StoreError& error) {
        EXPECT_NE(std::string(error.what()).find("written by a newer velkor-gateway (schema 99"),
                  std::string::npos)
            << error.what();
    }
    std::filesystem::remove_all(folder);
}

TEST(PageStoreOpen, ADatabaseOfANegativeVersionIsNoVelkorDatabase) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("velkor-negative-" + std::to_string(getpid()) + ".db"))
            .string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE pages(id INTEGER); PRAGMA user_version = -3", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        PageStore store(path);
        FAIL() << "opened";
    } catch (const StoreError& error) {
        EXPECT_NE(
            std::string(error.what()).find("not a velkor-gateway database of any known version (schema -3)"),
            std::string::npos)
            << error.what();
    }
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".lock");
}

TEST(PageStoreOpen, AFolderThatIsNoDatabaseSaysWhy) {
    try {
        PageStore store("/proc/velkor-no-such/gateway.db");
        FAIL() << "opened";
    } catch (const StoreError& error) {
        EXPECT_NE(std::string(error.what()).find("/proc/velkor-no-such/gateway.db"), std::string::npos);
    }
}

class AnswerStoreTest : public PageStoreTest {};

TEST_F(AnswerStoreTest, AnAnswerStopsTheRoundsEvenWithAFrameOnItsWayAndTheTimeEndsTheWait) {
    NewPage page = Page("call", {{0, 0, 0, 1}, {0, 0, 0, 2}});
    page.answer = true;
    page.repeatEvery = 5;
    page.repeatCount = 10;
    page.untilAnswered = true;
    page.cause = "alertmanager f00d";
    const int64_t id = m_store->Submit(page, 100);
    // Its first frame is taken to be written; the answer comes while it is on the wire.
    std::optional<Job> onItsWay = m_store->NextJob(kPort, 100);
    ASSERT_TRUE(onItsWay);
    const Answered answered = m_store->AnswerPage(id, Answer{"acknowledged", "desk", "console"}, 100.1);
    EXPECT_EQ(answered.outcome, Answered::Outcome::Answered);
    m_store->FrameWritten(*onItsWay, 100.2);
    const PageRecord record = *m_store->Get(id);
    EXPECT_EQ(record.state, "acknowledged") << "the frame written after the answer does not undo it";
    EXPECT_EQ(record.answeredBy, "desk");
    EXPECT_EQ(record.answeredVia, "console");
    EXPECT_FALSE(m_store->NextJob(kPort, 200)) << "nothing of it goes out after the answer";
    EXPECT_EQ(m_store->AnswerPage(id, Answer{}, 101).outcome, Answered::Outcome::AnsweredBefore);
    EXPECT_TRUE(m_store->Resolve("alertmanager f00d", Answer{"resolved", "am", "alertmanager"}, 102).empty())
        << "an answered page is not resolved again";

    // Sent whole and never answered: unanswered at its expiry, and answerable late.
    NewPage once = Page("once");
    once.answer = true;
    once.ttlSeconds = 10;
    const int64_t waiting = m_store->Submit(once, 300);
    SendNext(300);
    EXPECT_EQ(m_store->Get(waiting)->state, "sent");
    EXPECT_EQ(m_store->Waiting(10).size(), 1U);
    EXPECT_EQ(m_store->Answers().waiting, 1);
    const std::vector<Ended> ended = m_store->ExpireDue(310);
    ASSERT_EQ(ended.size(), 1U);
    EXPECT_EQ(ended[0].state, "unanswered");
    EXPECT_TRUE(m_store->Waiting(10).empty());
    EXPECT_EQ(m_store->AnswerPage(waiting, Answer{}, 400).outcome, Answered::Outcome::Answered);

    // A page that asks for no answer is refused one, and one that ended otherwise has none to give.
    const int64_t plain = m_store->Submit(Page("plain"), 500);
    EXPECT_EQ(m_store->AnswerPage(plain, Answer{}, 500).outcome, Answered::Outcome::NotAsked);
    NewPage cancelled = Page("gone");
    cancelled.answer = true;
    const int64_t gone = m_store->Submit(cancelled, 500);
    m_store->Cancel(gone, 500);
    EXPECT_EQ(m_store->AnswerPage(gone, Answer{}, 501).outcome, Answered::Outcome::Ended);
    EXPECT_EQ(m_store->AnswerPage(12345, Answer{}, 501).outcome, Answered::Outcome::NoSuchPage);
}

TEST_F(AnswerStoreTest, ACauseResolvesItsOpenPagesOnlyAndAPageForLaterWaitsForItsTime) {
    NewPage alert = Page("pump");
    alert.repeatEvery = 5;
    alert.repeatCount = 3;
    alert.cause = "alertmanager 1";
    const int64_t repeating = m_store->Submit(alert, 100);
    alert.cause = "alertmanager 2";
    const int64_t other = m_store->Submit(alert, 100);
    EXPECT_EQ(m_store->Resolve("alertmanager 1", Answer{"resolved", "am", "alertmanager"}, 101),
              std::vector<int64_t>{repeating});
    EXPECT_EQ(m_store->Get(repeating)->state, "resolved");
    EXPECT_EQ(m_store->Get(other)->state, "queued");
    EXPECT_TRUE(m_store->Resolve("", Answer{}, 101).empty());

    NewPage later = Page("later");
    later.at = 1000;
    later.ttlSeconds = 60;
    const int64_t scheduled = m_store->Submit(later, 500);
    const PageRecord record = *m_store->Get(scheduled);
    EXPECT_EQ(record.scheduled, 1000);
    EXPECT_EQ(record.expires, 1060) << "its time to live counts from its time";
    std::optional<Job> job;
    while ((job = m_store->NextJob(kPort, 999))) {
        EXPECT_NE(job->page, scheduled) << "sent before its time";
        m_store->FrameWritten(*job, 999);
    }
    job = m_store->NextJob(kPort, 1000);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->page, scheduled);
}

} // namespace
} // namespace velkor::gateway
