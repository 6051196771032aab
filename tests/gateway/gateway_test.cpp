// velkor-gateway as a site runs it: the real program on a pseudo-terminal played by velkor-sim, fed by
// HTTP, curl, HylaFAX's sendpage and Perl's Net::SNPP, unplugged, stalled and killed.

#include "gateway/gateway_harness.h"
#include "serial/sequence_store.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/pty_pair.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <regex>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

TEST(Gateway, PagesFromHttpAndCurlReachTheWatchesAsTheTextPageSendsThem) {
    Folder folder;
    folder.Write("watches.csv", "name,address,room\nnurse-3,0.0.0.12,ward 1\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--watches", folder / "watches.csv"});

    auto [status, answer] = gateway.Post("/v1/pages", {{"to", "nurse-3"}, {"text", "3号桌请取餐"}});
    ASSERT_EQ(status, 202) << answer.dump();
    EXPECT_EQ(answer["state"], "queued");
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["bytes"], "5A 01 00 00 00 0C E0 0B 33 BA C5 D7 C0 C7 EB C8 A1 B2 CD 35");
    EXPECT_EQ(frames[0]["valid"], true);

    Json page = gateway.WaitForState(answer["id"], "sent");
    EXPECT_EQ(page["to"][0]["name"], "nurse-3");
    ASSERT_EQ(page["frames"].size(), 1U);
    EXPECT_EQ(page["frames"][0]["sequence"], 1);
    EXPECT_EQ(page["frames"][0]["state"], "sent");

    // A shell script's page: curl with a plain-text body and the recipient in the query.
    ChildProcess curl(
        {"/usr/bin/curl", "-sS", "-d", "厨房: 5号桌",
         "http://127.0.0.1:" + std::to_string(gateway.HttpPort()) + "/v1/pages?to=12&priority=high"});
    ASSERT_EQ(curl.Wait(10s), 0) << curl.Err();
    EXPECT_EQ(Json::parse(curl.Out())["state"], "queued");
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "厨房: 5号桌");
    EXPECT_EQ(frames[0]["sequence"], 2);
    EXPECT_EQ(frames[0]["address"], "0.0.0.12");

    // The time, as the wireless page sends it: number 0, to every watch.
    ASSERT_EQ(gateway.Post("/v1/time", Json::object()).first, 202);
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["command"], "set_time");
    EXPECT_EQ(frames[0]["address"], "255.255.255.255");

    // SIGHUP reads the watch list again; a list that cannot be read leaves the old one in place.
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "bed-4"}, {"text", "x"}}).first, 422);
    folder.Write("watches.csv", "name,address\nnurse-3,0.0.0.12\nbed-4,0.0.0.4\n");
    gateway.Signal(SIGHUP);
    int reloaded = 0;
    for (int i = 0; i < 50 && reloaded != 202; ++i) {
        std::this_thread::sleep_for(100ms);
        reloaded = gateway.Post("/v1/pages", {{"to", "bed-4"}, {"text", "床4"}}).first;
    }
    EXPECT_EQ(reloaded, 202);
    folder.Write("watches.csv", "name\nbroken\n");
    gateway.Signal(SIGHUP);
    for (int i = 0; i < 100 && gateway.Log().find("watch list not read again") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(gateway.Log().find("watch list not read again, the old one stays"), std::string::npos);
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "bed-4"}, {"text", "still"}}).first, 202);
    ASSERT_EQ(TextFrames(sim, 2).size(), 2U);

    // The simulator sees a frame as the write ends, a moment before the gateway has counted it.
    std::string metrics;
    for (int i = 0; i < 100; ++i) {
        metrics = gateway.Client().Get("/metrics")->body;
        if (metrics.find("velkor_gateway_frames_written_total 5") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(metrics.find("velkor_gateway_pages{state=\"sent\"} 5"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("velkor_gateway_frames_written_total 5"), std::string::npos);
    EXPECT_NE(metrics.find("velkor_gateway_port_up 1"), std::string::npos);
    EXPECT_EQ(gateway.Stop(), 0);
    EXPECT_NE(gateway.Log().find("page 1 frame 1/1 to 0.0.0.12 (nurse-3), sequence 1: sent"),
              std::string::npos);
}

struct Refusal {
    const char* name;
    std::string method;
    std::string path;
    std::string body;
    std::string type;
    int status;
    std::string error; // the start of the error text
};

TEST(Gateway, HttpRefusesBadRequestsNamingTheField) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    auto [status, sent] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "first"}});
    ASSERT_EQ(status, 202);
    gateway.WaitForState(sent["id"], "sent");
    const std::string json = "application/json";
    const std::vector<Refusal> rows = {
        {"not json", "POST", "/v1/pages", "{to:", json, 400, "the body is not JSON"},
        {"an array", "POST", "/v1/pages", "[1]", json, 400, "the body is not a JSON object"},
        {"no to", "POST", "/v1/pages", R"({"text":"a"})", json, 422, "to: missing"},
        {"no text", "POST", "/v1/pages", R"({"to":"1"})", json, 422, "text: missing"},
        {"unknown name", "POST", "/v1/pages", R"({"to":"nurse-9","text":"a"})", json, 422,
         "to: no watch or group is named \"nurse-9\""},
        {"bad address", "POST", "/v1/pages", R"({"to":["1","1.2.3.400"],"text":"a"})", json, 422,
         "to: no watch"},
        {"to a number", "POST", "/v1/pages", R"({"to":12,"text":"a"})", json, 422, "to: a watch"},
        {"too long", "POST", "/v1/pages", R"({"to":"1","text":")" + std::string(85, 'x') + "\"}", json, 422,
         "text: the text is 85 bytes in GBK"},
        {"empty text", "POST", "/v1/pages", R"({"to":"1","text":""})", json, 422, "text: the text is empty"},
        {"control", "POST", "/v1/pages", R"({"to":"1","text":"a\u0007"})", json, 422,
         "text: the text has the control character U+0007"},
        {"priority", "POST", "/v1/pages", R"({"to":"1","text":"a","priority":"urgent"})", json, 422,
         "priority:"},
        {"ttl", "POST", "/v1/pages", R"({"to":"1","text":"a","ttl":0})", json, 422, "ttl:"},
        {"repeat", "POST", "/v1/pages", R"({"to":"1","text":"a","repeat":{"every":7,"count":2}})", json, 422,
         "repeat:"},
        {"unknown field", "POST", "/v1/pages", R"({"to":"1","text":"a","priorty":"high"})", json, 422,
         "unknown field \"priorty\""},
        {"plain without to", "POST", "/v1/pages", "hello", "text/plain", 422, "to: missing"},
        {"plain bad ttl", "POST", "/v1/pages?to=1&ttl=x", "hello", "text/plain", 422, "ttl:"},
        {"17 kB", "POST", "/v1/pages", std::string(17 * 1024, 'x'), "text/plain", 413, "the body is larger"},
        {"no such page", "GET", "/v1/pages/999", "", "", 404, "no page 999"},
        {"not an id", "GET", "/v1/pages/abc", "", "", 404, "no page abc"},
        {"bad state", "GET", "/v1/pages?state=lost", "", "", 422, "state:"},
        {"bad limit", "GET", "/v1/pages?limit=0", "", "", 422, "limit:"},
        {"cancel sent", "DELETE", "/v1/pages/1", "", "", 409, "page 1 is sent"},
        {"no route", "GET", "/v2/pages", "", "", 404, "no such resource"},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.name);
        httplib::Result result = row.method == "POST"
                                     ? gateway.Client().Post(row.path.c_str(), row.body, row.type.c_str())
                                 : row.method == "DELETE" ? gateway.Client().Delete(row.path.c_str())
                                                          : gateway.Client().Get(row.path.c_str());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, row.status) << result->body;
        Json body = Json::parse(result->body, nullptr, false);
        ASSERT_TRUE(body.is_object()) << result->body;
        EXPECT_EQ(body.value("error", "").substr(0, row.error.size()), row.error) << result->body;
    }
    EXPECT_EQ(gateway.Get("/v1/pages")["pages"].size(), 1U) << "nothing refused was queued";
    EXPECT_TRUE(TextFrames(sim, 2, 500ms).size() == 1U) << "only the first page reached the wire";
}

// curl as a client runs it: the status, then the body.
std::pair<int, std::string> Curl(int port, std::vector<std::string> args) {
    std::vector<std::string> command = {"/usr/bin/curl", "-sS", "-o", "-", "-w", "\n%{http_code}"};
    command.insert(command.end(), args.begin(), args.end());
    for (std::string& arg : command) {
        const std::size_t at = arg.find("PORT");
        if (at != std::string::npos) {
            arg.replace(at, 4, std::to_string(port));
        }
    }
    ChildProcess curl(command);
    curl.Wait(15s);
    const std::string& out = curl.Out();
    const std::size_t last = out.rfind('\n');
    return {last == std::string::npos ? 0 : std::atoi(out.c_str() + last + 1), out.substr(0, last)};
}

// What the third outside attack found: one request or one login that ended the gateway or poisoned its
// database, bodies read as options, misleading answers. The gateway answers each with a reason in valid
// JSON, and serves on.
TEST(Gateway, HostileRequestsAreAnsweredWithAReasonAndTheGatewayServesOn) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    const int port = gateway.HttpPort();
    const std::string base = "http://127.0.0.1:PORT";
    struct Row {
        std::string name;
        std::vector<std::string> args;
        int status;
        std::string error;
        std::string code;       // the stable code beside the English
        std::string field = ""; // the field at fault, when there is one
    };
    const std::vector<Row> rows = {
        {"a path not UTF-8", {base + "/%FF"}, 404, "no such resource: GET /\xEF\xBF\xBD", "no_such_resource"},
        {"an id not UTF-8", {base + "/v1/pages/%FF"}, 404, "no page \xEF\xBF\xBD", "no_such_page"},
        {"a cancel not UTF-8",
         {"-X", "DELETE", base + "/v1/pages/%FF%FE"},
         404,
         "no page \xEF\xBF\xBD\xEF\xBF\xBD",
         "no_such_page"},
        {"a recipient not UTF-8",
         {"-H", "Content-Type: text/plain", "--data-binary", "hi", base + "/v1/pages?to=%FF"},
         422,
         "to: no watch or group is named \"\xEF\xBF\xBD\"",
         "unknown_recipient",
         "to"},
        {"PUT",
         {"-X", "PUT", base + "/v1/pages"},
         405,
         "PUT is not a method of /v1/pages (GET, POST)",
         "method_not_allowed"},
        {"PATCH with a body",
         {"-X", "PATCH", "-d", "x", base + "/v1/pages/1"},
         405,
         "PATCH is not a method",
         "method_not_allowed"},
        {"a header of 100 kB",
         {"-H", "X-Big: " + std::string(100 * 1024, 'a'), base + "/v1/health"},
         431,
         "a header line is longer than 8 kB",
         "header_too_large"},
        {"a negative length",
         {"-H", "Content-Length: -5", "-d", "", base + "/v1/pages?to=1"},
         400,
         "Content-Length is not a number of bytes: -5",
         "bad_content_length"},
        {"two lengths",
         {"-H", "Content-Length: 5", "-H", "Content-Length: 6", "--data-binary", "hello",
          base + "/v1/pages?to=1"},
         400,
         "more than one Content-Length header",
         "duplicate_content_length"},
        {"a NUL in a search",
         {base + "/v1/pages?q=%00"},
         422,
         "q: no text holds a NUL byte (%00)",
         "invalid",
         "q"},
        {"a page's body over 16 kB",
         {"--data-binary", std::string(20 * 1024, 'a'), base + "/v1/pages?to=1"},
         413,
         "the body is larger than 16 kB",
         "body_too_large"},
        {"rounds past the ttl",
         {"-H", "Content-Type: application/json", "-d",
          R"({"to":"1","text":"a","ttl":12,"repeat":{"every":5,"count":5}})", base + "/v1/pages"},
         422,
         "ttl: 12 s ends the page before its last round (5 rounds every 5 s take 20 s)",
         "ttl_before_last_round",
         "ttl"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto [status, body] = Curl(port, row.args);
        EXPECT_EQ(status, row.status) << body;
        const Json answer = Json::parse(body, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << body;
        EXPECT_EQ(answer.value("error", "").substr(0, row.error.size()), row.error) << body;
        EXPECT_EQ(answer.value("code", ""), row.code) << body;
        EXPECT_EQ(answer.value("field", ""), row.field) << body;
    }
    // Each refusal counted by its reason, and logged.
    const std::string metrics = gateway.Client().Get("/metrics")->body;
    for (const char* counted :
         {"{listener=\"http\",reason=\"bad_request\"} 2", "{listener=\"http\",reason=\"body_too_large\"} 1",
          "{listener=\"http\",reason=\"method\"} 2"}) {
        EXPECT_NE(metrics.find(std::string("velkor_gateway_refused_total") + counted), std::string::npos)
            << counted << "\n"
            << metrics;
    }
    EXPECT_NE(gateway.Log().find("http refused (bad_request): POST /v1/pages from 127.0.0.1:"),
              std::string::npos);
    // Several byte ranges of a static answer are served as the answer once; one range as asked.
    for (const auto& [range, status, size] :
         {std::tuple{std::string("0-0"), 206, std::size_t{1}},
          std::tuple{std::string("0-0,1-1,2-2,0-0"), 200, std::size_t{8192}}}) {
        std::string ranges = range;
        for (int i = 0; i < 200 && range.find(',') != std::string::npos; ++i) {
            ranges += ",0-0";
        }
        auto map = gateway.Client().Get("/gbk-map", {{"Range", "bytes=" + ranges}});
        ASSERT_TRUE(map);
        EXPECT_EQ(map->status, status) << range;
        EXPECT_EQ(map->body.size(), size) << range;
    }
    httplib::Result put = gateway.Client().Put("/v1/time", "x", "text/plain");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 405);
    EXPECT_EQ(put->get_header_value("Allow"), "POST");

    // A form-encoded body (curl -d's default type) is the text, whole: its & and = change nothing.
    auto [status, accepted] =
        Curl(port, {"-d", "Dinner for all&to=all&ttl=1&priority=high", base + "/v1/pages?to=12"});
    ASSERT_EQ(status, 202) << accepted;
    std::vector<Json> frames = TextFrames(sim, 2, 1s);
    ASSERT_EQ(frames.size(), 1U) << "one page to 0.0.0.12, no broadcast";
    EXPECT_EQ(frames[0]["address"], "0.0.0.12");
    const Json page = gateway.WaitForState(Json::parse(accepted)["id"], "sent");
    EXPECT_EQ(page["text"], "Dinner for all&to=all&ttl=1&priority=high");
    EXPECT_EQ(page["priority"], "normal");

    // A login that is not UTF-8 (no token file: any login is let in) is stored as text, and listed.
    ChildProcess nc({"/bin/sh", "-c",
                     "printf 'LOGI \\377 x\\r\\nPAGE 12\\r\\nMESS hi\\r\\nSEND\\r\\nQUIT\\r\\n' | "
                     "/usr/bin/nc -q 2 127.0.0.1 " +
                         std::to_string(gateway.SnppPort())});
    EXPECT_EQ(nc.Wait(10s), 0);
    EXPECT_NE(nc.Out().find("250 Message Sent Successfully"), std::string::npos) << nc.Out();
    auto listed = gateway.Client().Get("/v1/pages");
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->status, 200) << listed->body;
    EXPECT_NE(listed->body.find("(user \xEF\xBF\xBD)"), std::string::npos) << listed->body;

    EXPECT_EQ(gateway.Client().Get("/v1/health")->status, 200) << "still serving";

    // Twenty rounds a minute apart without a ttl: the expiry covers them all, 600 s after the last begins.
    auto [repeated, queued] = gateway.Post(
        "/v1/pages", {{"to", "1"}, {"text", "rounds"}, {"repeat", {{"every", 60}, {"count", 20}}}});
    ASSERT_EQ(repeated, 202);
    const Json record = gateway.Get("/v1/pages/" + std::to_string(queued["id"].get<int64_t>()));
    const auto seconds = [](const std::string& iso) {
        std::tm utc{};
        std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%d", &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour,
                    &utc.tm_min, &utc.tm_sec);
        utc.tm_year -= 1900;
        utc.tm_mon -= 1;
        return static_cast<long>(timegm(&utc));
    };
    const long span = seconds(record["expires"]) - seconds(record["created"]);
    EXPECT_GE(span, 19 * 60 + 600 - 1) << record.dump();
    EXPECT_LE(span, 19 * 60 + 600 + 1) << record.dump();
}

// A frame that went out while its going out could not be stored is not written again every second, and
// health says the queue cannot be stored until the disk has room; then the page is recorded sent.
TEST(Gateway, AFullDiskNeverSendsAFrameTwiceAndHealthSaysWhy) {
    Folder folder;
    SmallDisk disk(folder / "disk");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    const std::string database = folder / "disk/gateway.db";
    {
        // Queued while the port is not there, then left with its frame numbered as a killed gateway
        // leaves it: going out again needs no write before the frame, and one after.
        Gateway first(folder, folder / "port", {"--gap", "0"}, database);
        ASSERT_EQ(first.Post("/v1/pages", {{"to", "12"}, {"text", "disk full"}}).first, 202);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO frames(page_id, number, recipient, round, sequence, state) "
                           "VALUES(1, 0, 0, 0, 9, 'pending')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    SimProcess sim;
    Gateway gateway(folder, folder / "port", {"--gap", "0"}, database);
    disk.Fill();
    std::filesystem::create_symlink(sim.Link(), folder / "port"); // the port appears
    std::vector<Json> frames = TextFrames(sim, 4, 4s);
    ASSERT_EQ(frames.size(), 1U) << gateway.Log();
    EXPECT_EQ(frames[0]["sequence"], 9);
    auto health = gateway.Client().Get("/v1/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 503) << health->body;
    EXPECT_EQ(Json::parse(health->body)["status"], "queue cannot be stored") << health->body;
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "12"}, {"text", "no room"}}).first, 503);

    disk.Free();
    EXPECT_EQ(gateway.WaitForState(1, "sent")["state"], "sent");
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty()) << "sent once";
    health = gateway.Client().Get("/v1/health");
    EXPECT_EQ(health->status, 200) << health->body;
}

// One counter a device, whichever program sends: a frame never repeats the number of the frame before it
// (the watch would drop it as the same frame again).
TEST(Gateway, TheGatewayAndVelkorCliCountOnOneSequenceCounter) {
    Folder folder;
    SimProcess sim;
    const auto send = [&](const std::string& text) {
        Gateway gateway(folder, sim.Link(), {"--gap", "0"});
        auto [status, page] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", text}});
        EXPECT_EQ(status, 202);
        gateway.WaitForState(page["id"], "sent");
    };
    send("from the gateway");
    ChildProcess cli({"/usr/bin/env", "VELKOR_SEQUENCE_DIR=" + folder / "sequence", VELKOR_CLI_PATH, "text",
                      sim.Link(), "--to", "0.0.0.1", "from velkor-cli"});
    EXPECT_EQ(cli.Wait(20s), 0) << cli.Err();
    send("the gateway again");
    std::vector<Json> frames = TextFrames(sim, 3);
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0]["sequence"], 1);
    EXPECT_EQ(frames[1]["sequence"], 2) << frames[1].dump();
    EXPECT_EQ(frames[2]["sequence"], 3);
}

// The wall clock stepped a day forward and an hour back while pages wait (NTP on a machine without a
// battery clock): nothing expires early, and repeats keep their interval. libfaketime steps the gateway's
// wall clock alone, and leaves its monotonic clock as it is.
TEST(Gateway, AClockSteppedForwardOrBackNeitherExpiresNorStallsTheQueue) {
    if (!FakeClock::Available()) {
        GTEST_SKIP() << FakeClock::MISSING;
    }
    Folder folder;
    folder.Write("clock", "+0\n");
    auto clock = std::make_unique<FakeClock>(std::vector<std::pair<std::string, std::string>>{
        {"FAKETIME_TIMESTAMP_FILE", folder / "clock"}, {"FAKETIME_NO_CACHE", "1"}});
    Gateway gateway(folder, folder / "port", {"--gap", "0"}); // the port comes later: pages wait
    clock.reset();
    auto [status, repeating] =
        gateway.Post("/v1/pages", {{"to", "1"}, {"text", "round"}, {"repeat", {{"every", 5}, {"count", 3}}}});
    ASSERT_EQ(status, 202);
    const int64_t waitingId =
        gateway.Post("/v1/pages", {{"to", "2"}, {"text", "waiting"}, {"ttl", 60}}).second["id"];

    folder.Write("clock", "+1d\n");
    std::this_thread::sleep_for(2500ms); // the transmitter looks at the expiries every second
    EXPECT_EQ(gateway.Get("/v1/pages/" + std::to_string(waitingId))["state"], "queued");

    SimProcess sim;
    std::filesystem::create_symlink(sim.Link(), folder / "port");
    std::vector<Json> frames = TextFrames(sim, 2, 5s);
    ASSERT_EQ(frames.size(), 2U) << gateway.Log();
    folder.Write("clock", "-1h\n");
    const auto stepped = std::chrono::steady_clock::now();
    frames = TextFrames(sim, 2, 8s);
    EXPECT_EQ(frames.size(), 2U) << "the rounds after the step back came " << gateway.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - stepped, 12s);
    EXPECT_EQ(gateway.WaitForState(repeating["id"], "sent")["state"], "sent");
    EXPECT_EQ(gateway.Get("/v1/pages/" + std::to_string(waitingId))["state"], "sent");
}

// Under systemd: ready once the listeners are bound, a status line, the watchdog fed while the sending loop
// turns, and log lines with the journal's priorities (errors as errors).
TEST(Gateway, TellsTheServiceManagerItsStateAndTheJournalItsPriorities) {
    Folder folder;
    const std::string path = folder / "notify";
    const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto receive = [listener](std::chrono::milliseconds timeout) {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::string();
        }
        char buffer[4096];
        const ssize_t got = recv(listener, buffer, sizeof buffer, 0);
        return std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    setenv("JOURNAL_STREAM", "8:1234", 1);
    auto gateway =
        std::make_unique<Gateway>(folder, folder / "no-port", std::vector<std::string>{"--gap", "0"});
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "JOURNAL_STREAM"}) {
        unsetenv(name);
    }
    const std::string ready = receive(5s);
    // The verdict first, as /v1/health says it.
    EXPECT_EQ(
        ready.rfind("READY=1\nSTATUS=port closed: port " + folder / "no-port" + " not open, 0 queued", 0), 0U)
        << ready;
    std::vector<std::string> told;
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
        if (std::string message = receive(500ms); !message.empty()) {
            told.push_back(message);
        }
    }
    EXPECT_GE(std::count(told.begin(), told.end(), "WATCHDOG=1"), 2) << "fed every second";
    EXPECT_NE(std::find_if(told.begin(), told.end(),
                           [](const std::string& m) { return m.starts_with("STATUS=port"); }),
              told.end());
    EXPECT_EQ(gateway->Stop(), 0);
    EXPECT_EQ(receive(2s), "STOPPING=1\nSTATUS=stopping");
    close(listener);

    // The journal stamps the time; each line has its priority: the port's fault an error, the rest info.
    const std::string log = gateway->Log();
    EXPECT_NE(log.find("<3>cannot open " + folder / "no-port"), std::string::npos) << log;
    EXPECT_NE(log.find("<6>velkor-gateway "), std::string::npos) << log;
    EXPECT_EQ(log.find("<3>velkor-gateway "), std::string::npos) << log;
    gateway.reset();
}

// As velkor-cli says it: the program that holds the port, and its PID.
TEST(Gateway, APortHeldByAnotherProgramIsNamedWithItsPid) {
    Folder first("-first");
    Folder second("-second");
    SimProcess sim;
    Gateway holder(first, sim.Link());
    Json health = Json::object();
    for (int i = 0; i < 100 && health.value("open", false) != true; ++i) {
        std::this_thread::sleep_for(50ms);
        if (Json read = holder.Get("/v1/health"); read.is_object()) {
            health = read;
        }
    }
    ASSERT_EQ(health.value("open", false), true) << health.dump();
    Gateway waiting(second, sim.Link());
    health = Json::object();
    for (int i = 0; i < 100 && !health.contains("port_problem"); ++i) {
        std::this_thread::sleep_for(50ms);
        if (Json read = waiting.Get("/v1/health"); read.is_object()) {
            health = read;
        }
    }
    EXPECT_EQ(health.value("port_problem", ""),
              sim.Link() + ": busy: velkor-gateway (PID " + std::to_string(holder.Pid()) + ") has it open")
        << health.dump();
    EXPECT_NE(waiting.Log().find("busy: velkor-gateway (PID"), std::string::npos) << waiting.Log();
}

TEST(Gateway, HighPriorityGoesFirstAndACancelledPageNever) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "700"});
    const auto send = [&](const std::string& text, const std::string& priority) {
        auto [status, answer] =
            gateway.Post("/v1/pages", {{"to", "1"}, {"text", text}, {"priority", priority}});
        EXPECT_EQ(status, 202);
        return answer["id"].get<int64_t>();
    };
    send("first", "normal"); // goes at once: the queue was empty
    send("second", "normal");
    const int64_t cancelled = send("cancelled", "normal");
    send("urgent", "high");
    auto result = gateway.Client().Delete(("/v1/pages/" + std::to_string(cancelled)).c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(Json::parse(result->body)["state"], "cancelled");
    std::vector<std::string> order;
    for (const Json& frame : TextFrames(sim, 4, 2s)) {
        order.push_back(frame["text"]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"first", "urgent", "second"}));
}

TEST(Gateway, RepeatSendsEachRoundAfterTheInterval) {
    Folder folder;
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0"});
    auto [status, answer] = gateway.Post(
        "/v1/pages",
        {{"to", Json::array({"1", "2"})}, {"text", "again"}, {"repeat", {{"every", 5}, {"count", 2}}}});
    ASSERT_EQ(status, 202);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Json> frames = TextFrames(sim, 4, 7s);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(frames.size(), 4U);
    EXPECT_GE(took, 4500ms);
    std::vector<int> sequences;
    for (const Json& frame : frames) {
        sequences.push_back(frame["sequence"]);
    }
    EXPECT_EQ(sequences, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(gateway.WaitForState(answer["id"], "sent")["frames"].size(), 4U);
}

TEST(Gateway, TokensGuardBothListenersAndOpenAddressesNeedThem) {
    Folder folder;
    folder.Write("tokens", "# who may page\npanel s3cret\n");
    SimProcess sim;
    // Readable by every user of the machine, as ssh says of a key: refused.
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0644));
    ChildProcess exposed({VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "exposed.db", "--http",
                          "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--token-file",
                          folder / "tokens"});
    EXPECT_EQ(exposed.Wait(10s), 1);
    EXPECT_NE(exposed.Err().find("readable or writable by every user"), std::string::npos) << exposed.Err();
    std::filesystem::permissions(folder / "tokens", std::filesystem::perms(0640));

    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--token-file", folder / "tokens"});
    EXPECT_EQ(gateway.Post("/v1/pages", {{"to", "1"}, {"text", "a"}}).first, 401);
    EXPECT_EQ(gateway.Client().Get("/metrics")->status, 401);
    httplib::Headers wrong = {{"Authorization", "Bearer s3cre"}};
    EXPECT_EQ(gateway.Client().Get("/v1/health", wrong)->status, 401);
    httplib::Headers right = {{"Authorization", "Bearer s3cret"}};
    auto accepted =
        gateway.Client().Post("/v1/pages", right, R"({"to":"1","text":"let in"})", "application/json");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 202);
    EXPECT_EQ(TextFrames(sim, 1).size(), 1U);
    // The scheme's name is case-insensitive; the page records the token's name.
    accepted = gateway.Client().Post("/v1/pages", {{"Authorization", "bearer s3cret"}},
                                     R"({"to":"1","text":"lower case"})", "application/json");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 202) << accepted->body;
    EXPECT_EQ(TextFrames(sim, 1).size(), 1U);
    const Json listed = Json::parse(gateway.Client().Get("/v1/pages?limit=1", right)->body);
    EXPECT_EQ(listed["pages"][0]["key"], "panel") << listed.dump();
    EXPECT_EQ(listed["pages"][0]["source"].get<std::string>().find("token"), std::string::npos)
        << "the key is a field of its own, not words in the source";
    // The database and its journal are the gateway's user's alone.
    EXPECT_EQ(std::filesystem::status(folder / "gateway.db").permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0600));

    // Net::SNPP has no LOGI: refused; a raw client that logs in pages.
    ChildProcess perl(
        {"/usr/bin/perl", "-MNet::SNPP", "-e",
         "my $s = Net::SNPP->new('127.0.0.1', Port => " + std::to_string(gateway.SnppPort()) +
             ") or die 'connect'; $s->send(Pager => ['1'], Message => 'no login') or die $s->message;"});
    EXPECT_NE(perl.Wait(10s), 0);
    EXPECT_NE(perl.Err().find("Login Required"), std::string::npos) << perl.Err();
    EXPECT_EQ(gateway.Stop(), 0);

    for (const std::string listener : {"--http", "--snpp"}) {
        SCOPED_TRACE(listener);
        ChildProcess open({VELKOR_GATEWAY_PATH, "--port", sim.Link(), "--db", folder / "open.db", listener,
                           "0.0.0.0:" + std::to_string(FreeLoopbackPort())});
        EXPECT_EQ(open.Wait(10s), 2);
        EXPECT_NE(
            open.Err().find("is not a loopback address: anyone who reaches it could page the watches; give "
                            "--token-file FILE"),
            std::string::npos)
            << open.Err();
    }
}

TEST(Gateway, TheConfigFileTakesTheOptionsByTheirNames) {
    Folder folder;
    SimProcess sim;
    const int http = FreeLoopbackPort();
    folder.Write("gateway.conf", "# the site's settings\nport = " + sim.Link() +
                                     "\nhttp = 127.0.0.1:" + std::to_string(http) +
                                     "\nsnpp = off\ngap = 0\ndb = " + folder / "gateway.db" +
                                     // A value with commas is one value, not a list.
                                     "\nespa-line = 19200,8N1\nespa-status-values = 1,2\n");
    ChildProcess gateway({VELKOR_GATEWAY_PATH, "--config", folder / "gateway.conf"});
    httplib::Client client("127.0.0.1", http);
    int status = 0;
    for (int i = 0; i < 100 && status == 0; ++i) {
        std::this_thread::sleep_for(50ms);
        if (auto result =
                client.Post("/v1/pages", R"({"to":"1","text":"from the file"})", "application/json")) {
            status = result->status;
        }
    }
    EXPECT_EQ(status, 202);
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "from the file");
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Wait(10s), 0) << gateway.Err();

    // A misspelt setting is refused, not left at its default; every fault of the file's form with its line.
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"port = " + sim.Link() + "\nsnp = off\n",
         "typo.conf:2: a setting velkor-gateway does not know: snp"},
        {"# site\n[gateway]\nport = /dev/ttyUSB0\n",
         "typo.conf:2: a [section] line: the file is name = value lines only"},
        {"port /dev/ttyUSB0\n", "typo.conf:1: not a setting (name = value): port /dev/ttyUSB0"},
        {std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         "typo.conf: not a text file of settings (name = value lines)"},
    };
    for (const auto& [text, error] : faults) {
        SCOPED_TRACE(error);
        folder.Write("typo.conf", text);
        ChildProcess typo({VELKOR_GATEWAY_PATH, "--config", folder / "typo.conf"});
        EXPECT_EQ(typo.Wait(10s), 2);
        EXPECT_EQ(typo.Err(), "velkor-gateway: --config: " + folder / error + "\n");
    }
}

// Idle clients are cut off, and a gateway started again at once gets its ports back although the
// connections it cut off linger in TIME_WAIT; a second gateway on the same port is refused, not let share it.
TEST(Gateway, IdleClientsAreCutOffAndARestartGetsItsPortsBack) {
    Folder folder;
    SimProcess sim;
    const std::string http = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::vector<std::string> args = {VELKOR_GATEWAY_PATH,
                                           "--port",
                                           sim.Link(),
                                           "--db",
                                           folder / "gateway.db",
                                           "--http",
                                           http,
                                           "--snpp",
                                           "off"};
    auto first = std::make_unique<ChildProcess>(args);
    const int port = std::stoi(http.substr(http.rfind(':') + 1));
    httplib::Client client("127.0.0.1", port);
    for (int i = 0; i < 100 && !client.Get("/v1/health"); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        const int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    // A second gateway: refused for the database the first holds, and, with one of its own, for the port.
    ChildProcess sameDatabase(args);
    EXPECT_EQ(sameDatabase.Wait(10s), 1);
    EXPECT_NE(sameDatabase.Err().find(folder / "gateway.db" + ": in use by another velkor-gateway (PID "),
              std::string::npos)
        << sameDatabase.Err();
    std::vector<std::string> ownDatabase = args;
    ownDatabase[4] = folder / "second.db";
    ChildProcess second(ownDatabase);
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_NE(second.Err().find("cannot listen on " + http + ": Address already in use"), std::string::npos)
        << second.Err();
    // Each idle connection is closed by the gateway within its time-out: its end arrives within 3 s.
    const auto closedBy = std::chrono::steady_clock::now() + 3s;
    for (int fd : idle) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            closedBy - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        char byte = 0;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "still open";
        close(fd);
    }
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(10s), 0);
    first.reset();
    ChildProcess again(args);
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        std::this_thread::sleep_for(50ms);
        up = static_cast<bool>(client.Get("/v1/health"));
    }
    EXPECT_TRUE(up) << "the restarted gateway did not get its port back";
    again.Signal(SIGTERM);
    EXPECT_EQ(again.Wait(10s), 0) << again.Err();
}

// Each option --help shows is in the man page (whose roff writes "-" as "\\-").
TEST(Gateway, EveryOptionOfTheHelpIsInTheManPage) {
    ChildProcess help({VELKOR_GATEWAY_PATH, "--help"});
    ASSERT_EQ(help.Wait(5s), 0);
    std::string man = ReadFile(VELKOR_GATEWAY_MAN);
    man.erase(std::remove(man.begin(), man.end(), '\\'), man.end());
    const std::string& text = help.Out();
    const std::regex option("--[a-z][a-z-]*[a-z]");
    int options = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator();
         ++it) {
        ++options;
        EXPECT_NE(man.find(it->str()), std::string::npos) << it->str();
    }
    EXPECT_GE(options, 12);
    // The first line names every intake, not only the first two.
    const std::string first = text.substr(0, text.find('\n', text.find("console")));
    for (const char* intake : {"HTTP", "webhooks", "SNPP", "MQTT", "nurse-call panel", "console"}) {
        EXPECT_NE(first.find(intake), std::string::npos) << intake << " in: " << first;
    }
}

// One SNPP exchange over a raw socket: what the server answers to `send`, until it closes or 3 s pass.
std::string RawSnpp(int port, const std::string& send) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
        return "no connection";
    }
    std::size_t done = 0;
    while (done < send.size()) {
        const ssize_t wrote = ::send(fd, send.data() + done, send.size() - done, MSG_NOSIGNAL);
        if (wrote <= 0) {
            break; // the server hung up mid-way: what it said is read below
        }
        done += static_cast<std::size_t>(wrote);
    }
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd poll_fd{fd, POLLIN, 0};
        if (poll(&poll_fd, 1, 200) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return answer;
}

TEST(Gateway, SnppFromSendpageAndNetSnppAndAbuseLeavesItServing) {
    Folder folder;
    folder.Write("watches.csv", "name,address\nnurse-3,0.0.0.12\n");
    SimProcess sim;
    Gateway gateway(folder, sim.Link(), {"--gap", "0", "--watches", folder / "watches.csv"});
    const std::string port = std::to_string(gateway.SnppPort());

    // HylaFAX's client: LOGI, SITE, LEVE 1, PAGE, MESS, SEND, QUIT.
    ChildProcess sendpage({"/usr/bin/sendpage", "-h", "127.0.0.1:" + port, "-p", "0.0.0.12", "3号桌请取餐"});
    EXPECT_EQ(sendpage.Wait(20s), 0) << sendpage.Out() << sendpage.Err();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["bytes"], "5A 01 00 00 00 0C E0 0B 33 BA C5 D7 C0 C7 EB C8 A1 B2 CD 35");

    // Perl's Net::SNPP, to two watches, one by name.
    ChildProcess perl(
        {"/usr/bin/perl", "-MNet::SNPP", "-e",
         "my $s = Net::SNPP->new('127.0.0.1', Port => " + port +
             ") or die 'connect'; $s->send(Pager => ['nurse-3', '7'], Message => 'perl page') or die "
             "$s->message; $s->quit;"});
    EXPECT_EQ(perl.Wait(20s), 0) << perl.Err();
    frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["address"], "0.0.0.12");
    EXPECT_EQ(frames[1]["address"], "0.0.0.7");
    EXPECT_EQ(frames[1]["text"], "perl page");

    // Clients that send garbage are told and cut off; nothing of theirs is queued.
    const std::string megabyte(1024 * 1024, 'A');
    EXPECT_NE(RawSnpp(gateway.SnppPort(), megabyte).find("421 Line longer than"), std::string::npos);
    EXPECT_NE(
        RawSnpp(gateway.SnppPort(), std::string("PAGE 1\r\n\x00\xFF\x01garbage\r\n", 20)).find("421 Binary"),
        std::string::npos);
    std::string errors;
    for (int i = 0; i < 12; ++i) {
        errors += "GET / HTTP/1.1\r\n";
    }
    EXPECT_NE(RawSnpp(gateway.SnppPort(), errors).find("421 Too Many Errors"), std::string::npos);
    // A command of 1024 bytes is within the limit, its CR and LF aside; one byte more is not.
    const std::string longest = "MESS " + std::string(1019, 'x');
    const std::string answered = RawSnpp(gateway.SnppPort(), longest + "\r\nQUIT\r\n");
    EXPECT_NE(answered.find("550 Error, the text is 1019 bytes in GBK"), std::string::npos) << answered;
    EXPECT_EQ(answered.find("421 Line longer"), std::string::npos) << answered;
    EXPECT_NE(RawSnpp(gateway.SnppPort(), longest + "x\r\nQUIT\r\n").find("421 Line longer than 1024"),
              std::string::npos);
    EXPECT_NE(RawSnpp(gateway.SnppPort(), "PAGE 1\r\nMESS " + std::string(85, 'x') + "\r\nQUIT\r\n")
                  .find("550 Error, the text is 85 bytes in GBK"),
              std::string::npos);

    // And it goes on serving.
    const std::string after = RawSnpp(gateway.SnppPort(), "PAGE 1\r\nMESS still here\r\nSEND\r\nQUIT\r\n");
    EXPECT_NE(after.find("250 Message Sent Successfully"), std::string::npos) << after;
    frames = TextFrames(sim, 2, 2s);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "still here");
}

TEST(Gateway, PagesWaitWhileThePortIsLostAndGoWhenItIsBack) {
    Folder folder;
    const std::string port = folder / "ttyUSB0"; // a stable name, as udev gives one
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--hangup-after", "1"});
    std::filesystem::create_symlink(first->Link(), port);
    const std::string firstDevice = DeviceKey(first->Link());
    Gateway gateway(folder, port, {"--gap", "0"});
    ASSERT_EQ(gateway.Post("/v1/pages", {{"to", "1"}, {"text", "before"}}).first, 202);
    ASSERT_EQ(TextFrames(*first, 1).size(), 1U);
    first->WaitExit(5s); // it hung up, as a pulled adapter does

    // The gateway notices at the next look, and says so in its health.
    Json health = Json::object();
    for (int i = 0; i < 50 && health.value("open", true); ++i) {
        std::this_thread::sleep_for(100ms);
        health = gateway.Get("/v1/health");
    }
    EXPECT_EQ(health["open"], false) << health.dump();
    EXPECT_TRUE(health["lost_since"].is_string()) << health.dump();
    EXPECT_EQ(gateway.Client().Get("/v1/health")->status, 503);
    auto [status, waiting] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "while lost"}});
    ASSERT_EQ(status, 202);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(gateway.Get("/v1/pages/" + std::to_string(waiting["id"].get<int64_t>()))["state"], "queued");

    PtyPair taken; // takes the pseudo-terminal number the first left, so that the adapter comes back as
                   // another device node, as a USB adapter often does
    SimProcess second;
    std::filesystem::remove(port);
    std::filesystem::create_symlink(second.Link(), port);
    std::vector<Json> frames = TextFrames(second, 1, 5s);
    ASSERT_EQ(frames.size(), 1U) << gateway.Log();
    EXPECT_EQ(frames[0]["text"], "while lost");
    // The watches heard 1 last, whichever device node the transmitter comes back as (the same one, or a
    // new pseudo-terminal here unless the kernel gives the old one again): the count goes on after the
    // queue's last number for the port, never from 1 again, which the watches would drop as a repeat.
    EXPECT_EQ(frames[0]["sequence"], 2)
        << (DeviceKey(second.Link()) == firstDevice ? "same node" : "new node");
    EXPECT_EQ(gateway.Get("/v1/health")["open"], true);
    EXPECT_EQ(gateway.Stop(), 0);
    const std::string log = gateway.Log();
    std::size_t lost = 0;
    for (std::size_t at = log.find("pages wait"); at != std::string::npos;
         at = log.find("pages wait", at + 1)) {
        ++lost;
    }
    EXPECT_EQ(lost, 1U) << "said once, not every 2 s:\n" << log;
    EXPECT_NE(log.find("open at 9600 baud, parity none again"), std::string::npos) << log;
}

TEST(Gateway, AStalledDeviceFailsTheFrameWithTheReasonUntilThePageExpires) {
    Folder folder;
    SimProcess sim({"--stall-after", "1"});
    Gateway gateway(folder, sim.Link(), {"--gap", "200"});
    ASSERT_EQ(gateway.Post("/v1/pages", {{"to", "1"}, {"text", "taken"}}).first, 202);
    ASSERT_EQ(TextFrames(sim, 1).size(), 1U);
    // The device takes nothing more: each write gives up, the frame waits the gap and goes again, until the
    // page's expiry.
    auto [status, answer] = gateway.Post("/v1/pages", {{"to", "1"}, {"text", "stuck"}, {"ttl", 4}});
    ASSERT_EQ(status, 202);
    Json page = gateway.WaitForState(answer["id"], "failed", 20s);
    EXPECT_EQ(page["state"], "failed") << page.dump();
    EXPECT_NE(page.value("reason", "").find("not sent by its expiry"), std::string::npos) << page.dump();
    const Json health = gateway.Get("/v1/health");
    EXPECT_GT(health["write_failures"].get<int>(), 0) << health.dump();
    // Every write fails: a plain HTTP check sees that pages cannot go out.
    EXPECT_EQ(health["status"], "writes failing") << health.dump();
    EXPECT_EQ(gateway.Client().Get("/v1/health")->status, 503);
}

TEST(Gateway, SigkillUnderLoadLosesNoAcknowledgedPage) {
    Folder folder;
    SimProcess sim;
    std::set<int> acknowledged;
    int64_t lastId = 0;
    {
        // Frames leave slower than pages come in, so that a backlog is queued when the kill comes.
        auto gateway = std::make_unique<Gateway>(folder, sim.Link(), std::vector<std::string>{"--gap", "10"});
        std::atomic<bool> stop{false};
        std::thread client([&] {
            httplib::Client http("127.0.0.1", gateway->HttpPort());
            http.set_read_timeout(2);
            // 300 pages: at 9600 baud they take seconds to leave, so the kill finds a backlog whenever it
            // comes.
            for (int n = 0; n < 300 && !stop; ++n) {
                const std::string body = Json{{"to", "1"}, {"text", "page-" + std::to_string(n)}}.dump();
                auto result = http.Post("/v1/pages", body, "application/json");
                if (result && result->status == 202) {
                    acknowledged.insert(n);
                    lastId = Json::parse(result->body)["id"];
                } else if (!result) {
                    break; // the gateway is gone
                }
            }
        });
        std::mt19937 random(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 700));
        EXPECT_EQ(gateway->Stop(SIGKILL), 128 + SIGKILL);
        stop = true;
        client.join();
    }
    ASSERT_GT(acknowledged.size(), 10U);
    RecordProperty("acknowledged_before_kill", static_cast<int>(acknowledged.size()));

    // Started again on the same database, it sends what it had not.
    // The killed gateway's port lock died with it: the port opens again, for an ordinary user too.
    Gateway again(folder, sim.Link(), {"--gap", "0"});
    Eventually([&] { return again.Get("/v1/pages?state=queued&limit=1")["pages"].empty(); }, 60s, 100ms);
    std::map<int, std::set<int>> sequences; // page-N → the numbers its frames went with
    for (const Json& frame : TextFrames(sim, 100000, 2s)) {
        const std::string text = frame.value("text", "");
        if (text.starts_with("page-")) {
            sequences[std::stoi(text.substr(5))].insert(frame["sequence"].get<int>());
        }
    }
    for (int n : acknowledged) {
        ASSERT_TRUE(sequences.contains(n)) << "acknowledged page-" << n << " never reached the wire";
        EXPECT_EQ(sequences[n].size(), 1U) << "page-" << n << " went out under two numbers";
    }
    EXPECT_EQ(again.Get("/v1/pages/" + std::to_string(lastId))["state"], "sent");
}

} // namespace
} // namespace velkor
