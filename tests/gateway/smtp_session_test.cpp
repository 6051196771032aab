// An SMTP conversation's rules without a socket: what needs TLS, what STARTTLS forgets, a doubled dot.

#include "gateway/smtp/smtp_session.h"

#include <gtest/gtest.h>

namespace velkor::gateway {
namespace {

struct Conversation {
    explicit Conversation(bool tls, bool secure) {
        hooks.resolve = [](std::string_view name) -> std::variant<std::vector<Recipient>, std::string> {
            if (name == "kitchen") {
                return std::vector<Recipient>{Recipient{WatchAddress{0, 0, 1, 1}, "kitchen"}};
            }
            return std::string("no such watch");
        };
        hooks.login = [](std::string_view user, std::string_view password) -> std::optional<std::string> {
            return user == "ups" && password == "t0ken" ? std::optional<std::string>("ups") : std::nullopt;
        };
        hooks.submit = [this](const NewPage& page) -> std::variant<int64_t, std::string> {
            pages.push_back(page);
            return int64_t{7};
        };
        session = std::make_unique<SmtpSession>(hooks, SmtpSettings{}, "192.0.2.1:1000", tls, secure);
    }
    // The first reply line to `line`.
    std::string Say(std::string_view line) {
        const std::vector<std::string> replies = session->OnLine(line);
        return replies.empty() ? "" : replies.back();
    }
    SmtpHooks hooks;
    std::vector<NewPage> pages;
    std::unique_ptr<SmtpSession> session;
};

TEST(SmtpSession, OffLoopbackAKeyCrossesOnlyAfterStartTls) {
    Conversation open(true, false);
    EXPECT_EQ(open.Say("EHLO client").find("AUTH"), std::string::npos);
    EXPECT_EQ(open.Say("AUTH PLAIN AHVwcwB0MGtlbg=="), "538 5.7.11 Encryption required: STARTTLS first");
    EXPECT_EQ(open.Say("MAIL FROM:<a@b>"), "530 5.7.0 Must issue a STARTTLS command first");
    EXPECT_EQ(open.Say("STARTTLS"), "220 2.0.0 Ready to start TLS");
    ASSERT_TRUE(open.session->StartTlsAsked());
    open.session->TlsStarted();
    EXPECT_EQ(open.Say("MAIL FROM:<a@b>"), "503 5.5.1 Say EHLO first") << "what came before TLS is forgotten";
    EXPECT_EQ(open.Say("EHLO client"), "250 HELP");
    EXPECT_EQ(open.Say("AUTH PLAIN AHVwcwB0MGtlbg=="), "235 2.7.0 Authentication successful"); // \0ups\0t0ken
    EXPECT_EQ(open.Say("STARTTLS"), "502 5.5.1 STARTTLS not offered here") << "once is enough";
}

TEST(SmtpSession, TheMessageIsReadAsSentAndPagedOnceStored) {
    Conversation desk(false, true);
    desk.hooks.login = nullptr;
    desk.session = std::make_unique<SmtpSession>(desk.hooks, SmtpSettings{}, "127.0.0.1:1000", false, true);
    desk.Say("EHLO client");
    EXPECT_EQ(desk.Say("MAIL FROM:<a@b> BODY=8BITMIME SMTPUTF8"), "250 2.1.0 Ok");
    EXPECT_EQ(desk.Say("MAIL FROM:<a@b>"), "503 5.5.1 MAIL already given (RSET to start again)");
    EXPECT_EQ(desk.Say("RCPT TO:<nobody@x>"), "550 5.1.1 <nobody@x>: no such watch");
    EXPECT_EQ(desk.Say("RCPT TO:<kitchen@x>"), "250 2.1.5 Ok");
    EXPECT_EQ(desk.Say("DATA"), "354 End data with <CR><LF>.<CR><LF>");
    EXPECT_TRUE(desk.session->InData());
    desk.Say("Subject:");
    desk.Say("");
    desk.Say("..5 Stuffed");
    EXPECT_EQ(desk.Say("."), "250 2.0.0 Ok: queued as page 7");
    ASSERT_EQ(desk.pages.size(), 1U);
    EXPECT_EQ(desk.pages[0].text, ".5 Stuffed") << "a leading dot the sender doubled";
    EXPECT_EQ(desk.pages[0].source, "smtp 127.0.0.1:1000 (from <a@b>)");
    EXPECT_EQ(desk.Say("DATA"), "503 5.5.1 MAIL first") << "each message starts afresh";
    EXPECT_EQ(desk.Say("MAIL FROM:<a@b> SIZE=2000000"),
              "552 5.3.4 Message size exceeds fixed maximum message size (1048576 bytes)");
    EXPECT_EQ(desk.Say("MAIL FROM:<a@b> X-SPY=1"), "555 5.5.4 MAIL parameter not recognized: X-SPY=1");
}

} // namespace
} // namespace velkor::gateway
