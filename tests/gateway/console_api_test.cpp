// The API the console is built on, from outside: event streams, keys and their scopes, groups, quick texts
// and search, against the gateway and velkor-sim.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor {
namespace {

struct SseEvent {
    std::string id;
    std::string type;
    std::string text; // the data line
    Json Data() const { return Json::parse(text, nullptr, false); }
};

// One event stream read over a raw connection, as a browser's fetch reads it.
class EventStream {
public:
    EventStream(int port, const std::string& lastId = "", const std::string& token = "")
        : m_fd(ConnectLoopback(port)) {
        std::string request = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!lastId.empty()) {
            request += "Last-Event-ID: " + lastId + "\r\n";
        }
        if (!token.empty()) {
            request += "Authorization: Bearer " + token + "\r\n";
        }
        request += "\r\n";
        if (m_fd >= 0) {
            ::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL);
        }
    }
    ~EventStream() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // The answer's status line and headers, once read.
    std::string Head(std::chrono::milliseconds timeout = 5s) {
        ReadUntil([this] { return m_in.find("\r\n\r\n") != std::string::npos; }, timeout);
        return m_in.substr(0, m_in.find("\r\n\r\n"));
    }
    // The next event of `type` (others are kept for later), or nullopt after `timeout`.
    std::optional<SseEvent> Next(const std::string& type, std::chrono::milliseconds timeout = 5s) {
        std::optional<SseEvent> found;
        ReadUntil(
            [&] {
                Parse();
                for (auto it = m_events.begin(); it != m_events.end(); ++it) {
                    if (it->type == type) {
                        found = *it;
                        m_events.erase(it);
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }
    // True once the gateway has closed the stream.
    bool Closed(std::chrono::milliseconds timeout) {
        ReadUntil([this] { return m_closed; }, timeout);
        return m_closed;
    }

private:
    template <typename Done> void ReadUntil(Done done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done() && !m_closed && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                m_closed = true;
                break;
            }
            m_in.append(buffer, static_cast<std::size_t>(got));
        }
    }
    // Events from the body (the chunk sizes between them are skipped: they are lines of hex digits).
    void Parse() {
        std::size_t end;
        while ((end = m_in.find("\n\n", m_parsed)) != std::string::npos) {
            SseEvent event;
            std::size_t at = m_parsed;
            while (at < end) {
                std::size_t lineEnd = m_in.find('\n', at);
                std::string line = m_in.substr(at, lineEnd - at);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (line.starts_with("id: ")) {
                    event.id = line.substr(4);
                } else if (line.starts_with("event: ")) {
                    event.type = line.substr(7);
                } else if (line.starts_with("data: ")) {
                    event.text = line.substr(6);
                }
                at = lineEnd + 1;
            }
            if (!event.type.empty()) {
                m_events.push_back(event);
            }
            m_parsed = end + 2;
        }
    }

    int m_fd;
    std::string m_in;
    std::size_t m_parsed = 0;
    std::vector<SseEvent> m_events;
    bool m_closed = false;
};

constexpr const char* WATCHES = "name,address,groups\n"
                                "cook-1,0.0.0.1,kitchen\n"
                                "cook-2,0.0.0.2,kitchen;floor-2\n"
                                "waiter,0.0.0.3,floor-2\n";

TEST(ConsoleApi, EventsTellEachChangeAndAReconnectMissesNothing) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    std::string last;
    {
        EventStream stream(gateway.HttpPort());
        EXPECT_NE(stream.Head().find("Content-Type: text/event-stream"), std::string::npos) << stream.Head();
        const std::optional<SseEvent> health = stream.Next("health");
        ASSERT_TRUE(health);
        EXPECT_EQ(health->Data()["status"], "ok");
        const int64_t id = gateway.Post("/v1/pages", {{"to", "7"}, {"text", "first"}}).second["id"];
        // Queued, then sent (told once, as it is then, when both came before the first was read).
        std::optional<SseEvent> page;
        while ((page = stream.Next("page")) && page->Data()["state"] != "sent") {
            EXPECT_EQ(page->Data()["state"], "queued");
        }
        ASSERT_TRUE(page);
        EXPECT_EQ(page->Data()["id"], id);
        EXPECT_EQ(page->Data()["text"], "first");
        last = page->id;
    }
    // Two pages while no console listens: a reconnect with the last id it saw gets both, in order.
    const int64_t second = gateway.Post("/v1/pages", {{"to", "7"}, {"text", "second"}}).second["id"];
    gateway.WaitForState(second, "sent");
    const int64_t third = gateway.Post("/v1/pages", {{"to", "7"}, {"text", "third"}}).second["id"];
    gateway.WaitForState(third, "sent");
    EventStream again(gateway.HttpPort(), last);
    std::vector<std::pair<int64_t, std::string>> seen;
    while (seen.empty() || seen.back() != std::pair<int64_t, std::string>{third, "sent"}) {
        const std::optional<SseEvent> page = again.Next("page");
        ASSERT_TRUE(page) << seen.size();
        seen.emplace_back(page->Data()["id"].get<int64_t>(), page->Data()["state"].get<std::string>());
    }
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::pair<int64_t, std::string>{second, "sent"}),
              seen.end());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "in the order they happened, none of before";
    // An id of another run (or one no longer kept) says: reload.
    EventStream stale(gateway.HttpPort(), "1-5");
    EXPECT_TRUE(stale.Next("reload"));
    // The port lost: a health event says so within a few seconds.
    sim.Stop();
    std::optional<SseEvent> health;
    while ((health = again.Next("health", 5s)) && health->Data()["status"] == "ok") {
    }
    ASSERT_TRUE(health);
    EXPECT_EQ(health->Data()["status"], "port closed");
}

TEST(ConsoleApi, APageToAGroupIsSendingUntilItsLastFrameIsOut) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "300", "--watches", folder / "watches.csv"});
    EventStream stream(gateway.HttpPort());
    ASSERT_TRUE(stream.Next("health"));
    const int64_t id = gateway.Post("/v1/pages", {{"to", "kitchen"}, {"text", "取餐"}}).second["id"];
    std::vector<std::string> states;
    std::optional<SseEvent> page;
    while ((page = stream.Next("page")) && page->Data()["state"] != "sent") {
        EXPECT_EQ(page->Data()["id"], id);
        states.emplace_back(page->Data().value("sending", false) ? "sending" : "queued");
    }
    ASSERT_TRUE(page);
    EXPECT_EQ(states.back(), "sending") << "two frames 300 ms apart: the page was seen going out";
    EXPECT_EQ(gateway.Get("/v1/pages/" + std::to_string(id)).value("sending", false), false);
}

TEST(ConsoleApi, StreamsPastTheCapAreRefusedAndAStopEndsEveryStreamAtOnce) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    std::vector<std::unique_ptr<EventStream>> streams;
    for (int i = 0; i < 64; ++i) {
        streams.push_back(std::make_unique<EventStream>(gateway.HttpPort()));
        ASSERT_TRUE(streams.back()->Next("health")) << i;
    }
    EventStream over(gateway.HttpPort());
    EXPECT_EQ(over.Head().substr(0, 12), "HTTP/1.1 503");
    // The API still answers beside the 64 streams.
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "7"}, {"text", "beside"}}).first, 202);
    EXPECT_TRUE(streams.front()->Next("page"));
    // Consoles closed give their streams back within a second or two, not at the next quiet 15 s.
    streams.pop_back();
    streams.pop_back();
    for (int i = 0; i < 2; ++i) {
        // A stream asked for before the slot is given back is refused and asked for again.
        EXPECT_TRUE(Eventually(
            [&] {
                auto stream = std::make_unique<EventStream>(gateway.HttpPort());
                if (stream->Head().substr(0, 12) != "HTTP/1.1 200") {
                    return false;
                }
                streams.push_back(std::move(stream));
                return true;
            },
            3s, 100ms))
            << "a closed stream kept its slot";
    }
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(gateway.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s) << "streams waiting 15 s for news held it up";
    for (auto& stream : streams) {
        EXPECT_TRUE(stream->Closed(1s));
    }
}

TEST(ConsoleApi, KeysScopesDecideWhatEachMayDo) {
    Folder folder;
    folder.Write("tokens", "desk d3sk send,read\nwall w4ll read\nlead l34d send,read,admin\nold 0ld\n");
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0600));
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "500", "--token-file", folder / "tokens"});
    httplib::Client& client = gateway.Client();
    const auto as = [](const std::string& token) {
        return httplib::Headers{{"Authorization", "Bearer " + token}};
    };
    const auto post = [&](const std::string& token, const std::string& text) {
        auto result =
            client.Post("/v1/pages", as(token), Json{{"to", "7"}, {"text", text}}.dump(), "application/json");
        return std::pair{result->status, Json::parse(result->body, nullptr, false)};
    };

    // The console's files hold no secret; every API request needs a key that may do it.
    EXPECT_EQ(client.Get("/")->status, 200);
    const auto keyless = client.Get("/v1/key");
    EXPECT_EQ(keyless->status, 401);
    EXPECT_EQ(Json::parse(keyless->body)["code"], "token_needed");
    EXPECT_EQ(Json::parse(client.Get("/v1/key", as("n0t-a-key"))->body)["code"], "token_unknown");
    EXPECT_EQ(Json::parse(client.Get("/v1/key", as("w4ll"))->body),
              (Json{{"required", true}, {"name", "wall"}, {"scopes", {"read"}}}));
    const auto [refused, why] = post("w4ll", "from the wall");
    EXPECT_EQ(refused, 403);
    EXPECT_EQ(why["error"], "the key \"wall\" may not send; its scopes: read");
    EXPECT_EQ(why["code"], "scope_missing");
    EXPECT_EQ(client.Get("/v1/pages", as("w4ll"))->status, 200);

    // A page records its key; its sender may cancel it, another sender may not, an admin may.
    const int64_t first = post("d3sk", "hold").second["id"];
    const int64_t mine = post("d3sk", "mine").second["id"];
    const int64_t others = post("0ld", "others").second["id"];
    EXPECT_EQ(Json::parse(client.Get("/v1/pages/" + std::to_string(mine), as("w4ll"))->body)["key"], "desk");
    EXPECT_EQ(client.Delete("/v1/pages/" + std::to_string(others), as("d3sk"))->status, 403);
    EXPECT_EQ(client.Delete("/v1/pages/" + std::to_string(mine), as("d3sk"))->status, 200);
    EXPECT_EQ(client.Delete("/v1/pages/" + std::to_string(others), as("l34d"))->status, 200);
    EXPECT_EQ(client.Post("/v1/time", as("d3sk"), "", "application/json")->status, 403);
    EXPECT_EQ(client.Post("/v1/time", as("l34d"), "", "application/json")->status, 202);
    gateway.WaitForState(first, "sent");
    EventStream stream(gateway.HttpPort(), "", "w4ll");
    EXPECT_TRUE(stream.Next("health"));
    EventStream none(gateway.HttpPort());
    EXPECT_EQ(none.Head().substr(0, 12), "HTTP/1.1 401");

    // SNPP sends pages: a read key cannot log in.
    const int fd = ConnectLoopback(gateway.SnppPort());
    ASSERT_GE(fd, 0);
    const std::string login = "LOGI wall w4ll\r\nQUIT\r\n";
    ::send(fd, login.data(), login.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[512];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    EXPECT_NE(answer.find("\r\n550"), std::string::npos) << answer;
}

TEST(ConsoleApi, GroupsQuickTextsAndSearch) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("texts.csv", "label,text,to\n取餐,3号桌请取餐,kitchen\n前台,请到前台\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--texts", folder / "texts.csv"});
    const Json watches = gateway.Get("/v1/watches");
    EXPECT_EQ(watches["groups"], Json::parse(R"([{"name":"floor-2","members":["cook-2","waiter"]},
                                                 {"name":"kitchen","members":["cook-1","cook-2"]}])"));
    EXPECT_EQ(watches["watches"][1], Json::parse(R"({"name":"cook-2","address":"0.0.0.2",
                                                    "groups":["kitchen","floor-2"]})"));
    EXPECT_EQ(gateway.Get("/v1/texts")["texts"][0],
              Json::parse(R"({"label":"取餐","text":"3号桌请取餐","to":"kitchen"})"));

    // A group is each of its members: one frame to each.
    const auto [status, page] = gateway.Post("/v1/pages", {{"to", "floor-2"}, {"text", "5床呼叫"}});
    ASSERT_EQ(status, 202) << page.dump();
    std::vector<std::string> to;
    for (const Json& frame : TextFrames(sim, 2)) {
        to.push_back(frame["address"]);
    }
    EXPECT_EQ(to, (std::vector<std::string>{"0.0.0.2", "0.0.0.3"}));
    gateway.Post("/v1/pages", {{"to", "cook-1"}, {"text", "50% off_today"}});

    // Search: by text, by a recipient's name, with LIKE's wildcards taken as written.
    const auto found = [&](const std::string& query) {
        std::vector<std::string> texts;
        const Json answer = gateway.Get("/v1/pages?q=" + query);
        for (const Json& listed : answer["pages"]) {
            texts.push_back(listed["text"]);
        }
        return texts;
    };
    EXPECT_EQ(found("%E5%BA%8A"), (std::vector<std::string>{"5床呼叫"})); // 床
    EXPECT_EQ(found("waiter"), (std::vector<std::string>{"5床呼叫"}));
    EXPECT_EQ(found("0%25"), (std::vector<std::string>{"50% off_today"}));
    EXPECT_EQ(found("o_f"), (std::vector<std::string>{})) << "_ is a letter here, not any letter";
    EXPECT_EQ(found("f_t"), (std::vector<std::string>{"50% off_today"}));
    EXPECT_EQ(gateway.Get("/v1/pages?q=c&limit=1")["next"], "/v1/pages?q=c&limit=1&before=2");

    // A quick texts file with faults: each with its line, and no gateway.
    folder.Write("bad.csv", "label,text\n,没有标签\nlong," + std::string(85, 'x') + "\none\n");
    ChildProcess refused({VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "other.db", "--http",
                          "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--snpp", "off", "--texts",
                          folder / "bad.csv"});
    EXPECT_EQ(refused.Wait(10s), 1);
    EXPECT_NE(refused.Err().find("bad.csv:2: a label is needed"), std::string::npos) << refused.Err();
    EXPECT_NE(refused.Err().find("bad.csv:3: text: "), std::string::npos) << refused.Err();
    EXPECT_NE(refused.Err().find("bad.csv:4: label,text or label,text,to"), std::string::npos)
        << refused.Err();
}

} // namespace
} // namespace velkor
