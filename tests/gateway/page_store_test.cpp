// The queue: numbering, order, expiry, cancelling, repeating, and what a gateway killed mid-frame finds.

#include "gateway/page_store.h"

#include <gtest/gtest.h>

#include <filesystem>
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
    m_store->FrameFailed(*job, "stalled", 101);
    job = m_store->NextJob(kPort, 100.5);
    ASSERT_EQ(job->page, troubled);
    m_store->FrameFailed(*job, "/dev/ttyUSB0: the device stopped taking bytes", 101);

    EXPECT_TRUE(m_store->ExpireDue(109).empty());
    std::vector<Ended> ended = m_store->ExpireDue(110);
    ASSERT_EQ(ended.size(), 2U);
    EXPECT_EQ(m_store->Get(quiet)->state, "failed");
    EXPECT_EQ(m_store->Get(troubled)->state, "failed");
    EXPECT_EQ(m_store->Get(troubled)->reason,
              "/dev/ttyUSB0: the device stopped taking bytes; not sent by its expiry");
    EXPECT_EQ(m_store->Get(lasting)->state, "queued");

    NewPage never = Page("never tried");
    never.ttlSeconds = 5;
    const int64_t untried = m_store->Submit(never, 200);
    m_store->ExpireDue(205);
    EXPECT_EQ(m_store->Get(untried)->state, "expired");
    EXPECT_EQ(m_store->Get(untried)->reason, "not sent by its expiry");
    EXPECT_EQ(SendNext(206)->page, lasting) << "expired pages are never sent";
}

TEST_F(PageStoreTest, OnlyAQueuedPageCanBeCancelled) {
    const int64_t sent = m_store->Submit(Page("gone"), 100);
    SendNext(100);
    const int64_t waiting = m_store->Submit(Page("stop"), 100);
    EXPECT_EQ(m_store->Cancel(waiting, 101)->state, "cancelled");
    EXPECT_EQ(m_store->Cancel(sent, 101)->state, "sent");
    EXPECT_FALSE(m_store->Cancel(999, 101));
    EXPECT_FALSE(SendNext(102));
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
    m_store->FrameFailed(*job, "stalled", 101);
    EXPECT_FALSE(m_store->NextJob(kPort, 100.5));
    std::optional<Job> retry = m_store->NextJob(kPort, 101);
    ASSERT_TRUE(retry);
    EXPECT_EQ(retry->sequence, job->sequence);
    EXPECT_EQ(m_store->Get(id)->reason, "stalled");
    m_store->FrameWritten(*retry, 101);
    const PageRecord record = *m_store->Get(id);
    EXPECT_EQ(record.state, "sent");
    EXPECT_EQ(record.reason, "") << "a page that went out is not shown as failing";
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
    std::vector<PageRecord> queued = m_store->List(std::string("queued"), 10);
    ASSERT_EQ(queued.size(), 1U);
    EXPECT_EQ(queued[0].id, b);
    EXPECT_EQ(m_store->List(std::nullopt, 10).front().id, b);
}

TEST_F(PageStoreTest, ADeliveryMadeAgainIsRecognisedUntilItsAcknowledgementIsWritten) {
    const Submitted first = m_store->SubmitDelivered(Page("bed 5"), 100, Delivery{7, "d1", {}});
    EXPECT_FALSE(first.duplicate);
    // Delivered again (the gateway died, or the connection went, before the broker had the PUBACK).
    Reopen();
    EXPECT_EQ(m_store->SubmitDelivered(Page("bed 5"), 101, Delivery{7, "d1", {}}).id, first.id);
    EXPECT_TRUE(m_store->SubmitDelivered(Page("bed 5"), 101, Delivery{7, "d1", {}}).duplicate);
    // Another message under the same number is new, and so is the same message once acknowledged.
    const Submitted other = m_store->SubmitDelivered(Page("bed 6"), 102, Delivery{7, "d2", {}});
    EXPECT_FALSE(other.duplicate);
    EXPECT_NE(other.id, first.id);
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 6"), 103, Delivery{7, "d2", {7}}).duplicate);
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 7"), 104, Delivery{8, "d3", {}}).duplicate);
    m_store->ForgetDeliveries();
    EXPECT_FALSE(m_store->SubmitDelivered(Page("bed 7"), 105, Delivery{8, "d3", {}}).duplicate);
    EXPECT_EQ(m_store->CountByState()["queued"], 5);
}

TEST_F(PageStoreTest, EveryStateChangeIsToldOnceCommitted) {
    std::vector<std::pair<int64_t, std::string>> told;
    m_store->OnStateChange([this, &told](int64_t id) { told.emplace_back(id, m_store->Get(id)->state); });
    const int64_t sent = m_store->Submit(Page("a"), 100);
    const int64_t cancelled = m_store->Submit(Page("b"), 100);
    NewPage brief = Page("c");
    brief.ttlSeconds = 5;
    const int64_t expired = m_store->Submit(brief, 100);
    ASSERT_TRUE(SendNext(101));
    m_store->Cancel(cancelled, 102);
    m_store->Cancel(cancelled, 103); // no change, nothing told
    m_store->ExpireDue(200);
    const Submitted delivered = m_store->SubmitDelivered(Page("d"), 201, Delivery{1, "x", {}});
    m_store->SubmitDelivered(Page("d"), 202, Delivery{1, "x", {}}); // the same page: nothing told
    const std::vector<std::pair<int64_t, std::string>> expected = {
        {sent, "queued"},         {cancelled, "queued"}, {expired, "queued"},     {sent, "sent"},
        {cancelled, "cancelled"}, {expired, "expired"},  {delivered.id, "queued"}};
    EXPECT_EQ(told, expected);
}

TEST(PageStoreOpen, AFolderThatIsNoDatabaseSaysWhy) {
    try {
        PageStore store("/proc/velkor-no-such/gateway.db");
        FAIL() << "opened";
    } catch (const StoreError& error) {
        EXPECT_NE(std::string(error.what()).find("/proc/velkor-no-such/gateway.db"), std::string::npos);
    }
}

} // namespace
} // namespace velkor::gateway
