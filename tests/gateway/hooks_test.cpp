// Webhooks from outside, with the real senders: Prometheus Alertmanager (and amtool to raise alerts), against
// the gateway and velkor-sim.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>

namespace velkor {
namespace {

constexpr const char* WATCHES = "name,address,groups\n"
                                "cook-1,0.0.0.1,kitchen\n"
                                "cook-2,0.0.0.2,kitchen\n"
                                "desk,0.0.0.9,\n";

// An Alertmanager of its own on loopback (cluster mode off), with one receiver: the gateway's webhook.
class Alertmanager {
public:
    // `groupWait`: how long a new group gathers its alerts before its first notification.
    Alertmanager(const Folder& folder, int gatewayPort, const std::string& query, const std::string& token,
                 const std::string& groupWait = "0s")
        : m_folder(folder), m_port(FreeLoopbackPort()) {
        folder.Write("alertmanager.yml", "route:\n"
                                         "  receiver: velkor\n"
                                         "  group_by: [alertname]\n"
                                         "  group_wait: " +
                                             groupWait +
                                             "\n"
                                             "  group_interval: 1s\n"
                                             "  repeat_interval: 1h\n"
                                             "receivers:\n"
                                             "  - name: velkor\n"
                                             "    webhook_configs:\n"
                                             "      - url: http://127.0.0.1:" +
                                             std::to_string(gatewayPort) + "/v1/hooks/alertmanager" + query +
                                             "\n"
                                             "        send_resolved: true\n"
                                             "        http_config:\n"
                                             "          authorization:\n"
                                             "            credentials: " +
                                             token + "\n");
        std::filesystem::create_directories(folder / "alertmanager-data");
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>>\"" + folder / "alertmanager.log" + "\"",
            "/usr/bin/prometheus-alertmanager", "--config.file=" + folder / "alertmanager.yml",
            "--storage.path=" + folder / "alertmanager-data",
            "--web.listen-address=127.0.0.1:" + std::to_string(m_port), "--cluster.listen-address="});
        httplib::Client probe("127.0.0.1", m_port);
        Eventually(
            [&] {
                auto ready = probe.Get("/-/ready");
                return ready && ready->status == 200;
            },
            20s, 100ms);
    }
    ~Alertmanager() {
        m_process->Signal(SIGTERM);
        m_process->Wait(10s);
    }
    Alertmanager(const Alertmanager&) = delete;
    Alertmanager& operator=(const Alertmanager&) = delete;

    // amtool alert add, as a site's script or an operator would; its exit status.
    int Add(const std::vector<std::string>& labels, const std::string& summary, const std::string& end = "") {
        std::vector<std::string> args = {"/usr/bin/amtool", "alert", "add",
                                         "--alertmanager.url=http://127.0.0.1:" + std::to_string(m_port),
                                         "--annotation=summary=" + summary};
        if (!end.empty()) {
            args.push_back("--end=" + end);
        }
        args.insert(args.end(), labels.begin(), labels.end());
        ChildProcess amtool(args);
        return amtool.Wait(20s);
    }
    std::string Log() const { return ReadFile(m_folder / "alertmanager.log"); }
    int Port() const { return m_port; }

private:
    const Folder& m_folder;
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
};

std::vector<std::string> Texts(const std::vector<Json>& frames) {
    std::vector<std::string> texts;
    for (const Json& frame : frames) {
        texts.push_back(frame.value("text", ""));
    }
    return texts;
}

// An alert that must be answered repeats until Alertmanager says it is resolved: the resolution stops the
// repeats at once, by the alert's fingerprint, and the page records it.
TEST(Hooks, AResolvedAlertStopsTheRepeatsOfThePageItsFiringMade) {
    if (!std::filesystem::exists("/usr/bin/prometheus-alertmanager")) {
        GTEST_SKIP() << "prometheus-alertmanager is not installed";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--alert-resolved", "off"});
    Alertmanager alertmanager(folder, gateway.HttpPort(), "?to=desk", "none");
    ASSERT_EQ(alertmanager.Add({"alertname=PumpStopped", "velkor_repeat=5", "velkor_ttl=120"}, "3号泵停机"),
              0);
    ASSERT_EQ(TextFrames(sim, 2, 15s).size(), 2U) << alertmanager.Log() << gateway.Log();
    const Json firing = gateway.Get("/v1/pages?limit=1")["pages"][0];
    ASSERT_TRUE(firing.contains("repeat")) << firing.dump() << gateway.Log();
    EXPECT_EQ(firing["state"], "queued");
    EXPECT_EQ(firing["repeat"]["until"], "acknowledged");

    ASSERT_EQ(alertmanager.Add({"alertname=PumpStopped", "velkor_repeat=5", "velkor_ttl=120"}, "3号泵停机",
                               "2020-01-01T00:00:00Z"),
              0);
    const Json resolved = gateway.WaitForState(firing["id"], "resolved", 15s);
    ASSERT_EQ(resolved["state"], "resolved") << resolved.dump() << gateway.Log() << alertmanager.Log();
    EXPECT_EQ(resolved["answered"]["via"], "alertmanager") << resolved.dump();
    EXPECT_TRUE(TextFrames(sim, 1, 6s).empty()) << "a repeat after the resolution";
}

TEST(Hooks, AnAlertFromAlertmanagerReachesTheWatchesAndItsResolutionToo) {
    if (!std::filesystem::exists("/usr/bin/prometheus-alertmanager")) {
        GTEST_SKIP() << "prometheus-alertmanager is not installed";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("tokens", "alerts 4l3rt-key send\nwall w4ll read\n");
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0600));
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--token-file", folder / "tokens"});
    Alertmanager alertmanager(folder, gateway.HttpPort(), "?to=kitchen", "4l3rt-key");

    ASSERT_EQ(alertmanager.Add({"alertname=FreezerWarm", "severity=critical"}, "2号冰柜温度过高"), 0);
    std::vector<Json> frames = TextFrames(sim, 2, 15s);
    ASSERT_EQ(frames.size(), 2U) << alertmanager.Log() << gateway.Log();
    EXPECT_EQ(Texts(frames), (std::vector<std::string>{"告警：2号冰柜温度过高", "告警：2号冰柜温度过高"}));
    EXPECT_EQ(frames[0]["address"], "0.0.0.1");
    EXPECT_EQ(frames[1]["address"], "0.0.0.2");

    // Resolved (its end in the past): paged with the resolved prefix, to the label's watch this time.
    ASSERT_EQ(alertmanager.Add({"alertname=FreezerWarm", "severity=critical"}, "2号冰柜温度过高",
                               "2020-01-01T00:00:00Z"),
              0);
    frames = TextFrames(sim, 2, 15s);
    ASSERT_EQ(frames.size(), 2U) << alertmanager.Log();
    EXPECT_EQ(Texts(frames),
              (std::vector<std::string>{"已恢复：2号冰柜温度过高", "已恢复：2号冰柜温度过高"}));

    // A label velkor_to sends an alert elsewhere than the receiver's ?to=.
    ASSERT_EQ(alertmanager.Add({"alertname=DoorOpen", "velkor_to=desk"}, "后门未关"), 0);
    frames = TextFrames(sim, 1, 15s);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.0.9");
    EXPECT_EQ(frames[0]["text"], "告警：后门未关");
}

TEST(Hooks, ACriticalAlertJumpsTheQueueAndARetryIsPagedOnce) {
    if (!std::filesystem::exists("/usr/bin/prometheus-alertmanager")) {
        GTEST_SKIP() << "prometheus-alertmanager is not installed";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    const int port = FreeLoopbackPort();
    const auto start = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "VELKOR_SEQUENCE_DIR=\"" + folder / "sequence" +
                                         "\" exec \"$0\" \"$@\" 2>>\"" + folder / "gateway.log" + "\"",
                                     VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "gateway.db",
                                     "--http", "127.0.0.1:" + std::to_string(port), "--snpp", "off", "--gap",
                                     "200", "--watches", folder / "watches.csv", "--alert-resolved", "off"});
    };
    httplib::Client client("127.0.0.1", port);
    const auto waitUp = [&] { Eventually([&] { return HttpAnswers(port); }, 10s); };
    std::unique_ptr<ChildProcess> gateway = start();
    waitUp();
    Alertmanager alertmanager(folder, port, "?to=desk", "unused");

    // Ten normal pages queued 200 ms apart; the critical alert goes out before most of them.
    for (int i = 0; i < 10; ++i) {
        client.Post("/v1/pages", Json{{"to", "desk"}, {"text", "normal " + std::to_string(i)}}.dump(),
                    "application/json");
    }
    ASSERT_EQ(alertmanager.Add({"alertname=Fire", "severity=page"}, "二楼火警"), 0);
    std::vector<std::string> order = Texts(TextFrames(sim, 11, 15s));
    ASSERT_EQ(order.size(), 11U);
    const auto fire = std::find(order.begin(), order.end(), "告警：二楼火警");
    ASSERT_NE(fire, order.end());
    EXPECT_LT(fire - order.begin(), 8) << "behind most of the normal pages";

    // The gateway away while Alertmanager notifies: it retries, and the alert is paged once when the
    // gateway is back.
    gateway->Signal(SIGTERM);
    EXPECT_EQ(gateway->Wait(10s), 0);
    ASSERT_EQ(alertmanager.Add({"alertname=Flood", "severity=critical"}, "地下室进水"), 0);
    EXPECT_TRUE(Eventually(
        [&] { return alertmanager.Log().find("Notify attempt failed") != std::string::npos; }, 10s, 50ms))
        << "Alertmanager tried while the gateway was away: " << alertmanager.Log();
    gateway = start();
    waitUp();
    const std::vector<Json> frames = TextFrames(sim, 1, 15s);
    ASSERT_EQ(frames.size(), 1U) << alertmanager.Log();
    EXPECT_EQ(frames[0]["text"], "告警：地下室进水");
    EXPECT_TRUE(TextFrames(sim, 1, 3s).empty()) << "once, not twice";
    gateway->Signal(SIGTERM);
    EXPECT_EQ(gateway->Wait(10s), 0);
}

// A group of 60 alerts (a rack's disks, a ward's beds) is one notification of about 20 kB: each alert paged,
// nothing refused, and Alertmanager logs no failure.
TEST(Hooks, AGroupOfSixtyAlertsFromAlertmanagerIsPagedWhole) {
    if (!std::filesystem::exists("/usr/bin/prometheus-alertmanager")) {
        GTEST_SKIP() << "prometheus-alertmanager is not installed";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--watches", folder / "watches.csv"});
    // Given a second to gather them, as a site's config does: a group sent before all its alerts are in is
    // sent again whole, and the gateway pages the alerts of each notification.
    Alertmanager alertmanager(folder, gateway.HttpPort(), "?to=desk", "unused", "1s");
    Json alerts = Json::array();
    for (int i = 1; i <= 60; ++i) {
        alerts.push_back(
            {{"labels", {{"alertname", "DiskFull"}, {"disk", "sd" + std::to_string(i)}}},
             {"annotations",
              {{"summary", "磁盘 " + std::to_string(i) + " 将满"}, {"description", std::string(200, 'x')}}}});
    }
    httplib::Client client("127.0.0.1", alertmanager.Port());
    auto posted = client.Post("/api/v2/alerts", alerts.dump(), "application/json");
    ASSERT_TRUE(posted);
    ASSERT_EQ(posted->status, 200) << posted->body;
    const std::vector<Json> frames = TextFrames(sim, 60, 15s);
    EXPECT_EQ(frames.size(), 60U) << alertmanager.Log() << gateway.Log();
    EXPECT_EQ(gateway.Get("/v1/pages?limit=100")["pages"].size(), 60U);
    EXPECT_EQ(alertmanager.Log().find("level=error"), std::string::npos) << alertmanager.Log();
    EXPECT_EQ(gateway.Log().find("refused"), std::string::npos) << gateway.Log();
}

TEST(Hooks, AlertmanagerBodiesAreReadWhateverTheyHoldAndANotificationSentAgainIsPagedOnce) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--watches", folder / "watches.csv"});
    const auto post = [&](const std::string& query, const std::string& body) {
        auto result =
            gateway.Client().Post(("/v1/hooks/alertmanager" + query).c_str(), body, "application/json");
        return std::pair{result->status, Json::parse(result->body, nullptr, false)};
    };
    Json alert = {{"status", "firing"},
                  {"labels", {{"alertname", "HighLoad"}, {"instance", "db-1"}}},
                  {"annotations", Json::object()},
                  {"startsAt", "2026-12-08T10:00:00Z"},
                  {"endsAt", "0001-01-01T00:00:00Z"},
                  {"fingerprint", "a1"}};
    Json notification = {{"version", "4"},
                         {"status", "firing"},
                         {"groupKey", "{}:{alertname=\"HighLoad\"}"},
                         {"alerts", {alert}}};
    auto [status, answer] = post("?to=desk", notification.dump());
    ASSERT_EQ(status, 200) << answer.dump();
    EXPECT_EQ(answer["duplicate"], false);
    // Without summary or description: the alert's name and labels.
    EXPECT_EQ(TextFrames(sim, 1)[0]["text"], "告警：HighLoad instance=db-1");

    // The same notification again (its answer lost): acknowledged, the same page, nothing sent.
    auto [again, same] = post("?to=desk", notification.dump());
    EXPECT_EQ(again, 200);
    EXPECT_EQ(same["duplicate"], true);
    EXPECT_EQ(same["pages"], answer["pages"]);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());

    // Chinese cut on a whole character with "…", an emoji warned and sent as "?", a tab as a space.
    std::string chinese;
    for (int i = 0; i < 50; ++i) {
        chinese += "温";
    }
    alert["annotations"] = {{"summary", chinese}};
    alert["fingerprint"] = "a2";
    notification["alerts"] = {alert,
                              {{"status", "firing"},
                               {"labels", {{"alertname", "Smoke"}}},
                               {"annotations", {{"description", "烟雾\t🔥"}}},
                               {"fingerprint", "a3"},
                               {"startsAt", "2026-12-08T10:00:00Z"}}};
    auto [cut, told] = post("?to=desk", notification.dump());
    ASSERT_EQ(cut, 200) << told.dump();
    std::vector<Json> frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    const std::string expected = "告警：" + chinese.substr(0, 3 * 38) + "…"; // 6 + 76 + 2 = 84 bytes
    EXPECT_EQ(frames[0]["text"], expected);
    EXPECT_EQ(frames[0]["text_bytes"], 84);
    EXPECT_EQ(frames[1]["text"], "告警：烟雾 ?");
    EXPECT_NE(told.value("warnings", Json()).dump().find("U+1F525"), std::string::npos) << told.dump();

    // What is not Alertmanager's, and recipients missing or unknown: refused with the reason.
    EXPECT_EQ(post("?to=desk", "not json").first, 400);
    EXPECT_EQ(post("?to=desk", R"({"alerts": "none"})").second["error"],
              "not an Alertmanager notification: it has no \"alerts\" list and \"groupKey\"");
    alert["fingerprint"] = "a4";
    notification["alerts"] = {alert};
    EXPECT_EQ(post("", notification.dump()).second["error"],
              "to: no recipients: give them in the webhook's address (?to=kitchen) or in the alert's label "
              "velkor_to");
    EXPECT_EQ(post("?to=nobody", notification.dump()).first, 422);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
}

// A monitor's "down" repeats until its "up" for the same monitor resolves it: the hooks file's key ties
// the two, and the resolution pages nothing.
TEST(Hooks, AHooksFileRuleResolvesThePageItsKeyMade) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("hooks.conf", "[uptime]\n"
                               "to = desk\n"
                               "text = {/monitor/name}：{/heartbeat/msg}\n"
                               "key = {/monitor/id}\n"
                               "repeat = 5\n"
                               "resolve = when {/heartbeat/status} = 1\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--hooks", folder / "hooks.conf"});
    const auto post = [&](const std::string& body) {
        return gateway.Post("/v1/hooks/uptime", Json::parse(body));
    };
    ASSERT_EQ(
        post(R"({"monitor": {"id": 7, "name": "收银机"}, "heartbeat": {"msg": "离线", "status": 0}})").first,
        202);
    ASSERT_EQ(
        post(R"({"monitor": {"id": 8, "name": "打印机"}, "heartbeat": {"msg": "离线", "status": 0}})").first,
        202);
    ASSERT_EQ(TextFrames(sim, 4, 7s).size(), 4U) << "two rounds of each" << gateway.Log();
    const auto [status, answer] =
        post(R"({"monitor": {"id": 7, "name": "收银机"}, "heartbeat": {"msg": "恢复", "status": 1}})");
    ASSERT_EQ(status, 200) << answer.dump();
    EXPECT_EQ(answer["resolved"], Json::array({1}));
    EXPECT_EQ(gateway.Get("/v1/pages/1")["answered"]["via"], "hook uptime");
    EXPECT_EQ(gateway.Get("/v1/pages/2")["state"], "queued") << "another monitor's page goes on";
    const std::vector<Json> after = TextFrames(sim, 2, 6s);
    ASSERT_FALSE(after.empty());
    for (const Json& frame : after) {
        EXPECT_EQ(frame["text"], "打印机：离线") << "only the page not resolved repeats";
    }
}

TEST(Hooks, AHooksFileTurnsAnySystemsJsonIntoPages) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("hooks.conf", "# Uptime Kuma's notification\n"
                               "[uptime]\n"
                               "to = desk\n"
                               "text = {/monitor/name}：{/heartbeat/msg}\n"
                               "priority = high when {/heartbeat/status} = 0\n"
                               "\n"
                               "[ci]\n"
                               "to = {/assignee}\n"
                               "text = 构建 {/pipeline/id} {/pipeline/status}\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--hooks", folder / "hooks.conf"});
    const std::string url = "http://127.0.0.1:" + std::to_string(gateway.HttpPort()) + "/v1/hooks/";
    const auto curl = [&](const std::string& hook, const std::string& body) {
        ChildProcess post({"/usr/bin/curl", "-sS", "-w", "\n%{http_code}", "-H",
                           "Content-Type: application/json", "--data-binary", body, url + hook});
        post.Wait(10s);
        const std::string& out = post.Out();
        const std::size_t split = out.rfind('\n');
        return std::pair{std::stoi(out.substr(split + 1)), Json::parse(out.substr(0, split), nullptr, false)};
    };

    auto [status, answer] =
        curl("uptime", R"({"monitor": {"name": "收银机"}, "heartbeat": {"msg": "离线 🔌", "status": 0}})");
    ASSERT_EQ(status, 202) << answer.dump();
    EXPECT_NE(answer.value("warning", "").find("U+1F50C"), std::string::npos) << answer.dump();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "收银机：离线 ?");
    EXPECT_EQ(frames[0]["address"], "0.0.0.9");
    EXPECT_EQ(gateway.Get("/v1/pages/" + std::to_string(answer["id"].get<int64_t>()))["priority"], "high");

    // A CI pipeline's over-long status: cut whole with "…", not refused.
    auto [cut, page] = curl("ci", R"({"assignee": "kitchen", "pipeline": {"id": 812, "status": ")" +
                                      std::string(200, 'x') + R"("}})");
    ASSERT_EQ(cut, 202) << page.dump();
    frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["text_bytes"], 84);
    EXPECT_TRUE(frames[0]["text"].get<std::string>().ends_with("xx…"));
    EXPECT_TRUE(frames[0]["text"].get<std::string>().starts_with("构建 812 xx"));

    // A field missing, a hook unknown, a body that is not JSON: refused with the reason, nothing sent.
    EXPECT_EQ(curl("uptime", R"({"monitor": {"name": "x"}, "heartbeat": {"status": 1}})").second["error"],
              "{/heartbeat/msg}: the body has no such field");
    const auto [unknown, said] = curl("nagios", "{}");
    EXPECT_EQ(unknown, 404);
    EXPECT_EQ(said["error"], "no hook named \"nagios\" (the hooks file has: alertmanager, ci, uptime)");
    EXPECT_EQ(curl("ci", "<xml/>").first, 400);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());

    // Read again on SIGHUP; a file with a fault is not taken, and the old hooks stay.
    folder.Write("hooks.conf", "[ci]\nto = desk\n");
    gateway.Signal(SIGHUP);
    EXPECT_TRUE(
        Eventually([&] { return gateway.Log().find("hooks file not read again") != std::string::npos; }, 5s));
    EXPECT_EQ(curl("uptime", R"({"monitor": {"name": "a"}, "heartbeat": {"msg": "b", "status": 1}})").first,
              202);
    EXPECT_NE(gateway.Log().find("hooks file not read again, the old one stays: " + folder / "hooks.conf" +
                                 ":1: [ci] needs both to = ... and text = ..."),
              std::string::npos)
        << gateway.Log();

    // At start, a file with faults: each said with its line, and no gateway.
    ChildProcess refused({VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "other.db", "--http",
                          "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--snpp", "off", "--hooks",
                          folder / "hooks.conf"});
    EXPECT_EQ(refused.Wait(10s), 1);
    EXPECT_NE(refused.Err().find("hooks.conf:1: [ci] needs both"), std::string::npos) << refused.Err();
}

TEST(Hooks, TheNodeRedFlowOfTheExamplesPagesAWatch) {
    if (!std::filesystem::exists(VELKOR_NODE_RED)) {
        GTEST_SKIP() << "Node-RED is not installed at " << VELKOR_NODE_RED
                     << " (bash tools/velkor.sh test installs it)";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("tokens", "node-red n0d3-r3d send\n");
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0600));
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--token-file", folder / "tokens"});
    const std::string examples = std::string(VELKOR_EXAMPLES);
    std::filesystem::create_directories(folder / "node-red");
    // The flow as shipped, run with its admin API and editor off and its listener on loopback.
    ChildProcess nodeRed(
        {"/bin/sh", "-c",
         "VELKOR_URL=http://127.0.0.1:" + std::to_string(gateway.HttpPort()) +
             "/v1/pages VELKOR_TOKEN=n0d3-r3d NODE_RED_PORT=" + std::to_string(FreeLoopbackPort()) +
             " NODE_RED_FLOW=\"" + examples + "/node-red-flow.json\" exec \"$0\" --userDir \"" +
             folder / "node-red" + "\" --settings \"" + examples + "/node-red-settings.js\" >\"" +
             folder / "node-red.log" + "\" 2>&1",
         VELKOR_NODE_RED});
    const std::vector<Json> frames = TextFrames(sim, 2, 30s);
    nodeRed.Signal(SIGTERM);
    nodeRed.Wait(10s);
    ASSERT_EQ(frames.size(), 2U) << ReadFile(folder / "node-red.log");
    EXPECT_EQ(frames[0]["text"], "2号冷库温度过高");
    EXPECT_EQ(frames[0]["address"], "0.0.0.1");
    EXPECT_EQ(frames[1]["address"], "0.0.0.2");
    EXPECT_NE(gateway.Log().find("(token node-red)"), std::string::npos) << gateway.Log();
}

} // namespace
} // namespace velkor
