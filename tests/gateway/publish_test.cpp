// Tools that speak ntfy or Gotify page the watches with no glue: curl as ntfy's documentation uses it, and
// Debian's Apprise with ntfy:// and gotify:// addresses, against the real daemon and velkor-sim.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>

namespace velkor {
namespace {

const std::string WATCHES =
    "name,address,groups\nkitchen,0.0.1.1,cooks\ncook-2,0.0.1.2,cooks\nnas,0.0.0.9,\n";

// curl with `arguments`; its output with the status on a last line of its own.
std::string Curl(int port, const std::string& path, std::vector<std::string> arguments) {
    std::vector<std::string> command = {"/usr/bin/curl", "-sS", "-w", "\n%{http_code}"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    ChildProcess curl(command);
    EXPECT_EQ(curl.Wait(20s), 0) << curl.Err();
    return curl.Out();
}

// Everything before curl's status line, as JSON.
Json Answer(const std::string& out) {
    return Json::parse(out.substr(0, out.rfind('\n')), nullptr, false);
}

TEST(Publish, CurlPublishesAsNtfysDocumentationDoes) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--watches", folder / "watches.csv"});
    const int port = gateway.HttpPort();
    std::string out = Curl(port, "/kitchen", {"-d", "备菜"});
    ASSERT_TRUE(out.ends_with("\n200")) << out;
    Json answer = Answer(out);
    EXPECT_EQ(answer["event"], "message");
    EXPECT_EQ(answer["topic"], "kitchen");
    EXPECT_EQ(answer["message"], "备菜");
    EXPECT_TRUE(answer["id"].is_string());
    EXPECT_TRUE(answer["time"].is_number_integer());
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.1.1");
    EXPECT_EQ(frames[0]["text"], "备菜");

    // Title and priority as headers, and as the query; a group is a topic too; urgent goes first.
    out = Curl(port, "/cooks",
               {"-H", "Title: 3号桌", "-H", "Priority: 5", "-H", "Tags: warning,skull", "-d", "加急"});
    answer = Answer(out);
    EXPECT_EQ(answer["priority"], 5) << out;
    EXPECT_EQ(answer["tags"], Json::array({"warning", "skull"}));
    frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["text"], "3号桌: 加急");
    const Json page = gateway.Get("/v1/pages/" + answer["id"].get<std::string>());
    EXPECT_EQ(page["priority"], "high") << page.dump();
    EXPECT_NE(page["source"].get<std::string>().find("ntfy cooks"), std::string::npos);
    out = Curl(port, "/nas?title=NAS&priority=low", {"-X", "PUT", "-d", "磁盘已满"});
    EXPECT_TRUE(out.ends_with("\n200")) << out;
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "NAS: 磁盘已满");
    // ntfy's JSON to the root.
    out = Curl(port, "/", {"-d", R"({"topic":"kitchen","message":"收档","title":"晚市","priority":4})"});
    EXPECT_EQ(Answer(out)["title"], "晚市") << out;
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "晚市: 收档");

    // What is no topic, and what ntfy refuses too, in ntfy's shape; nothing queued.
    out = Curl(port, "/bar", {"-d", "x"});
    EXPECT_TRUE(out.ends_with("\n404")) << out;
    EXPECT_EQ(Answer(out)["http"], 404);
    EXPECT_NE(Answer(out)["error"].get<std::string>().find("\"bar\""), std::string::npos) << out;
    out = Curl(port, "/kitchen", {"-H", "Priority: loud", "-d", "x"});
    EXPECT_TRUE(out.ends_with("\n400")) << out;
    EXPECT_EQ(Answer(out)["code"], 40001);
    out = Curl(port, "/", {"-d", R"({"message":"no topic"})"});
    EXPECT_TRUE(out.ends_with("\n400")) << out;
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
    // The API's own routes are not topics.
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "kitchen"}, {"text", "still the API"}}).first, 202);
}

TEST(Publish, GotifysMessageWithTheKeysRecipientAndTokensAsItsClientsSendThem) {
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("tokens", "ups up5-token send to=kitchen\nnas n4s-token send to=nas\nwall w4ll read\n");
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0600));
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--token-file", folder / "tokens"});
    const int port = gateway.HttpPort();
    std::string out = Curl(port, "/message?token=up5-token",
                           {"-F", "title=UPS", "-F", "message=市电中断", "-F", "priority=8"});
    ASSERT_TRUE(out.ends_with("\n200")) << out;
    Json answer = Answer(out);
    EXPECT_EQ(answer["message"], "市电中断");
    EXPECT_EQ(answer["priority"], 8);
    EXPECT_TRUE(answer["id"].is_number_integer());
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.1.1");
    EXPECT_EQ(frames[0]["text"], "UPS: 市电中断");
    auto read = gateway.Client().Get("/v1/pages/" + std::to_string(answer["id"].get<int64_t>()),
                                     {{"Authorization", "Bearer w4ll"}});
    ASSERT_TRUE(read);
    const Json page = Json::parse(read->body, nullptr, false);
    EXPECT_EQ(page.value("priority", ""), "high") << read->body;
    EXPECT_EQ(page.value("key", ""), "ups");

    // JSON with X-Gotify-Key; ?to= instead of the key's own recipient.
    out = Curl(port, "/message?to=cook-2",
               {"-H", "X-Gotify-Key: n4s-token", "-H", "Content-Type: application/json", "-d",
                R"({"message":"备份完成","priority":2})"});
    ASSERT_TRUE(out.ends_with("\n200")) << out;
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.1.2");
    // ntfy's keys: Basic with the token as the password, and Bearer.
    out = Curl(port, "/kitchen", {"-u", "whoever:up5-token", "-d", "备菜"});
    EXPECT_TRUE(out.ends_with("\n200")) << out;
    out = Curl(port, "/kitchen", {"-H", "Authorization: Bearer n4s-token", "-d", "备菜"});
    EXPECT_TRUE(out.ends_with("\n200")) << out;
    EXPECT_EQ(TextFrames(sim, 2).size(), 2U);

    // Refused: no key, a wrong one, a key that may only read, no message.
    EXPECT_TRUE(Curl(port, "/message", {"-F", "message=x"}).ends_with("\n401"));
    EXPECT_TRUE(Curl(port, "/message?token=wrong", {"-F", "message=x"}).ends_with("\n401"));
    EXPECT_TRUE(Curl(port, "/message?token=w4ll", {"-F", "message=x"}).ends_with("\n403"));
    EXPECT_TRUE(Curl(port, "/kitchen", {"-d", "x"}).ends_with("\n401"));
    out = Curl(port, "/message?token=up5-token", {"-F", "title=only"});
    EXPECT_TRUE(out.ends_with("\n400")) << out;
    EXPECT_EQ(Answer(out)["errorCode"], 400);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
}

TEST(Publish, AppriseNotifiesThroughNtfyAndGotify) {
    if (!std::filesystem::exists("/usr/bin/apprise")) {
        GTEST_SKIP() << "needs Debian's apprise";
    }
    Folder folder;
    folder.Write("watches.csv", WATCHES);
    folder.Write("tokens", "kuma kuma-token send to=nas\nwall w4ll read\n");
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0600));
    SimProcess sim;
    Gateway gateway(folder, sim.Link(),
                    {"--gap", "0", "--watches", folder / "watches.csv", "--token-file", folder / "tokens"});
    const std::string host = "127.0.0.1:" + std::to_string(gateway.HttpPort());
    ChildProcess ntfy({"/usr/bin/apprise", "-vv", "-t", "Uptime", "-b", "网站宕机",
                       "ntfy://kuma:kuma-token@" + host + "/kitchen?priority=high"});
    EXPECT_EQ(ntfy.Wait(30s), 0) << ntfy.Out() << ntfy.Err();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U) << gateway.Log();
    EXPECT_EQ(frames[0]["address"], "0.0.1.1");
    EXPECT_EQ(frames[0]["text"], "Uptime: 网站宕机");
    auto read = gateway.Client().Get("/v1/pages?limit=1", {{"Authorization", "Bearer w4ll"}});
    ASSERT_TRUE(read);
    EXPECT_NE(read->body.find("\"priority\":\"high\""), std::string::npos) << read->body;

    ChildProcess gotify(
        {"/usr/bin/apprise", "-vv", "-t", "NAS", "-b", "磁盘已满", "gotify://" + host + "/kuma-token"});
    EXPECT_EQ(gotify.Wait(30s), 0) << gotify.Out() << gotify.Err();
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U) << gateway.Log();
    EXPECT_EQ(frames[0]["address"], "0.0.0.9");
    EXPECT_EQ(frames[0]["text"], "NAS: 磁盘已满");

    // A refusal is a failure Apprise reports, not a success.
    ChildProcess unknown({"/usr/bin/apprise", "-b", "x", "ntfy://kuma:kuma-token@" + host + "/nobody"});
    EXPECT_NE(unknown.Wait(30s), 0);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
}

} // namespace
} // namespace velkor
