// Pages someone must answer, end to end against velkor-sim: repeated until acknowledged, unanswered when
// their time ends, queued for later or by the schedule, and every answer kept across a SIGKILL.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>

namespace velkor {
namespace {

// An ISO 8601 time `ahead` from now, as a site in China writes it (+08:00).
std::string InChina(std::chrono::seconds ahead) {
    const std::time_t when = std::time(nullptr) + ahead.count() + 8 * 3600;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+08:00", &utc);
    return text;
}

// A metric's value in /metrics, or -1.
double MetricValue(Gateway& gateway, const std::string& name) {
    auto metrics = gateway.Client().Get("/metrics");
    std::smatch found;
    const std::string text = metrics ? metrics->body : "";
    if (std::regex_search(text, found, std::regex("\n" + name + " ([0-9.NaN]+)\n"))) {
        return found[1] == "NaN" ? -1 : std::stod(found[1]);
    }
    return -1;
}

TEST(Answers, RepeatedUntilAcknowledgedStopsAtTheAnswerWhichASigkillKeeps) {
    Folder folder;
    SimProcess sim;
    auto gateway = std::make_unique<Gateway>(folder, sim.Link(), std::vector<std::string>{"--gap", "0"});
    auto [status, queued] = gateway->Post("/v1/pages", {{"to", "1"},
                                                        {"text", "5床呼叫"},
                                                        {"repeat", {{"every", 5}, {"until", "acknowledged"}}},
                                                        {"ttl", 60}});
    ASSERT_EQ(status, 202) << queued.dump();
    const std::string path = "/v1/pages/" + std::to_string(queued["id"].get<int64_t>());
    // Round one at once, round two 5 s later: nobody has answered.
    ASSERT_EQ(TextFrames(sim, 2, 7s).size(), 2U) << gateway->Log();
    Json page = gateway->Get(path);
    EXPECT_EQ(page["state"], "queued");
    EXPECT_EQ(page["answer"], true);
    EXPECT_EQ(page["repeat"]["until"], "acknowledged");
    EXPECT_EQ(page["repeat"]["count"], 13) << "as many rounds as the ttl holds";
    EXPECT_EQ(gateway->Get("/v1/unanswered")["pages"].size(), 1U);
    EXPECT_EQ(MetricValue(*gateway, "velkor_gateway_unanswered_pages"), 1);

    auto acked = gateway->Client().Post((path + "/ack").c_str(), "", "application/json");
    ASSERT_TRUE(acked);
    ASSERT_EQ(acked->status, 200) << acked->body;
    page = Json::parse(acked->body);
    EXPECT_EQ(page["state"], "acknowledged");
    EXPECT_EQ(page["answered"]["via"], "http");
    EXPECT_TRUE(page["answered"]["time"].is_string());
    // Answering again changes nothing; the answer is kept through a SIGKILL.
    EXPECT_EQ(gateway->Client().Post((path + "/ack").c_str(), "", "application/json")->status, 200);
    EXPECT_EQ(gateway->Stop(SIGKILL), 128 + SIGKILL);
    gateway = std::make_unique<Gateway>(folder, sim.Link(), std::vector<std::string>{"--gap", "0"});
    EXPECT_EQ(gateway->Get(path)["state"], "acknowledged");
    // A round was due 5 s after the last: none comes once the answer is stored.
    EXPECT_TRUE(TextFrames(sim, 1, 6s).empty()) << "a repeat after the answer";
    EXPECT_TRUE(gateway->Get("/v1/unanswered")["pages"].empty());
    EXPECT_EQ(MetricValue(*gateway, "velkor_gateway_ack_seconds_count"), 1);
}

TEST(Answers, APageNobodyAnswersIsUnansweredAndWhatCannotBeAnsweredIsRefused) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    const auto [status, waiting] =
        gateway.Post("/v1/pages", {{"to", "1"}, {"text", "wait"}, {"answer", true}, {"ttl", 2}});
    ASSERT_EQ(status, 202);
    const std::string path = "/v1/pages/" + std::to_string(waiting["id"].get<int64_t>());
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);
    EXPECT_EQ(gateway.WaitForState(waiting["id"], "sent", 2s)["answer"], true);
    const Json unanswered = gateway.WaitForState(waiting["id"], "unanswered", 5s);
    EXPECT_EQ(unanswered["state"], "unanswered") << unanswered.dump();
    EXPECT_EQ(unanswered["reason_code"], "unanswered");
    // A late answer is still the answer.
    auto late = gateway.Client().Post((path + "/ack").c_str(), "", "application/json");
    EXPECT_EQ(Json::parse(late->body)["state"], "acknowledged");

    const int64_t plain = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "plain"}}).second["id"];
    auto refused =
        gateway.Client().Post(("/v1/pages/" + std::to_string(plain) + "/ack").c_str(), "", "text/plain");
    EXPECT_EQ(refused->status, 409);
    EXPECT_EQ(Json::parse(refused->body)["code"], "answer_not_asked");
    EXPECT_EQ(gateway.Client().Post("/v1/pages/999/ack", "", "text/plain")->status, 404);
    for (const auto& [body, code] : std::vector<std::pair<Json, std::string>>{
             {{{"to", "1"}, {"text", "x"}, {"repeat", {{"every", 5}, {"until", "acknowledged"}}}}, "missing"},
             {{{"to", "1"}, {"text", "x"}, {"repeat", {{"every", 5}, {"until", "sent"}}}, {"ttl", 60}},
              "invalid"},
             {{{"to", "1"},
               {"text", "x"},
               {"repeat", {{"every", 5}, {"until", "acknowledged"}}},
               {"ttl", 86400}},
              "invalid"},
             {{{"to", "1"}, {"text", "x"}, {"answer", "yes"}}, "invalid"},
             {{{"to", "1"}, {"text", "x"}, {"at", InChina(-3600s)}}, "in_the_past"},
             {{{"to", "1"}, {"text", "x"}, {"at", "2026-12-10 08:00"}}, "invalid"},
             {{{"to", "1"}, {"text", "x"}, {"at", "2026-02-31T08:00:00Z"}}, "invalid"},
         }) {
        SCOPED_TRACE(body.dump());
        const auto [refusedStatus, answer] = gateway.Post("/v1/pages", body);
        EXPECT_EQ(refusedStatus, 422);
        EXPECT_EQ(answer["code"], code) << answer.dump();
    }
}

TEST(Answers, APageForLaterIsScheduledCancellableAndGoesOutOnTime) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    const auto [status, later] =
        gateway.Post("/v1/pages", {{"to", "1"}, {"text", "later"}, {"at", InChina(3s)}});
    ASSERT_EQ(status, 202);
    const int64_t cancelled =
        gateway.Post("/v1/pages", {{"to", "1"}, {"text", "never"}, {"at", InChina(3s)}}).second["id"];
    const Json page = gateway.Get("/v1/pages/" + std::to_string(later["id"].get<int64_t>()));
    EXPECT_EQ(page["scheduled"], true);
    EXPECT_TRUE(page["at"].is_string());
    EXPECT_EQ(gateway.Client().Delete(("/v1/pages/" + std::to_string(cancelled)).c_str())->status, 200);
    EXPECT_TRUE(TextFrames(sim, 1, 1500ms).empty()) << "sent before its time";
    const std::vector<Json> frames = TextFrames(sim, 1, 4s);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "later");
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty()) << "a cancelled page for later went out";
}

// An escalation pages step two after its wait and step three after its own, each an ordinary page with
// its step before the text; it goes on from its step after a SIGKILL, and an answer to any of its pages
// stops it.
TEST(Answers, NobodyAnsweringPagesTheNextStepUntilSomeoneDoes) {
    Folder folder;
    folder.Write("site.escalations", "ward-2 2s 2\nward-2 3s 3\n");
    SimProcess sim;
    const std::vector<std::string> options = {"--gap", "0", "--escalations", folder / "site.escalations"};
    auto gateway = std::make_unique<Gateway>(folder, sim.Link(), options);
    const auto [status, queued] =
        gateway->Post("/v1/pages", {{"to", "1"}, {"text", "5床呼叫"}, {"escalate", "ward-2"}, {"ttl", 60}});
    ASSERT_EQ(status, 202) << queued.dump();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.0.1");
    const auto started = std::chrono::steady_clock::now();
    frames = TextFrames(sim, 1, 4s);
    ASSERT_EQ(frames.size(), 1U) << gateway->Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.2");
    EXPECT_EQ(frames[0]["text"], "[2] 5床呼叫");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms) << "step two before its wait";
    const Json root = gateway->Get("/v1/pages/1");
    EXPECT_EQ(root["escalation"]["policy"], "ward-2");
    EXPECT_FALSE(root["escalation"].contains("next")) << "step two is paged: the root waits no more";
    EXPECT_EQ(gateway->Get("/v1/pages/2")["escalation"]["of"], 1);

    // Killed while step two waits: started again, step three comes on time.
    EXPECT_EQ(gateway->Stop(SIGKILL), 128 + SIGKILL);
    gateway = std::make_unique<Gateway>(folder, sim.Link(), options);
    frames = TextFrames(sim, 1, 5s);
    ASSERT_EQ(frames.size(), 1U) << gateway->Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.3");
    EXPECT_EQ(frames[0]["text"], "[3] 5床呼叫");

    // A second call, answered at step two: no step three, and every page of it is answered.
    gateway->Post("/v1/pages", {{"to", "1"}, {"text", "6床呼叫"}, {"escalate", "ward-2"}, {"ttl", 60}});
    ASSERT_EQ(TextFrames(sim, 2, 4s).size(), 2U) << gateway->Log();
    const Json pages = gateway->Get("/v1/pages?limit=1");
    const int64_t stepTwo = pages["pages"][0]["id"];
    EXPECT_EQ(gateway->Client()
                  .Post(("/v1/pages/" + std::to_string(stepTwo) + "/ack").c_str(), "", "text/plain")
                  ->status,
              200);
    EXPECT_TRUE(TextFrames(sim, 1, 5s).empty()) << "step three after the answer";
    EXPECT_EQ(gateway->Get("/v1/pages/" + std::to_string(stepTwo - 1))["state"], "acknowledged")
        << "the page that started it is answered too";
    const auto [refused, why] =
        gateway->Post("/v1/pages", {{"to", "1"}, {"text", "x"}, {"escalate", "ward-9"}});
    EXPECT_EQ(refused, 422);
    EXPECT_EQ(why["code"], "unknown_policy");
}

// SNPP cannot ask for an answer in a page: the gateway's settings ask for it, for every SNPP page.
TEST(Answers, SnppPagesWaitForTheAnswerTheSettingsAskFor) {
    Folder folder;
    folder.Write("site.escalations", "ward-2 3s 2\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--escalations", folder / "site.escalations", "--snpp-repeat", "5",
                     "--snpp-escalate", "ward-2"});
    ChildProcess sendpage(
        {"/usr/bin/sendpage", "-h", "127.0.0.1:" + std::to_string(gateway.SnppPort()), "-p", "1", "5床呼叫"});
    EXPECT_EQ(sendpage.Wait(20s), 0) << sendpage.Out() << sendpage.Err();
    const std::vector<Json> frames = TextFrames(sim, 2, 5s);
    ASSERT_EQ(frames.size(), 2U) << gateway.Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.1");
    EXPECT_EQ(frames[1]["address"], "0.0.0.2");
    EXPECT_EQ(frames[1]["text"], "[2] 5床呼叫");
    const Json page = gateway.Get("/v1/pages/1");
    EXPECT_EQ(page["answer"], true) << page.dump();
    EXPECT_EQ(page["repeat"]["until"], "acknowledged");
    EXPECT_EQ(page["escalation"]["policy"], "ward-2");
    // The nurse of step two answers: the first page's repeat, due at 5 s, never comes.
    EXPECT_EQ(gateway.Client().Post("/v1/pages/2/ack", "", "text/plain")->status, 200);
    EXPECT_TRUE(TextFrames(sim, 1, 4s).empty()) << "a repeat after the answer";
    EXPECT_EQ(gateway.Get("/v1/pages/1")["state"], "acknowledged");
}

// A roster is a recipient: the day member at 10:00, the night member at 23:00 (libfaketime sets the
// gateway's clock in Shanghai), and /v1/rosters says who is on duty and who is next.
TEST(Answers, ARosterPagesWhoeverIsOnDuty) {
    if (!FakeClock::Available()) {
        GTEST_SKIP() << FakeClock::MISSING;
    }
    Folder folder;
    folder.Write("site.rosters", "desk-duty daily 07:00-19:00 1\ndesk-duty daily 19:00-07:00 2\n");
    SimProcess sim;
    const auto at = [&](const char* time) {
        const FakeClock clock({{"FAKETIME", time}, {"TZ", "Asia/Shanghai"}});
        return std::make_unique<Gateway>(
            folder, sim.Link(), std::vector<std::string>{"--gap", "0", "--rosters", folder / "site.rosters"});
    };
    auto gateway = at("@2026-12-10 10:00:00");
    EXPECT_EQ(gateway->Post("/v1/pages", {{"to", "desk-duty"}, {"text", "day"}}).first, 202);
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U) << gateway->Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.1");
    const Json rosters = gateway->Get("/v1/rosters");
    ASSERT_EQ(rosters["rosters"].size(), 1U) << rosters.dump();
    EXPECT_EQ(rosters["rosters"][0]["now"], Json::array({"1"}));
    EXPECT_EQ(rosters["rosters"][0]["next"]["members"], Json::array({"2"}));
    EXPECT_EQ(rosters["rosters"][0]["next"]["at"], "2026-12-10T11:00:00.000Z") << "19:00 in Shanghai";
    EXPECT_EQ(gateway->Get("/v1/watches")["rosters"], Json::array({"desk-duty"}));
    gateway->Stop();

    gateway = at("@2026-12-10 23:00:00");
    EXPECT_EQ(gateway->Post("/v1/pages", {{"to", "desk-duty"}, {"text", "night"}}).first, 202);
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U) << gateway->Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.2");
    gateway->Stop();

    // A roster named like a recipient would take its pages: the gateway does not start.
    folder.Write("site.rosters", "12 daily 07:00-19:00 1\n");
    ChildProcess refused({VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "other.db", "--http",
                          "off", "--snpp", "off", "--rosters", folder / "site.rosters"});
    EXPECT_NE(refused.Wait(10s), 0);
    EXPECT_NE(refused.Err().find("site.rosters:1:1: the roster \"12\" is named like a watch"),
              std::string::npos)
        << refused.Err();
}

// The schedule's pages and the time frame at their minute of the site's time (libfaketime starts the
// gateway's wall clock at 11:29:58 in Shanghai), once, even when the gateway starts again within it.
TEST(Answers, TheSchedulePagesAtItsMinuteOnceAndTheWatchesGetTheTime) {
    if (!FakeClock::Available()) {
        GTEST_SKIP() << FakeClock::MISSING;
    }
    Folder folder;
    folder.Write("site.schedule", "daily 11:30 1 午市开始\nweekends 11:30 1 周末\ndaily 11:31 1 later\n");
    SimProcess sim;
    const auto start = [&] {
        const FakeClock clock({{"FAKETIME", "@2026-12-10 11:29:58"}, {"TZ", "Asia/Shanghai"}}); // a Thursday
        return std::make_unique<Gateway>(folder, sim.Link(),
                                         std::vector<std::string>{"--gap", "0", "--schedule",
                                                                  folder / "site.schedule", "--set-time",
                                                                  "daily 11:30"});
    };
    auto gateway = start();
    std::vector<Json> frames = TextFrames(sim, 2, 6s);
    ASSERT_EQ(frames.size(), 2U) << gateway->Log();
    std::vector<std::string> commands;
    for (const Json& frame : frames) {
        commands.push_back(frame.value("command", "") + " " + frame.value("text", ""));
    }
    std::sort(commands.begin(), commands.end());
    EXPECT_EQ(commands, (std::vector<std::string>{"set_time ", "text 午市开始"})) << gateway->Log();
    const Json listed = gateway->Get("/v1/pages?limit=10");
    ASSERT_EQ(listed["pages"].size(), 2U);
    EXPECT_NE(listed["pages"][0]["source"].get<std::string>().find("schedule"), std::string::npos);

    // Started again within the same minute: that minute was paged.
    EXPECT_EQ(gateway->Stop(SIGKILL), 128 + SIGKILL);
    gateway = start();
    EXPECT_TRUE(TextFrames(sim, 1, 4s).empty()) << "the minute paged twice";
    EXPECT_EQ(gateway->Get("/v1/pages?limit=10")["pages"].size(), 2U);
}

} // namespace
} // namespace velkor
