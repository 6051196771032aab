// The paging system's side of a panel's line, fed byte by byte: what it answers, what it takes as a call,
// and how it comes back from whatever the line brings. And the page a call makes.

#include "gateway/espa/espa_panel.h"
#include "gateway/espa/espa_station.h"
#include "gateway/queue/page_details.h"

#include <gtest/gtest.h>

namespace velkor::gateway {
namespace {

using namespace velkor::espa;
using namespace std::chrono_literals;
using Clock = EspaStation::Clock;

const std::string POLL = "\x04"
                         "2\x05";
const std::string SELECT = "\x04"
                           "1\x05"
                           "2\x05";
const std::string ACK_ = "\x06";
const std::string NAK_ = "\x15";
const std::string EOT_ = "\x04";

std::string Call(const std::string& address, const std::string& message) {
    return BuildBlock(CALL_TO_PAGER, {{CALL_ADDRESS, address}, {DISPLAY_MESSAGE, message}});
}

class Station : public ::testing::Test {
protected:
    explicit Station(bool report = false)
        : m_station(StationSettings{'2', 2000ms, 3},
                    [this, report](char header, const std::optional<std::vector<Record>>& records,
                                   const std::string&) {
                        headers += header;
                        if (records) {
                            const std::string* address = FindRecord(*records, CALL_ADDRESS);
                            calls.push_back(address ? *address : "?");
                        }
                        BlockOutcome outcome{store, late, std::nullopt, calls.empty() ? "" : calls.back()};
                        if (report) {
                            outcome.status = Record{CALL_STATUS, "1"};
                        }
                        return outcome;
                    }) {}

    // Every byte of `bytes` fed at `at`; what the station wrote back.
    std::string Feed(const std::string& bytes, Clock::duration at = {}) {
        std::string answer;
        for (char byte : bytes) {
            answer += m_station.Feed(static_cast<uint8_t>(byte), m_start + at);
        }
        return answer;
    }

    Clock::time_point m_start = Clock::now();
    EspaStation m_station;
    std::vector<std::string> calls;
    std::string headers;
    bool store = true;
    bool late = false;
};

// A call the queue took only after the panel had stopped waiting: no late ACK goes out (it would answer
// the panel's next exchange), and the panel's resend of it, after a new selection, is ACKed and not paged
// twice; a different call after it is paged as usual.
TEST_F(Station, ACallStoredTooLateIsNotAnsweredAndItsResendIsTakenOnce) {
    EXPECT_EQ(Feed(SELECT), ACK_);
    late = true;
    EXPECT_EQ(Feed(Call("550", "CALL")), "");
    late = false;
    EXPECT_EQ(Feed("\x05"), ""); // nothing to repeat: no late ACK
    EXPECT_EQ(Feed(EOT_), "");
    EXPECT_EQ(Feed(SELECT), ACK_);
    EXPECT_EQ(Feed(Call("550", "CALL")), ACK_);
    EXPECT_EQ(Feed(Call("551", "CALL")), ACK_);
    EXPECT_EQ(calls, (std::vector<std::string>{"550", "551"}));
}

TEST_F(Station, PollsSelectsAndCallsAsThePanelSendsThem) {
    EXPECT_EQ(Feed(POLL), EOT_); // nothing to report
    EXPECT_EQ(Feed("\x04"
                   "3\x05"),
              ""); // another station's poll: no answer
    EXPECT_EQ(Feed(SELECT), ACK_);
    EXPECT_EQ(Feed(Call("550", "CALL")), ACK_);
    EXPECT_EQ(Feed(EOT_), "");
    EXPECT_EQ(calls, std::vector<std::string>{"550"});

    // A block the BCC shows spoilt is NAKed and not taken; sent again, it is taken once.
    std::string spoilt = Call("551", "FIRE 2");
    spoilt.back() = static_cast<char>(spoilt.back() ^ 0x01);
    EXPECT_EQ(Feed(SELECT), ACK_);
    EXPECT_EQ(Feed(spoilt), NAK_);
    EXPECT_EQ(Feed(Call("551", "FIRE 2")), ACK_);
    // The panel missed our ACK and sends the block again in the same selection: ACKed, not taken twice.
    EXPECT_EQ(Feed(Call("551", "FIRE 2")), ACK_);
    // Or it asks for the answer again.
    EXPECT_EQ(Feed("\x05"), ACK_);
    Feed(EOT_);
    EXPECT_EQ(calls, (std::vector<std::string>{"550", "551"}));
    EXPECT_EQ(m_station.Naks(), 1U);

    // A store that fails is NAKed, so the panel sends the call again.
    store = false;
    EXPECT_EQ(Feed(SELECT + Call("552", "X")), ACK_ + NAK_);
    EXPECT_EQ(m_station.Naks(), 2U);
}

TEST_F(Station, TheByteAfterEtxIsTheCheckWhateverItsValue) {
    // A message whose BCC comes out as EOT, then one whose BCC is SOH: neither resets the link.
    std::string block;
    for (char c = ' '; c < '~' && block.empty(); ++c) {
        for (char d = ' '; d < '~'; ++d) {
            std::string candidate = Call("550", std::string("CALL ") + c + d);
            if (static_cast<uint8_t>(candidate.back()) == EOT) {
                block = candidate;
                break;
            }
        }
    }
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(Feed(SELECT + block), ACK_ + ACK_);
    EXPECT_EQ(calls.size(), 1U);
    // Bit 7 set on every byte (a 7E1 line read as 8N1 carries the parity there): the same call.
    std::string withParity = SELECT + Call("553", "CALL");
    for (char& byte : withParity) {
        byte = static_cast<char>(static_cast<uint8_t>(byte) | 0x80);
    }
    Feed(EOT_);
    EXPECT_EQ(Feed(withParity), ACK_ + ACK_);
    EXPECT_EQ(calls.back(), "553");
}

TEST_F(Station, TheLinkNeverWedges) {
    // Garbage before anything, and inside a selection, is skipped.
    EXPECT_EQ(Feed("zz\x06\x15\x03 9" + SELECT + "junk" + Call("550", "A")), ACK_ + ACK_);
    // EOT in the middle of a block drops it; the next call works.
    const std::string call = Call("551", "B");
    EXPECT_EQ(Feed(SELECT + call.substr(0, 8) + EOT_), ACK_);
    EXPECT_EQ(Feed(SELECT + call), ACK_ + ACK_);
    // SOH in the middle of a block starts it afresh.
    EXPECT_EQ(Feed(SELECT + call.substr(0, 6) + Call("552", "C")), ACK_ + ACK_);
    EXPECT_EQ(calls, (std::vector<std::string>{"550", "551", "552"}));
    EXPECT_EQ(m_station.Resets(), 1U);

    // A half block, then silence: dropped; the rest of it after the silence is not a block.
    Feed(EOT_);
    EXPECT_EQ(Feed(SELECT + Call("553", "D").substr(0, 9)), ACK_);
    m_station.Tick(m_start + 3s);
    EXPECT_EQ(Feed(Call("553", "D").substr(9), 3s), "");
    EXPECT_EQ(m_station.Resets(), 2U);
    EXPECT_EQ(Feed(SELECT + Call("554", "E"), 4s), ACK_ + ACK_);
    EXPECT_EQ(calls.back(), "554");

    // Blocks that are not calls are ACKed and handed on by their header.
    EXPECT_EQ(Feed(BuildBlock('4', {{'1', "x"}}), 4s), ACK_);
    EXPECT_EQ(headers.back(), '4');
}

class ReportingStation : public Station {
protected:
    ReportingStation() : Station(true) {}
};

TEST_F(ReportingStation, ReportsTheCallsOutcomeAtTheNextPoll) {
    Feed(SELECT + Call("550", "A") + EOT_);
    // Polled, the station selects the panel ("1 ENQ"), sends the status once the panel ACKs, ends with EOT.
    EXPECT_EQ(Feed(POLL), "1\x05");
    const std::string status = BuildBlock(STATUS_INFORMATION, {{CALL_ADDRESS, "550"}, {CALL_STATUS, "1"}});
    EXPECT_EQ(Feed("1" + ACK_), status); // the panel's address before its ACK is taken
    EXPECT_EQ(Feed(NAK_), status);       // NAKed: sent again
    EXPECT_EQ(Feed(ACK_), EOT_);
    EXPECT_EQ(Feed(POLL), EOT_); // reported once

    // A panel that never takes the report: given up after three tries, polls answered EOT again.
    Feed(SELECT + Call("551", "B") + EOT_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Feed(POLL), "1\x05");
        EXPECT_EQ(Feed(NAK_), EOT_);
    }
    EXPECT_EQ(Feed(POLL), EOT_);
}

TEST(CallPage, TheWatchByItsNumberTheSitesTextAndThePriority) {
    std::string error;
    std::optional<WatchNames> names =
        WatchNames::Parse("name,address,call\nbed5,0.0.1.5,550\nbed6,0.0.1.6,0551\n", &error);
    ASSERT_TRUE(names) << error;
    const std::vector<QuickText> texts = {{"CALL", "5床呼叫", ""}, {"FIRE 2", "二楼火警", ""}};
    PanelSettings settings;
    settings.port = "/dev/ttyS1";

    NewPage page =
        CallPage({{CALL_ADDRESS, "550"}, {DISPLAY_MESSAGE, "CALL"}, {BEEP_CODING, "3"}, {PRIORITY, "2"}},
                 *names, texts, settings);
    EXPECT_FALSE(page.failure);
    ASSERT_EQ(page.recipients.size(), 1U);
    EXPECT_EQ(page.recipients[0].name, "bed5");
    EXPECT_EQ(page.text, "5床呼叫");
    EXPECT_EQ(page.gbk, "5\xB4\xB2\xBA\xF4\xBD\xD0");
    EXPECT_EQ(page.priority, Priority::High);
    EXPECT_EQ(DetailsText(page.details), "beep coding 3; priority 2");
    ASSERT_EQ(page.details.size(), 2u);
    EXPECT_EQ(page.details[0].name, "beep_coding");
    EXPECT_EQ(page.source, "espa /dev/ttyS1");

    // 551 is the watch list's 0551; a message no label matches is paged as it is; priority 1 is normal.
    page = CallPage({{CALL_ADDRESS, " 551"}, {DISPLAY_MESSAGE, "ROOM 12 "}, {PRIORITY, "1"}}, *names, texts,
                    settings);
    EXPECT_EQ(page.recipients.at(0).name, "bed6");
    EXPECT_EQ(page.text, "ROOM 12");
    EXPECT_EQ(page.priority, Priority::Normal);

    // Without a message: the default text with the number in it.
    page = CallPage({{CALL_ADDRESS, "550"}}, *names, texts, settings);
    EXPECT_EQ(page.text, "呼叫 550");

    // A number no watch has, none at all, or not digits: recorded as failed with the reason, sent to nobody.
    page = CallPage({{CALL_ADDRESS, "999"}, {DISPLAY_MESSAGE, "CALL"}}, *names, texts, settings);
    ASSERT_TRUE(page.failure);
    EXPECT_EQ(page.failure->text, "no watch has the call number 999 (the watch list's call column)");
    EXPECT_EQ(page.failure->code, "call_unknown");
    EXPECT_TRUE(page.recipients.empty());
    EXPECT_EQ(page.text, "5床呼叫");
    page = CallPage({{DISPLAY_MESSAGE, "CALL"}}, *names, texts, settings);
    EXPECT_EQ(page.failure.value_or(Reason{}).code, "call_without_address");
    page = CallPage({{CALL_ADDRESS, "5\x07"}}, *names, texts, settings);
    EXPECT_EQ(page.failure.value_or(Reason{}).text, "\"5<BEL>\" is not a call number");

    // A message longer than the watches show is cut on a whole character.
    page =
        CallPage({{CALL_ADDRESS, "550"}, {DISPLAY_MESSAGE, std::string(100, 'A')}}, *names, texts, settings);
    EXPECT_FALSE(page.failure);
    EXPECT_LE(page.gbk.size(), 84U);

    // What a call asks of its page: the panel's settings, and the escalation its watch has in the list.
    names =
        WatchNames::Parse("name,address,call,escalate\nbed5,0.0.1.5,550,ward-2\nbed6,0.0.1.6,551,\n", &error);
    ASSERT_TRUE(names) << error;
    settings.answers.repeatEvery = 10;
    EXPECT_EQ(CallAnswers(settings, *names, "0550").escalate, "ward-2");
    EXPECT_EQ(CallAnswers(settings, *names, "0550").repeatEvery, 10);
    EXPECT_EQ(CallAnswers(settings, *names, "551").escalate, "");
    const PanelSettings plain;
    EXPECT_FALSE(CallAnswers(plain, *names, "551").Asks());
    EXPECT_TRUE(CallAnswers(plain, *names, "550").Asks());
}

TEST(CallPage, TheLineSettings) {
    PanelSettings settings;
    std::string error;
    ASSERT_TRUE(ParsePanelLine("19200,8N1", &settings, &error)) << error;
    EXPECT_EQ(settings.baudRate, 19200);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_EQ(settings.parity, Parity::None);
    ASSERT_TRUE(ParsePanelLine("9600,7o1", &settings, &error));
    EXPECT_EQ(settings.parity, Parity::Odd);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_FALSE(ParsePanelLine("9601,7E1", &settings, &error));
    EXPECT_FALSE(ParsePanelLine("9600,7X1", &settings, &error));
    EXPECT_FALSE(ParsePanelLine("9600,7E2", &settings, &error));
    EXPECT_EQ(error, "7E2: data bits, parity and stop bits as 7E1 or 8N1 (7 or 8; N, E or O; 1)");
}

} // namespace
} // namespace velkor::gateway
