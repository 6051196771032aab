// A nurse-call panel cabled to the gateway's second port, played by the test's own control station on a
// pseudo-terminal: its calls reach velkor-sim's transmitter as the window's frames, whatever the line brings.

#include "frames/espa.h"
#include "gateway_harness.h"
#include "support/pty_pair.h"

#include <sqlite3.h>

#include <random>

namespace velkor {
namespace {

using namespace velkor::espa;

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

const std::string WATCHES = "name,address,call\nbed5,0.0.1.5,550\nbed6,0.0.1.6,551\nbed7,0.0.1.7,552\n";
const std::string TEXTS = "label,text\nCALL,5床呼叫\nFIRE 2,二楼火警\n";

// The control station: the master of a pseudo-terminal whose slave a link in the folder names, so that a
// cable pulled and put back is a new pseudo-terminal at the same path.
class Panel {
public:
    explicit Panel(std::string link) : m_link(std::move(link)) { Plug(); }
    const std::string& Link() const { return m_link; }

    void Plug() {
        m_pty = std::make_unique<PtyPair>();
        std::filesystem::remove(m_link + ".new");
        std::filesystem::create_symlink(m_pty->SlavePath(), m_link + ".new");
        std::filesystem::rename(m_link + ".new", m_link);
    }
    void Unplug() { m_pty->CloseMaster(); }

    // Sends `bytes` and returns what came back: `count` bytes, or what came in `wait`.
    std::string Exchange(const std::string& bytes, std::size_t count = 1,
                         std::chrono::milliseconds wait = 3s) {
        m_pty->Send(Bytes(bytes));
        const std::vector<uint8_t> got = m_pty->Receive(count, wait);
        return {got.begin(), got.end()};
    }
    // Sends `bytes` one at a time, as a slow panel does.
    void Trickle(const std::string& bytes) {
        for (char byte : bytes) {
            m_pty->Send({static_cast<uint8_t>(byte)});
            std::this_thread::sleep_for(2ms);
        }
    }
    std::string Answer(std::size_t count = 1, std::chrono::milliseconds wait = 3s) {
        const std::vector<uint8_t> got = m_pty->Receive(count, wait);
        return {got.begin(), got.end()};
    }
    // A whole call: selected, the block ACKed, EOT. True when the paging system took it.
    bool Call(const std::string& address, const std::string& message, char priority = '1') {
        if (Exchange("\x04"
                     "1\x05"
                     "2\x05") != "\x06") {
            return false;
        }
        const bool taken = Exchange(Block(address, message, priority)) == "\x06";
        m_pty->Send({EOT});
        return taken;
    }
    // A block of `records` as a call to the paging system: selected, ACKed, EOT. True when it was taken.
    bool Send(const std::vector<Record>& records) {
        if (Exchange(SELECT_GATEWAY) != "\x06") {
            return false;
        }
        const bool taken = Exchange(BuildBlock(CALL_TO_PAGER, records)) == "\x06";
        m_pty->Send({EOT});
        return taken;
    }
    static constexpr const char* SELECT_GATEWAY = "\x04"
                                                  "1\x05"
                                                  "2\x05";
    static std::string Block(const std::string& address, const std::string& message, char priority = '1') {
        std::vector<Record> records = {{CALL_ADDRESS, address}};
        if (!message.empty()) {
            records.push_back({DISPLAY_MESSAGE, message});
        }
        records.push_back({BEEP_CODING, "2"});
        records.push_back({PRIORITY, std::string(1, priority)});
        return BuildBlock(CALL_TO_PAGER, records);
    }

private:
    std::string m_link;
    std::unique_ptr<PtyPair> m_pty;
};

const std::string SELECT = "\x04"
                           "1\x05"
                           "2\x05";

// Waits until the gateway has the panel's port open (or closed, with `open` false).
bool PanelOpen(Gateway& gateway, bool open = true, std::chrono::milliseconds timeout = 8s) {
    return Eventually(
        [&] {
            const Json health = gateway.Get("/v1/health");
            return health.contains("panel") && health["panel"].value("open", !open) == open;
        },
        timeout, 50ms);
}

std::vector<std::string> Texts(const std::vector<Json>& frames) {
    std::vector<std::string> texts;
    for (const Json& frame : frames) {
        texts.push_back(frame.value("text", "?") + "@" + frame.value("address", "?"));
    }
    return texts;
}

struct Site {
    Site() {
        folder.Write("watches.csv", WATCHES);
        folder.Write("texts.csv", TEXTS);
    }
    std::vector<std::string> Options(std::vector<std::string> more = {}) const {
        std::vector<std::string> options = {
            "--watches",   folder / "watches.csv", "--texts",   folder / "texts.csv",
            "--espa-port", folder / "panel",       "--console", "off"};
        options.insert(options.end(), more.begin(), more.end());
        return options;
    }
    Folder folder;
};

TEST(Panel, ACallIsPagedWithTheSitesTextAndAnUnknownNumberIsRecordedAsFailed) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();

    // The idle poll is answered EOT; a poll of another station is not answered.
    EXPECT_EQ(panel.Exchange("\x04"
                             "2\x05"),
              "\x04");
    EXPECT_EQ(panel.Exchange("\x04"
                             "5\x05",
                             1, 300ms),
              "");

    // The call: the watch by its number, the quick text for the panel's label, as the window sends it.
    ASSERT_TRUE(panel.Call("550", "CALL"));
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "5床呼叫");
    EXPECT_EQ(frames[0]["address"], "0.0.1.5");
    EXPECT_TRUE(frames[0]["valid"].get<bool>());

    // A block whose BCC is wrong is NAKed and nothing is sent; sent again, it is paged once.
    EXPECT_EQ(panel.Exchange(SELECT), "\x06");
    std::string spoilt = Panel::Block("551", "FIRE 2");
    spoilt.back() = static_cast<char>(spoilt.back() ^ 0x10);
    EXPECT_EQ(panel.Exchange(spoilt), "\x15");
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
    EXPECT_EQ(panel.Exchange(Panel::Block("551", "FIRE 2")), "\x06");
    panel.Exchange("\x04", 1, 100ms);
    frames = TextFrames(sim, 2, 2s);
    EXPECT_EQ(Texts(frames), std::vector<std::string>{"二楼火警@0.0.1.6"});

    // A block whose BCC is EOT's value: the BCC, not the end of the link.
    std::string block;
    for (char c = ' '; c < '~' && block.empty(); ++c) {
        for (char d = ' '; d < '~' && block.empty(); ++d) {
            const std::string candidate = Panel::Block("552", std::string("ROOM ") + c + d);
            if (static_cast<uint8_t>(candidate.back()) == EOT) {
                block = candidate;
            }
        }
    }
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(panel.Exchange(SELECT + block, 2), "\x06\x06");
    panel.Exchange("\x04", 1, 100ms);
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.1.7");

    // A number no watch has: acknowledged (it arrived whole), recorded as failed, nothing sent.
    ASSERT_TRUE(panel.Call("999", "CALL"));
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
    const Json pages = gateway.Get("/v1/pages?state=failed");
    ASSERT_EQ(pages["pages"].size(), 1U) << pages.dump();
    EXPECT_EQ(pages["pages"][0]["reason"], "no watch has the call number 999 (the watch list's call column)");
    EXPECT_EQ(pages["pages"][0]["source"], "espa " + site.folder / "panel");
    EXPECT_EQ(pages["pages"][0]["details"], "beep coding 2; priority 1");
    EXPECT_EQ(pages["pages"][0]["reason_code"], "call_unknown");
    EXPECT_EQ(pages["pages"][0]["detail_list"][0],
              (Json{{"name", "beep_coding"}, {"words", "beep coding"}, {"value", "2"}}));

    const Json health = gateway.Get("/v1/health");
    EXPECT_EQ(health["panel"]["calls"], 4);
    EXPECT_EQ(health["panel"]["unknown_calls"], 1);
    EXPECT_EQ(health["panel"]["naks"], 1);
    auto metrics = gateway.Client().Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("velkor_gateway_panel_calls_total 4\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("velkor_gateway_panel_up 1\n"), std::string::npos);
}

TEST(Panel, PriorityTwoGoesFirstAndCallsKeepTheirOrder) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "1000"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();

    // The first goes out at once; the next two wait out the gap behind it (a loaded machine may take a
    // while over each call, hence a second); the priority 2 call goes before them.
    ASSERT_TRUE(panel.Call("550", "ONE"));
    EXPECT_EQ(Texts(TextFrames(sim, 1)), std::vector<std::string>{"ONE@0.0.1.5"});
    ASSERT_TRUE(panel.Call("551", "TWO"));
    ASSERT_TRUE(panel.Call("552", "THREE"));
    ASSERT_TRUE(panel.Call("550", "FIRE", '2'));
    EXPECT_EQ(Texts(TextFrames(sim, 3)),
              (std::vector<std::string>{"FIRE@0.0.1.5", "TWO@0.0.1.6", "THREE@0.0.1.7"}));

    // Twenty calls in a row, every third sent a byte at a time: paged in the order they came.
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        const std::string text = "CALL " + std::to_string(i);
        if (i % 3 == 0) {
            panel.Trickle(SELECT);
            ASSERT_EQ(panel.Answer(), "\x06");
            panel.Trickle(Panel::Block("551", text));
            ASSERT_EQ(panel.Answer(), "\x06") << i;
            panel.Trickle("\x04");
        } else {
            ASSERT_TRUE(panel.Call("551", text)) << i;
        }
        expected.push_back(text + "@0.0.1.6");
    }
    EXPECT_EQ(Texts(TextFrames(sim, 20)), expected);
}

TEST(Panel, TheLinkComesBackFromGarbageSilenceAndAPulledCable) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0", "--espa-silence", "300"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();

    // Garbage, then a selection and half a block, then silence: the half block is dropped.
    panel.Exchange("\x7F\xFFzz\x06\x15\x03\x1E"
                   "9",
                   1, 100ms);
    EXPECT_EQ(panel.Exchange(SELECT), "\x06");
    panel.Exchange(Panel::Block("550", "HALF").substr(0, 10), 1, 600ms);
    // Its tail after the silence is no block: no answer.
    EXPECT_EQ(panel.Exchange(Panel::Block("550", "HALF").substr(10), 1, 500ms), "");
    ASSERT_TRUE(panel.Call("550", "WHOLE"));
    EXPECT_EQ(Texts(TextFrames(sim, 2, 2s)), std::vector<std::string>{"WHOLE@0.0.1.5"});
    EXPECT_GE(gateway.Get("/v1/health")["panel"]["link_resets"].get<int>(), 1);

    // A storm of noise on the line (a panel's port on the wrong baud rate): then calls go on.
    std::mt19937 random(1745);
    std::string noise(256 * 1024, '\0');
    for (char& byte : noise) {
        byte = static_cast<char>(random() & 0xFF);
    }
    panel.Exchange(noise, noise.size(), 3s); // whatever it answers, it is read
    std::this_thread::sleep_for(500ms);
    panel.Answer(1 << 20, 300ms);
    ASSERT_TRUE(panel.Call("550", "AFTER NOISE")) << gateway.Log();
    EXPECT_EQ(Texts(TextFrames(sim, 2, 2s)).back(), "AFTER NOISE@0.0.1.5");

    // The cable pulled: the port is lost, said in the health; put back, it is reopened and calls go on.
    panel.Unplug();
    ASSERT_TRUE(PanelOpen(gateway, false)) << gateway.Log();
    const Json health = gateway.Get("/v1/health");
    EXPECT_EQ(health["status"], "panel port closed");
    EXPECT_EQ(gateway.Client().Get("/v1/health")->status, 503);
    panel.Plug();
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    ASSERT_TRUE(panel.Call("551", "AGAIN"));
    EXPECT_EQ(Texts(TextFrames(sim, 1)), std::vector<std::string>{"AGAIN@0.0.1.6"});
    EXPECT_NE(gateway.Log().find("panel port " + site.folder / "panel" + " lost"), std::string::npos);
}

// Another process holds the queue's database (an administrator's sqlite3 in a transaction): the panel is
// answered NAK within its wait, never ACK for a call not stored and never late; once the database is free
// the call it sends again is paged, once.
TEST(Panel, AStalledQueueIsAnsweredNakInTimeAndTheCallSentAgainIsPagedOnce) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    sqlite3* outside = nullptr;
    ASSERT_EQ(sqlite3_open((site.folder / "gateway.db").c_str(), &outside), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(outside, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    ASSERT_EQ(panel.Exchange(SELECT), "\x06");
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(panel.Exchange(Panel::Block("550", "CALL"), 1, 3s), "\x15");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1500ms) << "the NAK came after the panel's wait";
    EXPECT_EQ(panel.Answer(1, 500ms), "") << "a second, late answer";
    sqlite3_exec(outside, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(outside);

    EXPECT_EQ(panel.Exchange(Panel::Block("550", "CALL")), "\x06");
    panel.Exchange("\x04", 1, 100ms);
    const std::vector<Json> frames = TextFrames(sim, 2, 1500ms);
    EXPECT_EQ(Texts(frames), std::vector<std::string>{"5床呼叫@0.0.1.5"});
    EXPECT_EQ(gateway.Get("/v1/pages")["pages"].size(), 1U);
}

TEST(Panel, AnAcknowledgedCallIsSentAfterTheGatewayIsKilled) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    {
        // No transmitter yet: the call can only be stored.
        Gateway gateway(site.folder, site.folder / "no-transmitter", site.Options());
        ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
        ASSERT_TRUE(panel.Call("552", "CALL"));
        gateway.Stop(SIGKILL);
    }
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0"}));
    EXPECT_EQ(Texts(TextFrames(sim, 1)), std::vector<std::string>{"5床呼叫@0.0.1.7"});

    // The watch list read again on SIGHUP: the next call finds the watch by its new number.
    site.folder.Write("watches.csv", "name,address,call\nbed5,0.0.1.5,700\n");
    gateway.Signal(SIGHUP);
    Eventually([&] { return gateway.Log().find("watch list read again") != std::string::npos; }, 5s);
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    ASSERT_TRUE(panel.Call("700", ""));
    EXPECT_EQ(Texts(TextFrames(sim, 1)), std::vector<std::string>{"呼叫 700@0.0.1.5"});
}

// A call that must be answered repeats until the nurse resets it at the bed: the panel's reset block
// answers its page at once, and only that call's.
TEST(Panel, AResetAtTheBedStopsTheCallsRepeats) {
    Site site;
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0", "--espa-repeat", "5"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    ASSERT_TRUE(panel.Call("550", "CALL"));
    ASSERT_TRUE(panel.Call("551", ""));
    ASSERT_EQ(TextFrames(sim, 4, 7s).size(), 4U) << "two rounds of each";
    const Json bed5 = gateway.Get("/v1/pages/1");
    EXPECT_EQ(bed5["repeat"]["until"], "acknowledged") << bed5.dump();

    ASSERT_TRUE(panel.Send({{CALL_ADDRESS, "550"}, {CALL_TYPE, "0"}}));
    const Json answered = gateway.WaitForState(1, "acknowledged", 3s);
    EXPECT_EQ(answered["answered"]["via"], "espa") << answered.dump();
    EXPECT_EQ(gateway.Get("/v1/pages/2")["state"], "queued") << "another bed's call goes on";
    EXPECT_EQ(gateway.Get("/v1/pages?limit=10")["pages"].size(), 2U) << "a reset is no page";
    // Over the next round or two, only the call not reset repeats.
    const std::vector<std::string> after = Texts(TextFrames(sim, 2, 6s));
    ASSERT_FALSE(after.empty());
    for (const std::string& text : after) {
        EXPECT_EQ(text, "呼叫 551@0.0.1.6");
    }
    EXPECT_NE(gateway.Log().find("call 550 reset: page 1 answered"), std::string::npos) << gateway.Log();
}

// The watch list names the escalation of a bed's calls: nobody answering pages the next step, the reset at
// the bed ends it; a policy the escalations file lacks is said at start and the call still goes out.
TEST(Panel, ABedsEscalationGoesOnUntilTheResetAtTheBed) {
    Site site;
    site.folder.Write("watches.csv", "name,address,call,escalate\nbed5,0.0.1.5,550,ward-2\n"
                                     "bed6,0.0.1.6,551,ward-9\nbed7,0.0.1.7,552,\n");
    site.folder.Write("site.escalations", "ward-2 2s 0.0.1.9\nward-2 2s 0.0.1.10\n");
    Panel panel(site.folder / "panel");
    SimProcess sim;
    Gateway gateway(site.folder, sim.Link(),
                    site.Options({"--gap", "0", "--escalations", site.folder / "site.escalations"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    EXPECT_NE(gateway.Log().find("watch list, bed6: no escalation policy is named \"ward-9\""),
              std::string::npos)
        << gateway.Log();
    ASSERT_TRUE(panel.Call("550", "CALL"));
    EXPECT_EQ(Texts(TextFrames(sim, 1)), std::vector<std::string>{"5床呼叫@0.0.1.5"});
    const Json call = gateway.Get("/v1/pages/1");
    EXPECT_EQ(call["answer"], true) << call.dump();
    EXPECT_EQ(call["escalation"]["policy"], "ward-2");
    EXPECT_EQ(Texts(TextFrames(sim, 1, 4s)), std::vector<std::string>{"[2] 5床呼叫@0.0.1.9"})
        << gateway.Log();

    ASSERT_TRUE(panel.Send({{CALL_ADDRESS, "550"}, {CALL_TYPE, "0"}}));
    EXPECT_EQ(gateway.WaitForState(2, "acknowledged", 3s)["answered"]["via"], "espa");
    EXPECT_EQ(gateway.Get("/v1/pages/1")["state"], "acknowledged");
    EXPECT_TRUE(TextFrames(sim, 1, 3s).empty()) << "step three after the reset";

    // Without its policy the call is paged all the same; a watch without one is paged as ever.
    ASSERT_TRUE(panel.Call("551", "CALL"));
    ASSERT_TRUE(panel.Call("552", "CALL"));
    EXPECT_EQ(TextFrames(sim, 2).size(), 2U);
    EXPECT_EQ(gateway.WaitForState(3, "sent", 2s)["answer"], true);
    EXPECT_FALSE(gateway.WaitForState(4, "sent", 2s).contains("answer"));
    EXPECT_NE(gateway.Log().find("call 551: escalate: no escalation policy is named \"ward-9\""),
              std::string::npos)
        << gateway.Log();
}

TEST(Panel, ReportsTheOutcomeToAPanelThatWaitsForItAndTheSimulatedPanelPages) {
    Site site;
    SimProcess sim;
    Panel panel(site.folder / "panel");
    Gateway gateway(site.folder, sim.Link(), site.Options({"--gap", "0", "--espa-status"}));
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    ASSERT_TRUE(panel.Call("999", "CALL"));
    // Polled, the gateway selects the panel and reports record 7: 2, the call was not paged.
    EXPECT_EQ(panel.Exchange("\x04"
                             "2\x05",
                             2),
              "1\x05");
    const std::string status = BuildBlock(STATUS_INFORMATION, {{CALL_ADDRESS, "999"}, {CALL_STATUS, "2"}});
    EXPECT_EQ(panel.Exchange("\x06", status.size()), status);
    EXPECT_EQ(panel.Exchange("\x06"), "\x04");

    // velkor-sim's panel, with a wrong BCC first each time, on the port instead. The link to the pulled
    // pseudo-terminal goes with it: its number is free for another test's simulator, which would hold it.
    panel.Unplug();
    ASSERT_TRUE(PanelOpen(gateway, false));
    std::filesystem::remove(site.folder / "panel");
    SimProcess panelSim(
        {"--espa-panel", site.folder / "panel", "--every", "1", "--call", "550 CALL", "--bad-bcc"});
    ASSERT_TRUE(panelSim.Ready());
    ASSERT_TRUE(PanelOpen(gateway)) << gateway.Log();
    EXPECT_EQ(Texts(TextFrames(sim, 1, 5s)), std::vector<std::string>{"5床呼叫@0.0.1.5"});
    EXPECT_FALSE(panelSim.WaitForLine("\"status, call address 550, call status 1\"", 5s).empty());
}

} // namespace
} // namespace velkor
