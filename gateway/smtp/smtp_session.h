#pragma once
// One SMTP (RFC 5321) conversation as a mail server holds it: a line in, the reply lines out, in order
// (so that a client's pipelined commands are answered as it sent them). EHLO offers SIZE, 8BITMIME,
// PIPELINING, ENHANCEDSTATUSCODES, SMTPUTF8 and AUTH PLAIN LOGIN (STARTTLS where the server has a
// certificate). A recipient's local part is the page's recipient, refused at RCPT when no watch, group or
// roster has it; the message is queued as one page to all of them, and 250 answers it only once stored.
// No sockets here.

#include "gateway/queue/page_types.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor::gateway {

enum class MailTextFrom;

struct SmtpSettings {
    std::size_t maxMessage = 1024 * 1024; // bytes of a message; more is 552
    std::vector<std::string> domains;     // the domains taken; empty: any
    bool textFromBody = false;            // the body's first line even when there is a subject
};

struct SmtpHooks {
    // The watches a recipient's local part names, or why it names none.
    std::function<std::variant<std::vector<Recipient>, std::string>(std::string_view)> resolve;
    // The key's name when `user` and `password` are a key that may send; unset: no token file, none needed.
    std::function<std::optional<std::string>(std::string_view user, std::string_view password)> login;
    // Queues the page; its id once committed, or the technical reason it is not.
    std::function<std::variant<int64_t, std::string>(const NewPage&)> submit;
    // Told of every refusal (a 4xx or 5xx reply); unset: not told.
    std::function<void(std::string_view reply)> refused;
};

class SmtpSession {
public:
    static constexpr std::size_t MAX_LINE = 1000;     // of a command, its CRLF included (RFC 5321 4.5.3.1.4)
    static constexpr std::size_t MAX_COMMANDS = 1000; // per connection
    static constexpr int MAX_ERRORS = 10;             // bad commands before the server hangs up

    // `tls`: STARTTLS is offered (the server has a certificate); `secure`: the connection is loopback or
    // already encrypted, so that AUTH may be offered.
    SmtpSession(SmtpHooks hooks, SmtpSettings settings, std::string peer, bool tls, bool secure);

    std::string Greeting() const;
    // The replies to one line (without its CRLF). Closed() after a reply that ends the session.
    std::vector<std::string> OnLine(std::string_view line);
    // Whether lines are the message's (after DATA's 354), not commands.
    bool InData() const { return m_inData; }
    // After "220 Ready to start TLS" has been sent and the handshake is done: the session starts afresh.
    bool StartTlsAsked() const { return m_startTls; }
    void TlsStarted();
    std::string OnLineTooLong();
    static std::string OnIdle();
    static std::string OnShutdown();
    bool Closed() const { return m_closed; }

private:
    std::vector<std::string> Command(std::string_view verb, std::string_view argument);
    std::vector<std::string> Hello(std::string_view argument, bool extended);
    std::vector<std::string> Mail(std::string_view argument);
    std::vector<std::string> Rcpt(std::string_view argument);
    std::vector<std::string> Data();
    std::vector<std::string> Auth(std::string_view argument);
    std::vector<std::string> AuthLine(std::string_view line);
    std::vector<std::string> Login(const std::string& user, const std::string& password);
    std::vector<std::string> DataLine(std::string_view line);
    std::vector<std::string> EndOfData();
    std::vector<std::string> Error(std::string reply);
    void Reset();

    SmtpHooks m_hooks;
    SmtpSettings m_settings;
    std::string m_peer;
    bool m_tls;
    bool m_secure;
    bool m_startTls = false;

    bool m_greeted = false;
    std::optional<std::string> m_key; // the key's name after AUTH ("" for one without a name)
    enum class AuthStep { None, PlainResponse, LoginUser, LoginPassword } m_authStep = AuthStep::None;
    std::string m_authUser;

    std::optional<std::string> m_sender; // after MAIL
    std::vector<Recipient> m_recipients;
    std::vector<std::string> m_recipientNames;
    bool m_inData = false;
    std::string m_data;
    bool m_dataTooLarge = false;

    std::size_t m_commands = 0;
    int m_errors = 0;
    bool m_closed = false;
};

} // namespace velkor::gateway
