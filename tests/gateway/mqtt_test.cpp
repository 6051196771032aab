// velkor-gateway on a private mosquitto: pages published by mosquitto_pub reach the watches through the
// simulator; gateways, broker and publishers stopped, restarted and killed in between.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>

namespace velkor {
namespace {

// A mosquitto of the test's own: its config, its persistence and its port, never the system's.
class Broker {
public:
    explicit Broker(const Folder& folder, const std::string& extra = "")
        : m_folder(folder), m_port(FreeLoopbackPort()) {
        folder.Write("mosquitto.conf", "listener " + std::to_string(m_port) +
                                           " 127.0.0.1\n"
                                           "allow_anonymous true\n"
                                           "persistence true\n"
                                           "persistence_location " +
                                           folder / "" +
                                           "\n"
                                           // root keeps root, so that it can write the test's folder
                                           "user root\n"
                                           "log_dest file " +
                                           folder / "mosquitto.log" + "\n" + extra);
        Start();
    }
    ~Broker() { Stop(); }
    void Start() {
        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", m_folder / "mosquitto.conf"});
        if (Eventually(
                [&] {
                    const int socket = ConnectLoopback(m_port);
                    return socket >= 0 && ::close(socket) == 0;
                },
                10s)) {
            return;
        }
        ADD_FAILURE() << "mosquitto did not start: " << ReadFile(m_folder / "mosquitto.log");
    }
    void Stop() {
        if (m_process) {
            m_process->Signal(SIGTERM);
            EXPECT_EQ(m_process->Wait(10s), 0);
            m_process.reset();
        }
    }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(m_port); }
    // mosquitto_pub at QoS 1; its exit status.
    int Publish(const std::string& topic, const std::string& message, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"/usr/bin/mosquitto_pub",
                                         "-h",
                                         "127.0.0.1",
                                         "-p",
                                         std::to_string(m_port),
                                         "-q",
                                         "1",
                                         "-t",
                                         topic};
        if (extra.empty()) {
            args.insert(args.end(), {"-m", message});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        ChildProcess publisher(args);
        const int status = publisher.Wait(10s);
        EXPECT_EQ(status, 0) << publisher.Err();
        return status;
    }
    int Port() const { return m_port; }

private:
    const Folder& m_folder;
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
};

// mosquitto_sub on `filter`, its "topic payload" lines in a file.
class Subscription {
public:
    Subscription(const Folder& folder, const Broker& broker, const std::string& filter)
        : m_path(folder / ("sub-" + std::to_string(++s_count) + ".txt")) {
        m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c", "exec \"$0\" \"$@\" >\"" + m_path + "\"", "/usr/bin/mosquitto_sub", "-h",
            "127.0.0.1", "-p", std::to_string(broker.Port()), "-q", "1", "-v", "-t", filter});
        // Subscribed once the broker has it: a retained probe comes back.
        std::this_thread::sleep_for(300ms);
    }
    // Every line so far.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream text(ReadFile(m_path));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    // The lines starting with `prefix`, once `count` of them came or `timeout` passed: what arrives from
    // the broker comes in its own time, read once it would be read too early.
    std::vector<std::string> WaitForLines(const std::string& prefix, std::size_t count,
                                          std::chrono::milliseconds timeout = 10s) const {
        std::vector<std::string> found;
        Eventually(
            [&] {
                found.clear();
                for (const std::string& line : Lines()) {
                    if (line.starts_with(prefix)) {
                        found.push_back(line);
                    }
                }
                return found.size() >= count;
            },
            timeout, 50ms);
        return found;
    }
    // The first line starting with `prefix`, waiting up to `timeout`; "" when none came.
    std::string WaitFor(const std::string& prefix, std::chrono::milliseconds timeout = 10s) const {
        std::string first;
        Eventually(
            [&] {
                for (const std::string& line : Lines()) {
                    if (line.starts_with(prefix)) {
                        first = line;
                        return true;
                    }
                }
                return false;
            },
            timeout, 50ms);
        return first;
    }

private:
    static inline int s_count = 0;
    std::string m_path;
    std::unique_ptr<ChildProcess> m_process;
};

std::vector<std::string> MqttOptions(const Broker& broker, const std::string& topic) {
    return {"--gap", "0", "--mqtt", broker.Url(), "--mqtt-topic", topic};
}

// Waits until the gateway's health says it is connected to its broker (or not).
bool WaitForBroker(Gateway& gateway, bool connected, std::chrono::milliseconds timeout = 15s) {
    return Eventually(
        [&] {
            const Json health = gateway.Get("/v1/health");
            return health.is_object() && health.contains("mqtt") && health["mqtt"]["connected"] == connected;
        },
        timeout, 50ms);
}

// An answer through the broker: PREFIX/NAME/pages/ID/ack stops the repeats, says who, and is told on the
// page's state topic; one for a page that asks none is rejected with the reason.
TEST(GatewayMqtt, AnAcknowledgementOnTheBrokerAnswersThePage) {
    Folder folder;
    Broker broker(folder);
    Subscription site(folder, broker, "site/#");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/ward"));
    ASSERT_TRUE(WaitForBroker(gateway, true)) << gateway.Log();
    broker.Publish("site/ward/pages",
                   R"({"to":"12","text":"7床","repeat":{"every":5,"until":"acknowledged"},"ttl":60})");
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U) << gateway.Log();
    broker.Publish("site/ward/pages/1/ack", R"({"by":"nurse-3"})");
    const Json page = gateway.WaitForState(1, "acknowledged");
    EXPECT_EQ(page["answered"]["by"], "nurse-3") << page.dump();
    EXPECT_EQ(page["answered"]["via"], "mqtt");
    EXPECT_NE(site.WaitFor("site/ward/pages/1/state {\"id\":1,\"state\":\"acknowledged\""), "");
    EXPECT_TRUE(TextFrames(sim, 1, 6s).empty()) << "a repeat after the answer";

    broker.Publish("site/ward/pages", R"({"to":"12","text":"plain"})");
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);
    broker.Publish("site/ward/pages/2/ack", "");
    const std::vector<std::string> rejected = site.WaitForLines("site/ward/rejected ", 1);
    ASSERT_EQ(rejected.size(), 1U) << gateway.Log();
    EXPECT_NE(rejected[0].find("page 2 asks for no answer"), std::string::npos) << rejected[0];
}

TEST(GatewayMqtt, PagesComeThroughTheBrokerAndBadMessagesAreRejectedWithTheReason) {
    Folder folder;
    Broker broker(folder);
    Subscription site(folder, broker, "site/#");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/floor1"));
    ASSERT_TRUE(WaitForBroker(gateway, true)) << gateway.Log();
    EXPECT_NE(site.WaitFor("site/floor1/status online"), "");

    // The bad ones first: none of them may hold up the good page behind it.
    broker.Publish("site/floor1/pages", "{to: 12");
    folder.Write("big.json", R"({"to":"12","text":")" + std::string(1 << 20, 'x') + "\"}");
    broker.Publish("site/floor1/pages", "", {"-f", folder / "big.json"});
    broker.Publish("site/floor1/pages", R"({"to":"nurse-9","text":"x"})");
    broker.Publish("site/all/pages", R"({"to":"12","text":"x","priorty":"high"})");
    broker.Publish("site/floor1/pages", R"({"to":"12","text":"3号桌请取餐"})");

    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U) << gateway.Log();
    EXPECT_EQ(frames[0]["bytes"], "5A 01 00 00 00 0C E0 0B 33 BA C5 D7 C0 C7 EB C8 A1 B2 CD 35");

    std::vector<Json> rejected;
    for (const std::string& line : site.WaitForLines("site/floor1/rejected ", 4)) {
        rejected.push_back(Json::parse(line.substr(line.find(' ') + 1)));
    }
    ASSERT_EQ(rejected.size(), 4U) << gateway.Log();
    EXPECT_EQ(rejected[0]["error"], "the body is not JSON");
    EXPECT_EQ(rejected[1]["error"], "the message is larger than 16 kB (1048597 bytes)");
    EXPECT_EQ(rejected[2]["error"].get<std::string>().rfind("to: no watch or group is named \"nurse-9\"", 0),
              0U);
    EXPECT_EQ(rejected[3]["topic"], "site/all/pages");
    EXPECT_EQ(rejected[3]["error"].get<std::string>().rfind("unknown field \"priorty\"", 0), 0U);

    // The page's states, as the HTTP record has them.
    const std::string queued = site.WaitFor("site/floor1/pages/1/state {\"id\":1,\"state\":\"queued\"");
    EXPECT_NE(queued, "");
    EXPECT_NE(site.WaitFor("site/floor1/pages/1/state {\"id\":1,\"state\":\"sent\""), "");
    Json page = gateway.WaitForState(1, "sent");
    EXPECT_EQ(page["source"], "mqtt site/floor1/pages");

    // Counted as the message is taken, a moment after its page is queued.
    Json health;
    for (int i = 0; i < 100 && (!health.is_object() || health["mqtt"]["accepted"] != 1); ++i) {
        std::this_thread::sleep_for(i == 0 ? 0ms : 50ms);
        health = gateway.Get("/v1/health");
    }
    EXPECT_EQ(health["mqtt"]["accepted"], 1);
    EXPECT_EQ(health["mqtt"]["rejected"], 4);
    const std::string metrics = gateway.Client().Get("/metrics")->body;
    EXPECT_NE(metrics.find("velkor_gateway_mqtt_up 1"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("velkor_gateway_mqtt_messages_total{result=\"rejected\"} 4"), std::string::npos);

    // A page published retained goes out once, live. The copy the broker hands the gateway at each later
    // connection is an old message: not paged again, not a rejection each time, one line in the log.
    broker.Publish("site/floor1/pages", "", {"-r", "-m", R"({"to":"12","text":"retained"})"});
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);
    EXPECT_EQ(gateway.Stop(), 0);
    EXPECT_NE(site.WaitFor("site/floor1/status offline"), "");
    Gateway again(folder, sim.Link(), MqttOptions(broker, "site/floor1"));
    ASSERT_TRUE(WaitForBroker(again, true));
    EXPECT_TRUE(Eventually(
        [&] {
            return again.Log().find("retained message on site/floor1/pages not paged") != std::string::npos;
        },
        5s));
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
    EXPECT_EQ(site.WaitForLines("site/floor1/rejected ", 5, 500ms).size(), 4U) << "rejected once more";
    EXPECT_NE(again.Log().find("retained message on site/floor1/pages not paged"), std::string::npos)
        << again.Log();
}

TEST(GatewayMqtt, TwoGatewaysOnOneBrokerEachSendTheirOwnPagesAndBothTheSitesPages) {
    Folder folder;
    Folder upstairs("-first");
    Broker broker(folder);
    SimProcess groundSim;
    SimProcess upstairsSim;
    Gateway ground(folder, groundSim.Link(), MqttOptions(broker, "clinic/ground"));
    Gateway first(upstairs, upstairsSim.Link(), MqttOptions(broker, "clinic/first"));
    ASSERT_TRUE(WaitForBroker(ground, true));
    ASSERT_TRUE(WaitForBroker(first, true));

    broker.Publish("clinic/ground/pages", R"({"to":"1","text":"ground"})");
    broker.Publish("clinic/first/pages", R"({"to":"2","text":"first"})");
    broker.Publish("clinic/all/pages", R"({"to":"all","text":"closing at 6"})");

    std::vector<Json> down = TextFrames(groundSim, 3, 2s);
    std::vector<Json> up = TextFrames(upstairsSim, 3, 2s);
    ASSERT_EQ(down.size(), 2U);
    ASSERT_EQ(up.size(), 2U);
    std::set<std::string> downTexts = {down[0]["text"], down[1]["text"]};
    std::set<std::string> upTexts = {up[0]["text"], up[1]["text"]};
    EXPECT_EQ(downTexts, (std::set<std::string>{"ground", "closing at 6"}));
    EXPECT_EQ(upTexts, (std::set<std::string>{"first", "closing at 6"}));
}

TEST(GatewayMqtt, PagesPublishedWhileTheGatewayIsDownAreSentWhenItIsBack) {
    Folder folder;
    Broker broker(folder);
    SimProcess sim;
    {
        Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
        ASSERT_TRUE(WaitForBroker(gateway, true));
    }
    for (int i = 1; i <= 3; ++i) {
        broker.Publish("site/desk/pages", R"({"to":"5","text":"while away )" + std::to_string(i) + "\"}");
    }
    ASSERT_TRUE(TextFrames(sim, 1, 1s).empty());
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
    std::vector<Json> frames = TextFrames(sim, 3);
    ASSERT_EQ(frames.size(), 3U) << gateway.Log();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[static_cast<std::size_t>(i)]["text"], "while away " + std::to_string(i + 1));
    }
    EXPECT_NE(gateway.Log().find("(session kept)"), std::string::npos);
}

// A retained "offline" left on the running gateway's status topic by another client (a script, an old
// gateway's will) is replaced with "online" at once.
TEST(GatewayMqtt, AnOfflineStatusPublishedByAnotherClientIsPutRight) {
    Folder folder;
    Broker broker(folder);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
    ASSERT_TRUE(WaitForBroker(gateway, true));
    broker.Publish("site/desk/status", "", {"-r", "-m", "offline"});
    std::string retained;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline && retained != "online\n") {
        ChildProcess last({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.Port()),
                           "-t", "site/desk/status", "-C", "1", "-W", "2"});
        ASSERT_EQ(last.Wait(10s), 0);
        retained = last.Out();
    }
    EXPECT_EQ(retained, "online\n");
    EXPECT_NE(gateway.Log().find("\"offline\" is not this gateway's, which runs: online published again"),
              std::string::npos)
        << gateway.Log();
}

TEST(GatewayMqtt, TheBrokerStoppedAndStartedWhileTheGatewayRuns) {
    Folder folder;
    Broker broker(folder);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
    ASSERT_TRUE(WaitForBroker(gateway, true));

    broker.Stop();
    ASSERT_TRUE(WaitForBroker(gateway, false)) << gateway.Log();
    auto health = gateway.Client().Get("/v1/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 503);
    const Json body = Json::parse(health->body);
    EXPECT_EQ(body["status"], "broker not connected");
    EXPECT_FALSE(body["mqtt"]["problem"].get<std::string>().empty());
    EXPECT_NE(gateway.Client().Get("/metrics")->body.find("velkor_gateway_mqtt_up 0"), std::string::npos);
    // HTTP goes on meanwhile.
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "5"}, {"text", "by http"}}).first, 202);
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);

    broker.Start();
    ASSERT_TRUE(WaitForBroker(gateway, true, 40s)) << gateway.Log();
    broker.Publish("site/desk/pages", R"({"to":"5","text":"broker back"})");
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "broker back");
    EXPECT_EQ(gateway.Client().Get("/v1/health")->status, 200);
}

TEST(GatewayMqtt, SigkillRightAfterAPublishSendsThePageOnceAfterTheRestart) {
    Folder folder;
    Broker broker(folder);
    Subscription status(folder, broker, "site/desk/status");
    SimProcess sim;
    std::map<std::string, std::set<int>> numbers; // text: the sequence numbers it went out with
    auto collect = [&](std::chrono::milliseconds quiet) {
        for (const Json& frame : TextFrames(sim, 100, quiet)) {
            numbers[frame["text"]].insert(frame["sequence"].get<int>());
        }
    };
    constexpr int ROUNDS = 6;
    for (int round = 0; round < ROUNDS; ++round) {
        Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
        ASSERT_TRUE(WaitForBroker(gateway, true)) << gateway.Log();
        broker.Publish("site/desk/pages", R"({"to":"7","text":"kill )" + std::to_string(round) + "\"}");
        // From at once to a little later: the kill lands before, during and after the commit.
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
        EXPECT_EQ(gateway.Stop(SIGKILL), 128 + SIGKILL);
        collect(200ms);
    }
    // The last will, retained: a dead gateway shows as dead (once the broker has seen the connection end).
    {
        std::string will;
        Eventually(
            [&] {
                ChildProcess last({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p",
                                   std::to_string(broker.Port()), "-t", "site/desk/status", "-C", "1", "-W",
                                   "5"});
                will = last.Wait(10s) == 0 ? last.Out() : "";
                return will == "offline\n";
            },
            5s, 100ms);
        EXPECT_EQ(will, "offline\n");
    }
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/desk"));
    collect(3s);
    for (int round = 0; round < ROUNDS; ++round) {
        const std::string text = "kill " + std::to_string(round);
        ASSERT_TRUE(numbers.contains(text)) << text << " never sent\n" << gateway.Log();
        EXPECT_EQ(numbers[text].size(), 1U) << text << " went out under two numbers";
    }
    const Json pages = gateway.Get("/v1/pages?limit=100");
    EXPECT_EQ(pages["pages"].size(), static_cast<std::size_t>(ROUNDS)) << pages.dump(1);
}

TEST(GatewayMqtt, ABrokerRefusingTheLoginIsReportedAndTlsWithCertificatesWorks) {
    Folder folder;
    // A CA, the broker's certificate for 127.0.0.1 and the gateway's client certificate.
    ChildProcess certificates(
        {"/bin/sh", "-c",
         "set -e; cd \"$0\"; o=/usr/bin/openssl; "
         "$o req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj /CN=site-ca; "
         "for who in broker gateway; do "
         "$o req -newkey rsa:2048 -nodes -keyout $who.key -out $who.csr -subj /CN=$who; "
         "echo subjectAltName=IP:127.0.0.1 >$who.ext; "
         "$o x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out $who.crt -days 2 "
         "-extfile $who.ext; done",
         folder / ""});
    ASSERT_EQ(certificates.Wait(60s), 0) << certificates.Err();
    ChildProcess users({"/usr/bin/mosquitto_passwd", "-b", "-c", folder / "users", "desk", "right"});
    ASSERT_EQ(users.Wait(10s), 0) << users.Err();
    const int tlsPort = FreeLoopbackPort();
    Broker broker(folder, "password_file " + folder / "users" + "\nlistener " + std::to_string(tlsPort) +
                              " 127.0.0.1\ncafile " + folder / "ca.crt" + "\ncertfile " +
                              folder / "broker.crt" + "\nkeyfile " + folder / "broker.key" +
                              "\nrequire_certificate true\n");
    SimProcess sim;
    folder.Write("wrong", "wrong\n");
    folder.Write("right", "right\n");
    {
        Gateway refused(folder, sim.Link(),
                        {"--gap", "0", "--mqtt", broker.Url(), "--mqtt-topic", "site/desk", "--mqtt-user",
                         "desk", "--mqtt-password-file", folder / "wrong"});
        Json health;
        Eventually(
            [&] {
                health = refused.Get("/v1/health");
                return health["mqtt"].value("problem", "") != "";
            },
            5s, 50ms);
        EXPECT_EQ(health["mqtt"]["connected"], false);
        EXPECT_EQ(health["mqtt"]["problem"], "refused: Connection Refused: not authorised.") << refused.Log();
        EXPECT_EQ(refused.Post("/v1/pages", {{"to", "3"}, {"text", "http still"}}).first, 202);
        ASSERT_EQ(TextFrames(sim, 1).size(), 1U);
    }
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--mqtt", "mqtts://127.0.0.1:" + std::to_string(tlsPort), "--mqtt-topic",
                     "site/desk", "--mqtt-user", "desk", "--mqtt-password-file", folder / "right",
                     "--mqtt-ca", folder / "ca.crt", "--mqtt-cert", folder / "gateway.crt", "--mqtt-key",
                     folder / "gateway.key"});
    ASSERT_TRUE(WaitForBroker(gateway, true)) << gateway.Log();
    EXPECT_NE(gateway.Log().find("connected (TLS, "), std::string::npos);
    ChildProcess publisher({"/usr/bin/mosquitto_pub",
                            "-h",
                            "127.0.0.1",
                            "-p",
                            std::to_string(tlsPort),
                            "--cafile",
                            folder / "ca.crt",
                            "--cert",
                            folder / "broker.crt",
                            "--key",
                            folder / "broker.key",
                            "-u",
                            "desk",
                            "-P",
                            "right",
                            "-q",
                            "1",
                            "-t",
                            "site/desk/pages",
                            "-m",
                            R"({"to":"3","text":"over TLS"})"});
    ASSERT_EQ(publisher.Wait(10s), 0) << publisher.Err();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "over TLS");
}

// A broker played by the test, packet by packet, to see when the gateway acknowledges.
class ScriptedBroker {
public:
    ScriptedBroker() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int yes = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        ::listen(m_listener, 4);
    }
    ~ScriptedBroker() {
        Drop();
        ::close(m_listener);
    }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(m_port); }

    // Takes the gateway's connection and subscription; CONNACK says whether a session was kept.
    bool Accept(bool sessionPresent) {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 15000) != 1) {
            return false;
        }
        m_client = ::accept(m_listener, nullptr, nullptr);
        if (Next().type != 1) { // CONNECT
            return false;
        }
        Send({0x20, 0x02, static_cast<uint8_t>(sessionPresent ? 1 : 0), 0x00});
        Packet subscribe = Next();
        while (subscribe.type == 3) { // its own "online" first, perhaps
            subscribe = Next();
        }
        if (subscribe.type != 8) {
            return false;
        }
        Send({0x90, 0x04, subscribe.body[0], subscribe.body[1], 0x01, 0x01});
        return true;
    }
    void Publish(uint16_t id, const std::string& topic, const std::string& payload, bool again) {
        std::vector<uint8_t> body = {static_cast<uint8_t>(topic.size() >> 8),
                                     static_cast<uint8_t>(topic.size())};
        body.insert(body.end(), topic.begin(), topic.end());
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
        body.insert(body.end(), payload.begin(), payload.end());
        std::vector<uint8_t> packet = {static_cast<uint8_t>(again ? 0x3A : 0x32),
                                       static_cast<uint8_t>(body.size())};
        packet.insert(packet.end(), body.begin(), body.end());
        Send(packet);
    }
    // Reads until the PUBACK of `id`; false when the connection ends or 10 s pass first.
    bool WaitForPuback(uint16_t id) {
        for (Packet packet = Next(); packet.type != 0; packet = Next()) {
            if (packet.type == 4 && packet.body.size() == 2 && (packet.body[0] << 8 | packet.body[1]) == id) {
                return true;
            }
        }
        return false;
    }
    void Drop() {
        if (m_client >= 0) {
            ::close(m_client);
            m_client = -1;
        }
    }

private:
    struct Packet {
        int type = 0; // 0: none
        std::vector<uint8_t> body;
    };
    bool Read(uint8_t* bytes, std::size_t count) {
        while (count > 0) {
            pollfd ready{m_client, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) {
                return false;
            }
            const ssize_t got = ::read(m_client, bytes, count);
            if (got <= 0) {
                return false;
            }
            bytes += got;
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }
    Packet Next() {
        uint8_t header = 0;
        if (!Read(&header, 1)) {
            return {};
        }
        std::size_t length = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t byte = 0;
            if (!Read(&byte, 1)) {
                return {};
            }
            length |= static_cast<std::size_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                break;
            }
        }
        Packet packet{header >> 4, std::vector<uint8_t>(length)};
        if (!Read(packet.body.data(), length)) {
            return {};
        }
        return packet;
    }
    void Send(const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(::write(m_client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int m_listener = -1;
    int m_client = -1;
    int m_port = 0;
};

TEST(GatewayMqtt, AMessageIsAcknowledgedOnlyOnceStoredAndADeliveryMadeAgainIsNotQueuedTwice) {
    Folder folder;
    ScriptedBroker broker;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--mqtt", broker.Url(), "--mqtt-topic", "site/desk"});
    ASSERT_TRUE(broker.Accept(false)) << gateway.Log();
    const std::string page = R"({"to":"9","text":"bed 5"})";
    broker.Publish(7, "site/desk/pages", page, false);
    ASSERT_TRUE(broker.WaitForPuback(7)) << gateway.Log();
    // At the PUBACK the page is on disk already.
    EXPECT_EQ(gateway.Get("/v1/pages")["pages"].size(), 1U);

    // The connection goes before the broker has read the PUBACK; it delivers the message again.
    broker.Drop();
    ASSERT_TRUE(broker.Accept(true)) << gateway.Log();
    broker.Publish(7, "site/desk/pages", page, true);
    ASSERT_TRUE(broker.WaitForPuback(7));
    EXPECT_EQ(gateway.Get("/v1/pages")["pages"].size(), 1U);
    EXPECT_NE(gateway.Log().find("page 1 delivered again by mqtt site/desk/pages"), std::string::npos);

    // The same words in a new message are a new page.
    broker.Publish(8, "site/desk/pages", page, false);
    ASSERT_TRUE(broker.WaitForPuback(8));
    EXPECT_EQ(gateway.Get("/v1/pages")["pages"].size(), 2U);
    EXPECT_EQ(TextFrames(sim, 3, 2s).size(), 2U);
    EXPECT_EQ(gateway.Get("/v1/health")["mqtt"]["duplicates"], 1);
    broker.Drop();
}

} // namespace
} // namespace velkor

namespace velkor {
namespace {

// The database refuses (disk full) while messages come: none is acknowledged, the connection is cut, and
// once the disk has room each message is queued once, whatever PUBACKs had reached the socket before.
TEST(GatewayMqtt, MessagesOfAStorageFailureAreQueuedOnceWhenTheDiskHasRoomAgain) {
    Folder folder;
    SmallDisk disk(folder / "disk");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    Broker broker(folder);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), MqttOptions(broker, "site/floor1"), folder / "disk/gateway.db");
    ASSERT_TRUE(WaitForBroker(gateway, true)) << gateway.Log();
    broker.Publish("site/floor1/pages", R"({"to":"12","text":"before"})");
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);

    disk.Fill();
    constexpr int kPages = 200;
    std::string lines;
    for (int i = 1; i <= kPages; ++i) {
        lines += R"({"to":"12","text":"p)" + std::to_string(i) + "\"}\n";
    }
    ChildProcess publisher({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.Port()),
                            "-q", "1", "-t", "site/floor1/pages", "-l"},
                           {.input = lines});
    EXPECT_EQ(publisher.Wait(30s), 0) << publisher.Err();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(TextFrames(sim, 1, 500ms).empty()) << "nothing stored, nothing sent";
    disk.Free();

    std::map<std::string, int> seen;
    for (const Json& frame : TextFrames(sim, kPages, 40s)) {
        ++seen[frame["text"].get<std::string>()];
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kPages)) << gateway.Log();
    for (const auto& [text, times] : seen) {
        EXPECT_EQ(times, 1) << text << " sent " << times << " times";
    }
    EXPECT_TRUE(TextFrames(sim, 1, 2s).empty()) << "no page queued twice";
}

} // namespace
} // namespace velkor
