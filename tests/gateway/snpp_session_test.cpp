// SNPP conversations as clients hold them, and every kind of bad input a listener must survive.

#include "gateway/snpp/snpp_session.h"

#include <gtest/gtest.h>

namespace velkor::gateway {
namespace {

class SnppTest : public ::testing::Test {
protected:
    SnppSession Session(Charset charset = Charset::Utf8, bool login = false) {
        SnppHooks hooks;
        hooks.resolve = [this](std::string_view text) { return ParseRecipient(text, m_names); };
        hooks.submit = [this](const NewPage& page) -> std::variant<int64_t, std::string> {
            if (m_storeBroken) {
                return std::string("database: disk I/O error");
            }
            m_pages.push_back(page);
            return static_cast<int64_t>(m_pages.size());
        };
        if (login) {
            hooks.login = [](std::string_view user, std::string_view password) {
                return user == "panel" && password == "s3cret";
            };
        }
        return SnppSession(hooks, charset, "127.0.0.1:5000");
    }
    // The first reply line to each line, in order.
    static std::vector<std::string> Codes(SnppSession& session, const std::vector<std::string>& lines) {
        std::vector<std::string> codes;
        for (const std::string& line : lines) {
            std::vector<std::string> replies = session.OnLine(line);
            codes.push_back(replies.empty() ? "" : replies.back().substr(0, 3));
        }
        return codes;
    }

    std::string m_error;
    WatchNames m_names = *WatchNames::Parse("name,address\nnurse-3,0.0.0.12\n", &m_error);
    std::vector<NewPage> m_pages;
    bool m_storeBroken = false;
};

TEST_F(SnppTest, LevelOnePageAsSendpageSendsIt) {
    SnppSession session = Session();
    EXPECT_EQ(session.Greeting().substr(0, 4), "220 ");
    EXPECT_EQ(Codes(session, {"LOGI root\r", "SITE HELP NOTIFY\r", "LEVE 1\r", "PAGE 0.0.0.12\r",
                              "MESS 3号桌请取餐\r", "SEND\r", "QUIT\r"}),
              (std::vector<std::string>{"250", "500", "250", "250", "250", "250", "221"}));
    EXPECT_TRUE(session.Closed());
    ASSERT_EQ(m_pages.size(), 1U);
    EXPECT_EQ(m_pages[0].gbk, "3\xBA\xC5\xD7\xC0\xC7\xEB\xC8\xA1\xB2\xCD");
    EXPECT_EQ(m_pages[0].priority, Priority::Normal);
    EXPECT_EQ(m_pages[0].source, "snpp 127.0.0.1:5000 (user root)");
}

TEST_F(SnppTest, SeveralPagersOneMessageDataAndPriority) {
    SnppSession session = Session();
    EXPECT_EQ(Codes(session, {"leve 0", "pager nurse-3", "PAGE 7", "DATA", "Bed 4", "..dot", ".", "SEND"}),
              (std::vector<std::string>{"250", "250", "250", "354", "", "", "250", "250"}));
    ASSERT_EQ(m_pages.size(), 1U);
    EXPECT_EQ(m_pages[0].recipients.size(), 2U);
    EXPECT_EQ(m_pages[0].recipients[0].name, "nurse-3");
    EXPECT_EQ(m_pages[0].recipients[1].address, (WatchAddress{0, 0, 0, 7}));
    EXPECT_EQ(m_pages[0].text, "Bed 4\n.dot");
    EXPECT_EQ(m_pages[0].priority, Priority::High);
    // SEND starts the next page afresh.
    EXPECT_EQ(Codes(session, {"MESS again", "SEND", "RESE", "PAGE 1", "SEND"}),
              (std::vector<std::string>{"250", "503", "250", "250", "503"}));
}

struct BadInput {
    const char* name;
    std::vector<std::string> lines;
    std::string lastReply; // the start of the reply to the last line
    bool closed;
};

TEST_F(SnppTest, BadInputGetsTheRfcCodeAndTheReason) {
    const std::string longText(85, 'x');
    const std::vector<BadInput> rows = {
        {"unknown pager",
         {"PAGE nurse-9"},
         "550 Error, Invalid Pager ID: no watch or group is named \"nurse-9\"",
         false},
        {"no pager id", {"PAGE"}, "550 Error, Invalid Pager ID: no recipient", false},
        {"text too long", {"MESS " + longText}, "550 Error, the text is 85 bytes in GBK", false},
        {"broken utf-8", {"MESS \xE9\xA4"}, "550 Error, the text is not valid UTF-8", false},
        {"empty message", {"MESS"}, "550 Error, the text is empty", false},
        {"message twice", {"MESS a", "MESS b"}, "503 ERROR, Message Already Entered", false},
        {"data after message", {"MESS a", "DATA"}, "503 ERROR, Message Already Entered", false},
        {"send without pager", {"MESS a", "SEND"}, "503 Error, Pager ID or Message Incomplete", false},
        {"bad level", {"LEVE high"}, "550 Error, Invalid Service Level", false},
        {"unknown command", {"FOO"}, "500 Command Not Implemented", false},
        {"not implemented", {"HOLD 261231235959"}, "500 Command Not Implemented", false},
        {"binary", {std::string("PAGE \x01\x02\x03", 8)}, "421 Binary data", true},
        {"NUL", {std::string("MESS a\0b", 8)}, "421 Binary data", true},
        {"garbage", std::vector<std::string>(10, "GET / HTTP/1.1"), "421 Too Many Errors", true},
        {"endless", std::vector<std::string>(1001, "RESE"), "421 More than 1000 lines", true},
        {"data too long",
         [] {
             std::vector<std::string> lines = {"PAGE 1", "DATA"};
             lines.insert(lines.end(), 50, std::string(100, 'y'));
             lines.emplace_back(".");
             return lines;
         }(),
         "550 Error, the text is longer than 4096 bytes", false},
    };
    for (const BadInput& row : rows) {
        SCOPED_TRACE(row.name);
        SnppSession session = Session();
        std::vector<std::string> replies;
        for (const std::string& line : row.lines) {
            replies = session.OnLine(line);
        }
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies.back().substr(0, row.lastReply.size()), row.lastReply) << replies.back();
        EXPECT_EQ(session.Closed(), row.closed);
        EXPECT_TRUE(m_pages.empty());
    }
}

TEST_F(SnppTest, LineTooLongAndIdleEndTheSession) {
    SnppSession session = Session();
    EXPECT_EQ(session.OnLineTooLong().substr(0, 4), "421 ");
    EXPECT_TRUE(session.Closed());
    EXPECT_TRUE(session.OnLine("QUIT").empty()) << "nothing more after the hang-up";
    EXPECT_EQ(SnppSession::OnIdle().substr(0, 4), "421 ");
}

TEST_F(SnppTest, StoreFailureIs554AndNothingIsClaimed) {
    SnppSession session = Session();
    m_storeBroken = true;
    session.OnLine("PAGE 1");
    session.OnLine("MESS hi");
    std::vector<std::string> replies = session.OnLine("SEND");
    ASSERT_EQ(replies.size(), 1U);
    EXPECT_EQ(replies[0], "554 Error, failed (technical reason): database: disk I/O error");
}

TEST_F(SnppTest, WithTokensOnlyALoggedInClientPages) {
    SnppSession session = Session(Charset::Utf8, true);
    EXPECT_EQ(Codes(session, {"PAGE 1", "LOGI panel wrong", "LOGI intruder s3cret", "LOGI panel s3cret",
                              "PAGE 1", "MESS hi", "SEND"}),
              (std::vector<std::string>{"550", "550", "550", "250", "250", "250", "250"}));
    ASSERT_EQ(m_pages.size(), 1U);
    EXPECT_EQ(m_pages[0].source, "snpp 127.0.0.1:5000 (user panel)");
}

TEST_F(SnppTest, GbkListenerReadsGbkBytes) {
    SnppSession session = Session(Charset::Gbk);
    EXPECT_EQ(Codes(session, {"PAGE 12", "MESS 3\xBA\xC5\xD7\xC0", "SEND"}),
              (std::vector<std::string>{"250", "250", "250"}));
    ASSERT_EQ(m_pages.size(), 1U);
    EXPECT_EQ(m_pages[0].text, "3号桌");
    EXPECT_EQ(m_pages[0].gbk, "3\xBA\xC5\xD7\xC0");
    EXPECT_EQ(Codes(session, {"PAGE 12", "MESS 3\xBA"}), (std::vector<std::string>{"250", "550"}));
}

// The limit counts watches, a group by its members, as HTTP does: a group of 60 twice is 120.
TEST_F(SnppTest, TheRecipientLimitCountsAGroupByItsMembers) {
    std::string list = "name,address,groups\n";
    for (int i = 1; i <= 60; ++i) {
        list += "bed-" + std::to_string(i) + ",0.0.1." + std::to_string(i) + ",ward\n";
    }
    m_names = *WatchNames::Parse(list, &m_error);
    SnppSession session = Session();
    EXPECT_EQ(Codes(session, {"PAGE ward", "PAGE ward"}), (std::vector<std::string>{"250", "552"}));
    EXPECT_EQ(Codes(session, {"MESS hi", "SEND"}), (std::vector<std::string>{"250", "250"}));
    ASSERT_EQ(m_pages.size(), 1U);
    EXPECT_EQ(m_pages[0].recipients.size(), 60U);
}

TEST_F(SnppTest, HelpEndsWith250) {
    SnppSession session = Session();
    std::vector<std::string> replies = session.OnLine("HELP");
    ASSERT_GT(replies.size(), 2U);
    EXPECT_EQ(replies.front().substr(0, 4), "214 ");
    EXPECT_EQ(replies.back(), "250 End of Help Information");
}

} // namespace
} // namespace velkor::gateway
