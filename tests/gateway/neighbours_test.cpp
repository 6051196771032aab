// The gateway answers in bounded time whatever the programs beside it do: one that holds the shared
// sequence counter, one that damages its file, clients that give up and retry.

#include "gateway/gateway_harness.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor {
namespace {

// The folder's lock, held by this process (not the gateway's) until it goes.
class OutsideLock {
public:
    explicit OutsideLock(const std::string& folder) {
        std::filesystem::create_directories(folder);
        m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_GE(m_fd, 0);
        EXPECT_EQ(::flock(m_fd, LOCK_EX), 0);
    }
    ~OutsideLock() { Release(); }
    OutsideLock(const OutsideLock&) = delete;
    OutsideLock& operator=(const OutsideLock&) = delete;
    void Release() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd = -1;
};

// The one counter file in the folder.
std::string CounterFile(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with("sequence-")) {
            return entry.path().string();
        }
    }
    return {};
}

// Pages `text` to watch 1 and waits until it is sent.
void PageSent(Gateway& gateway, const std::string& text) {
    auto [status, page] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", text}});
    ASSERT_EQ(status, 202) << page.dump();
    EXPECT_EQ(gateway.WaitForState(page["id"], "sent")["state"], "sent") << text;
}

std::vector<int> Sequences(const std::vector<Json>& frames) {
    std::vector<int> numbers;
    for (const Json& frame : frames) {
        numbers.push_back(frame.value("sequence", -1));
    }
    return numbers;
}

TEST(Neighbours, AProgramHoldingTheSequenceCounterFreezesNeitherIntakeNorStop) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    PageSent(gateway, "before");

    OutsideLock held(folder / "sequence");
    // Every request is answered at once, as if nobody held anything.
    std::vector<int64_t> ids;
    for (int i = 0; i < 40; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto [code, page] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "page " + std::to_string(i)}});
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(code, 202) << i;
        EXPECT_LT(took, 1s) << "request " << i << " waited for the lock";
        ids.push_back(page["id"]);
    }
    // And they go out, numbered by the queue's count, with health saying so and naming the holder.
    for (const int64_t id : ids) {
        EXPECT_EQ(gateway.WaitForState(id, "sent")["state"], "sent") << id;
    }
    const Json health = gateway.Get("/v1/health");
    EXPECT_NE(health.value("sequence_problem", "").find("PID " + std::to_string(getpid())), std::string::npos)
        << health.dump();
    EXPECT_EQ(health["warnings"].size(), 1U) << health.dump();
    EXPECT_NE(gateway.Log().find("counting in the queue instead"), std::string::npos);

    const std::vector<int> numbers = Sequences(TextFrames(sim, 41));
    ASSERT_EQ(numbers.size(), 41U);
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], (numbers[i - 1] + 1) % 256) << "frame " << i;
    }

    // A stop is not held up either.
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(gateway.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);

    // Once the lock is let go, the shared counter goes on after the queue's numbers, not behind them.
    held.Release();
    Gateway again(folder, sim.Link(), {"--gap", "0"});
    PageSent(again, "after");
    const std::vector<int> after = Sequences(TextFrames(sim, 1));
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0], (numbers.back() + 1) % 256);
    EXPECT_EQ(ReadFile(CounterFile(folder / "sequence")), std::to_string(after[0]) + "\n");
    EXPECT_TRUE(again.Get("/v1/health")["warnings"].empty());
}

TEST(Neighbours, ACounterFileDamagedReplacedOrRemovedNeverRepeatsTheLastNumber) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    const auto send = [&gateway](const std::string& text) { PageSent(gateway, text); };
    send("first");
    send("second");
    const std::string file = CounterFile(folder / "sequence");
    ASSERT_FALSE(file.empty());

    std::ofstream(file) << "garbage\n"; // damaged
    send("after damage");
    std::filesystem::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); // replaced by a FIFO
    send("after a fifo");
    std::filesystem::remove(file); // removed
    send("after removal");

    const std::vector<int> numbers = Sequences(TextFrames(sim, 5));
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_NE(gateway.Log().find("holds no sequence number (0 to 255); the count goes on after 2"),
              std::string::npos)
        << gateway.Log();
    EXPECT_NE(gateway.Log().find("is not a plain file; not followed; the count goes on after 3"),
              std::string::npos);
}

TEST(Neighbours, ACounterFolderThatIsALinkToNowhereIsNamedSo) {
    Folder folder;
    SimProcess sim;
    std::filesystem::create_symlink(folder / "gone", folder / "sequence");
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    auto [status, page] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "hello"}});
    ASSERT_EQ(status, 202);
    EXPECT_EQ(gateway.WaitForState(page["id"], "sent")["state"], "sent");
    EXPECT_NE(gateway.Log().find("is a link to " + folder / "gone" + ", which does not exist"),
              std::string::npos)
        << gateway.Log();
}

// Another process holds the database's write lock (an administrator's sqlite3 in a transaction): every
// request is answered within a bound, with 503 and Retry-After, and nothing it was refused for is stored
// or sent later. A retry with the same Idempotency-Key pages once and is answered as the first time.
TEST(Neighbours, AStalledQueueAnswersInBoundedTimeAndARetryWithItsKeyPagesOnce) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    PageSent(gateway, "before");

    sqlite3* outside = nullptr;
    ASSERT_EQ(sqlite3_open((folder / "gateway.db").c_str(), &outside), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(outside, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::vector<std::thread> clients;
    std::atomic<int> refused{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&gateway, &refused, i] {
            httplib::Client client("127.0.0.1", gateway.HttpPort());
            client.set_read_timeout(10);
            const auto start = std::chrono::steady_clock::now();
            auto result =
                client.Post("/v1/pages", Json{{"to", "1"}, {"text", "stalled " + std::to_string(i)}}.dump(),
                            "application/json");
            const auto took = std::chrono::steady_clock::now() - start;
            ASSERT_TRUE(result);
            EXPECT_EQ(result->status, 503) << result->body;
            EXPECT_EQ(result->get_header_value("Retry-After"), "1");
            EXPECT_LT(took, 4s) << result->body;
            refused += result->status == 503 ? 1 : 0;
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(refused, 6);
    sqlite3_exec(outside, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(outside);

    // The retry a client makes then, with a key, and the same again after a lost answer.
    const std::string body = Json{{"to", "1"}, {"text", "retried"}}.dump();
    httplib::Headers keyed = {{"Idempotency-Key", "job-4711"}};
    auto once = gateway.Client().Post("/v1/pages", keyed, body, "application/json");
    auto twice = gateway.Client().Post("/v1/pages", keyed, body, "application/json");
    ASSERT_TRUE(once && twice);
    EXPECT_EQ(once->status, 202) << once->body;
    EXPECT_EQ(twice->status, 202);
    EXPECT_EQ(Json::parse(once->body)["id"], Json::parse(twice->body)["id"]);
    EXPECT_EQ(twice->get_header_value("Idempotent-Replayed"), "true");
    EXPECT_EQ(once->get_header_value("Idempotent-Replayed"), "");
    // The key used for something else is refused; a bad key too.
    auto other = gateway.Client().Post("/v1/pages", keyed, Json{{"to", "2"}, {"text", "other"}}.dump(),
                                       "application/json");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 422);
    EXPECT_NE(other->body.find("job-4711 was used within a day for another request"), std::string::npos)
        << other->body;
    auto bad = gateway.Client().Post("/v1/pages", {{"Idempotency-Key", "a key with spaces"}}, body,
                                     "application/json");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 422);

    gateway.WaitForState(Json::parse(once->body)["id"], "sent");
    const std::vector<Json> frames = TextFrames(sim, 3, 1500ms);
    ASSERT_EQ(frames.size(), 2U); // "before" and "retried": nothing refused went out, the retry once
    const Json pages = gateway.Get("/v1/pages");
    EXPECT_EQ(pages["pages"].size(), 2U) << pages.dump();
}

// A quick text or a hook that names a recipient the watch list lacks is said at start (and after SIGHUP,
// with the list read again), not only when someone presses it.
TEST(Neighbours, QuickTextsAndHooksToUnknownRecipientsAreSaidAtStart) {
    Folder folder;
    folder.Write("watches.csv", "name,address,groups\ncook-1,0.0.0.1,kitchen\n");
    folder.Write("texts.csv", "label,text,to\n取餐,3号桌请取餐,kitchen\n前台,请到前台,desk\n");
    folder.Write("hooks.conf", "[uptime]\nto = it-desk, {/owner}\ntext = {/msg}\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--watches", folder / "watches.csv", "--texts", folder / "texts.csv", "--hooks",
                     folder / "hooks.conf"});
    const std::string log = gateway.Log();
    EXPECT_NE(log.find("quick text \"前台\": no watch or group is named \"desk\""), std::string::npos) << log;
    EXPECT_NE(log.find("hook uptime: no watch or group is named \"it-desk\""), std::string::npos) << log;
    EXPECT_EQ(log.find("\"kitchen\""), std::string::npos) << "a group the list has";
    EXPECT_EQ(log.find("owner"), std::string::npos) << "a recipient from a field is known only with a body";

    folder.Write("watches.csv",
                 "name,address,groups\ncook-1,0.0.0.1,kitchen\ndesk,0.0.0.2,\nit-desk,0.0.0.3,\n");
    const std::size_t before = gateway.Log().size();
    gateway.Signal(SIGHUP);
    Eventually([&] { return gateway.Log().find("watch list read again", before) != std::string::npos; }, 5s);
    EXPECT_EQ(gateway.Log().find("no watch or group is named", before), std::string::npos) << gateway.Log();
}

// A gateway started after a long stop finds its queue expired: the first pages a line each, the rest in one
// line, not a line a page.
TEST(Neighbours, PagesExpiredInBulkAreLoggedInOneLine) {
    Folder folder;
    const std::string noPort = folder / "no-transmitter";
    {
        Gateway gateway(folder, noPort);
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(
                gateway.Post("/v1/pages", {{"to", "1"}, {"text", "old " + std::to_string(i)}, {"ttl", 1}})
                    .first,
                202);
        }
    }
    std::this_thread::sleep_for(1500ms);
    Gateway gateway(folder, noPort);
    Eventually([&] { return gateway.Log().find("more pages left") != std::string::npos; }, 5s);
    const std::string log = gateway.Log();
    EXPECT_NE(
        log.find("and 15 more pages left the queue unsent (20 expired, 0 failed in all; pages 6 to 20)"),
        std::string::npos)
        << log;
    std::size_t lines = 0;
    for (std::size_t at = log.find(" expired: "); at != std::string::npos;
         at = log.find(" expired: ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 5U) << log;
}

// A queue the port cannot send before its first page expires is a warning in health, while pages still go.
TEST(Neighbours, ABacklogThatCannotDrainInTimeIsAWarning) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "3000"});
    ASSERT_EQ(gateway.Post("/v1/pages", {{"to", "1"}, {"text", "first"}, {"ttl", 20}}).first, 202);
    Json health = gateway.Get("/v1/health");
    EXPECT_TRUE(health["warnings"].empty()) << health.dump();
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(gateway.Post("/v1/pages", {{"to", "1"}, {"text", "more " + std::to_string(i)}, {"ttl", 20}})
                      .first,
                  202);
    }
    health = gateway.Get("/v1/health");
    EXPECT_EQ(health["status"], "ok") << health.dump();
    ASSERT_EQ(health["warnings"].size(), 1U) << health.dump();
    EXPECT_NE(health["warnings"][0].get<std::string>().find("pages will expire unsent"), std::string::npos);
    EXPECT_GE(health.value("drain_seconds", 0.0), 27.0) << health.dump();
}

} // namespace
} // namespace velkor
