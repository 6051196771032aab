#include "gateway/smtp/smtp_session.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/intake/page_text.h"
#include "gateway/log/log.h"
#include "gateway/net/tokens.h"
#include "gateway/smtp/mail_text.h"

#include <algorithm>
#include <cctype>

namespace velkor::gateway {
namespace {

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// The address between < and > after "FROM:" or "TO:", and the parameters after it; nullopt when the
// argument is not of that form.
std::optional<std::pair<std::string, std::string>> PathOf(std::string_view argument,
                                                          std::string_view keyword) {
    if (Upper(argument.substr(0, keyword.size())) != keyword) {
        return std::nullopt;
    }
    argument = TrimBlanks(argument.substr(keyword.size()));
    if (argument.empty() || argument.front() != '<') {
        return std::nullopt;
    }
    const std::size_t close = argument.find('>');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return std::pair{std::string(argument.substr(1, close - 1)),
                     std::string(TrimBlanks(argument.substr(close + 1)))};
}

} // namespace

SmtpSession::SmtpSession(SmtpHooks hooks, SmtpSettings settings, std::string peer, bool tls, bool secure)
    : m_hooks(std::move(hooks)), m_settings(std::move(settings)), m_peer(std::move(peer)), m_tls(tls),
      m_secure(secure) {}

std::string SmtpSession::Greeting() const {
    return "220 velkor-gateway ESMTP ready to page";
}

std::string SmtpSession::OnIdle() {
    return "421 4.4.2 velkor-gateway idle too long, closing connection";
}

std::string SmtpSession::OnShutdown() {
    return "421 4.3.2 velkor-gateway shutting down, try again later";
}

std::string SmtpSession::OnLineTooLong() {
    m_closed = true;
    const std::string reply =
        "500 5.5.2 Line longer than " + std::to_string(MAX_LINE) + " bytes, closing connection";
    if (m_hooks.refused) {
        m_hooks.refused(reply);
    }
    return reply;
}

void SmtpSession::TlsStarted() {
    // RFC 3207: everything before the handshake is forgotten, the client says EHLO again.
    m_startTls = false;
    m_tls = false;
    m_secure = true;
    m_greeted = false;
    m_key.reset();
    Reset();
}

void SmtpSession::Reset() {
    m_sender.reset();
    m_recipients.clear();
    m_recipientNames.clear();
    m_inData = false;
    m_data.clear();
    m_dataTooLarge = false;
}

std::vector<std::string> SmtpSession::Error(std::string reply) {
    if (m_hooks.refused) {
        m_hooks.refused(reply);
    }
    if (reply.starts_with('5') && ++m_errors >= MAX_ERRORS) {
        m_closed = true;
        return {std::move(reply), "421 4.7.0 Too many errors, closing connection"};
    }
    return {std::move(reply)};
}

std::vector<std::string> SmtpSession::OnLine(std::string_view line) {
    if (m_closed) {
        return {};
    }
    if (m_inData) {
        return DataLine(line);
    }
    if (m_authStep != AuthStep::None) {
        return AuthLine(line);
    }
    if (++m_commands > MAX_COMMANDS) {
        m_closed = true;
        return {"421 4.7.0 Too many commands in one connection, closing"};
    }
    if (!IsUtf8(line) || std::any_of(line.begin(), line.end(), [](char c) { return c == '\0'; })) {
        return Error("500 5.5.2 Not a command (binary data)");
    }
    const std::size_t space = line.find(' ');
    return Command(Upper(line.substr(0, space)),
                   space == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(space + 1)));
}

std::vector<std::string> SmtpSession::Command(std::string_view verb, std::string_view argument) {
    if (verb == "EHLO" || verb == "HELO") {
        return Hello(argument, verb == "EHLO");
    }
    if (verb == "MAIL") {
        return Mail(argument);
    }
    if (verb == "RCPT") {
        return Rcpt(argument);
    }
    if (verb == "DATA") {
        return Data();
    }
    if (verb == "RSET") {
        Reset();
        return {"250 2.0.0 Ok"};
    }
    if (verb == "NOOP") {
        return {"250 2.0.0 Ok"};
    }
    if (verb == "QUIT") {
        m_closed = true;
        return {"221 2.0.0 Bye"};
    }
    if (verb == "AUTH") {
        return Auth(argument);
    }
    if (verb == "STARTTLS") {
        if (!m_tls) {
            return Error("502 5.5.1 STARTTLS not offered here");
        }
        m_startTls = true;
        return {"220 2.0.0 Ready to start TLS"};
    }
    if (verb == "VRFY") {
        return {"252 2.5.0 Cannot verify, but will take mail for watches, groups and rosters"};
    }
    if (verb == "HELP") {
        return {"214 2.0.0 Mail to NAME@any-domain pages the watch, group or roster NAME"};
    }
    return Error("500 5.5.1 Command not recognized");
}

std::vector<std::string> SmtpSession::Hello(std::string_view argument, bool extended) {
    if (argument.empty()) {
        return Error("501 5.5.4 " + std::string(extended ? "EHLO" : "HELO") + " needs the client's name");
    }
    Reset();
    m_greeted = true;
    if (!extended) {
        return {"250 velkor-gateway"};
    }
    std::vector<std::string> lines = {"velkor-gateway greets " + std::string(argument),
                                      "SIZE " + std::to_string(m_settings.maxMessage),
                                      "8BITMIME",
                                      "PIPELINING",
                                      "ENHANCEDSTATUSCODES",
                                      "SMTPUTF8"};
    if (m_tls) {
        lines.emplace_back("STARTTLS");
    }
    if (m_hooks.login && m_secure) {
        lines.emplace_back("AUTH PLAIN LOGIN");
    }
    lines.emplace_back("HELP");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i] = (i + 1 < lines.size() ? "250-" : "250 ") + lines[i];
    }
    return lines;
}

std::vector<std::string> SmtpSession::Mail(std::string_view argument) {
    if (!m_greeted) {
        return Error("503 5.5.1 Say EHLO first");
    }
    if (m_hooks.login && !m_key) {
        return Error(m_secure ? "530 5.7.0 Authentication required (AUTH with a key that may send)"
                              : "530 5.7.0 Must issue a STARTTLS command first");
    }
    if (m_sender) {
        return Error("503 5.5.1 MAIL already given (RSET to start again)");
    }
    const auto path = PathOf(argument, "FROM:");
    if (!path) {
        return Error("501 5.5.4 Syntax: MAIL FROM:<address>");
    }
    for (std::string_view parameters = path->second; !parameters.empty();) {
        const std::size_t end = std::min(parameters.find(' '), parameters.size());
        const std::string parameter = Upper(parameters.substr(0, end));
        parameters = TrimBlanks(parameters.substr(end));
        if (parameter.starts_with("SIZE=")) {
            const std::optional<uint32_t> size = ParseUnsigned(parameter.substr(5), 0, 0xFFFFFFFF);
            if (size && *size > m_settings.maxMessage) {
                return Error("552 5.3.4 Message size exceeds fixed maximum message size (" +
                             std::to_string(m_settings.maxMessage) + " bytes)");
            }
        } else if (parameter != "BODY=8BITMIME" && parameter != "BODY=7BIT" && parameter != "SMTPUTF8" &&
                   !parameter.starts_with("AUTH=")) {
            return Error("555 5.5.4 MAIL parameter not recognized: " + parameter);
        }
    }
    m_sender = path->first;
    return {"250 2.1.0 Ok"};
}

std::vector<std::string> SmtpSession::Rcpt(std::string_view argument) {
    if (!m_sender) {
        return Error("503 5.5.1 MAIL first");
    }
    const auto path = PathOf(argument, "TO:");
    if (!path || path->first.empty()) {
        return Error("501 5.5.4 Syntax: RCPT TO:<name@domain>");
    }
    const std::string& address = path->first;
    const std::size_t at = address.rfind('@');
    const std::string local = address.substr(0, at);
    const std::string domain = at == std::string::npos ? "" : Lower(address.substr(at + 1));
    if (!m_settings.domains.empty() &&
        std::find(m_settings.domains.begin(), m_settings.domains.end(), domain) == m_settings.domains.end()) {
        return Error("550 5.7.1 <" + address + ">: relay access denied (this gateway takes mail for " +
                     [this] {
                         std::string list;
                         for (const std::string& one : m_settings.domains) {
                             list += (list.empty() ? "" : ", ") + one;
                         }
                         return list;
                     }() +
                     ")");
    }
    if (m_recipients.size() >= static_cast<std::size_t>(MAX_RECIPIENTS)) {
        return Error("452 4.5.3 Too many recipients");
    }
    const auto resolved = m_hooks.resolve(local);
    if (const auto* reason = std::get_if<std::string>(&resolved)) {
        return Error("550 5.1.1 <" + address + ">: " + *reason);
    }
    for (const Recipient& recipient : std::get<std::vector<Recipient>>(resolved)) {
        m_recipients.push_back(recipient);
    }
    if (m_recipients.size() > static_cast<std::size_t>(MAX_RECIPIENTS)) {
        m_recipients.resize(m_recipients.size() - std::get<std::vector<Recipient>>(resolved).size());
        return Error("452 4.5.3 Too many recipients");
    }
    m_recipientNames.push_back(local);
    return {"250 2.1.5 Ok"};
}

std::vector<std::string> SmtpSession::Data() {
    if (!m_sender) {
        return Error("503 5.5.1 MAIL first");
    }
    if (m_recipients.empty()) {
        return Error("554 5.5.1 No valid recipients");
    }
    m_inData = true;
    m_data.clear();
    m_dataTooLarge = false;
    return {"354 End data with <CR><LF>.<CR><LF>"};
}

std::vector<std::string> SmtpSession::DataLine(std::string_view line) {
    if (line == ".") {
        m_inData = false;
        return EndOfData();
    }
    if (line.starts_with('.')) {
        line.remove_prefix(1); // RFC 5321 4.5.2: the sender doubled a leading dot
    }
    if (m_dataTooLarge || m_data.size() + line.size() + 2 > m_settings.maxMessage) {
        m_dataTooLarge = true; // read on to the end, keep nothing
        m_data.clear();
        return {};
    }
    m_data.append(line);
    m_data.append("\r\n");
    return {};
}

std::vector<std::string> SmtpSession::EndOfData() {
    if (m_dataTooLarge) {
        Reset();
        return Error("552 5.3.4 Message too big (over " + std::to_string(m_settings.maxMessage) + " bytes)");
    }
    const MailText mail =
        ReadMail(m_data, m_settings.textFromBody ? MailTextFrom::Body : MailTextFrom::Subject);
    if (mail.text.empty()) {
        Reset();
        return Error("554 5.6.0 Nothing to page: the message has no subject and no text");
    }
    const std::variant<PageText, std::string> text = CheckPageText(FitPageText(mail.text), Charset::Utf8);
    if (const auto* reason = std::get_if<std::string>(&text)) {
        Reset();
        return Error("554 5.6.0 The text cannot be paged: " + *reason);
    }
    NewPage page;
    page.recipients = m_recipients;
    page.text = std::get<PageText>(text).utf8;
    page.gbk = std::get<PageText>(text).gbk;
    page.key = m_key.value_or("");
    page.source = "smtp " + m_peer + " (from <" + ValidUtf8(*m_sender) + ">)";
    if (mail.attachments > 0) {
        LogLine("smtp " + m_peer + ": " + std::to_string(mail.attachments) +
                (mail.attachments == 1 ? " attachment" : " attachments") + " not paged, only the text");
    }
    const std::variant<int64_t, std::string> stored = m_hooks.submit(page);
    Reset();
    if (const auto* reason = std::get_if<std::string>(&stored)) {
        // The sender's server keeps the message and tries again.
        return Error("451 4.3.0 Not queued, try again later: " + *reason);
    }
    return {"250 2.0.0 Ok: queued as page " + std::to_string(std::get<int64_t>(stored))};
}

std::vector<std::string> SmtpSession::Auth(std::string_view argument) {
    if (!m_hooks.login) {
        return Error("503 5.5.1 No authentication needed here");
    }
    if (!m_secure) {
        return Error("538 5.7.11 Encryption required: STARTTLS first");
    }
    if (m_key) {
        return Error("503 5.5.1 Already authenticated");
    }
    const std::size_t space = argument.find(' ');
    const std::string mechanism = Upper(argument.substr(0, space));
    const std::string_view initial =
        space == std::string_view::npos ? "" : TrimBlanks(argument.substr(space + 1));
    if (mechanism == "PLAIN") {
        if (initial.empty()) {
            m_authStep = AuthStep::PlainResponse;
            return {"334 "};
        }
        m_authStep = AuthStep::PlainResponse;
        return AuthLine(initial);
    }
    if (mechanism == "LOGIN") {
        if (!initial.empty()) {
            m_authUser = DecodeBase64(initial).value_or("");
            m_authStep = AuthStep::LoginPassword;
            return {"334 UGFzc3dvcmQ6"};
        }
        m_authStep = AuthStep::LoginUser;
        return {"334 VXNlcm5hbWU6"};
    }
    return Error("504 5.5.4 Unrecognized authentication type (PLAIN, LOGIN)");
}

std::vector<std::string> SmtpSession::AuthLine(std::string_view line) {
    const AuthStep step = m_authStep;
    m_authStep = AuthStep::None;
    if (line == "*") {
        return Error("501 5.0.0 Authentication cancelled");
    }
    const std::optional<std::string> decoded = DecodeBase64(line);
    if (!decoded) {
        return Error("501 5.5.2 Cannot decode the response (base64)");
    }
    if (step == AuthStep::LoginUser) {
        m_authUser = *decoded;
        m_authStep = AuthStep::LoginPassword;
        return {"334 UGFzc3dvcmQ6"};
    }
    if (step == AuthStep::LoginPassword) {
        return Login(m_authUser, *decoded);
    }
    // PLAIN: authorization identity, NUL, user, NUL, password.
    const std::size_t first = decoded->find('\0');
    const std::size_t second =
        first == std::string::npos ? std::string::npos : decoded->find('\0', first + 1);
    if (second == std::string::npos) {
        return Error("501 5.5.2 Not a PLAIN response");
    }
    return Login(decoded->substr(first + 1, second - first - 1), decoded->substr(second + 1));
}

std::vector<std::string> SmtpSession::Login(const std::string& user, const std::string& password) {
    if (std::optional<std::string> key = m_hooks.login(user, password)) {
        m_key = std::move(key);
        return {"235 2.7.0 Authentication successful"};
    }
    return Error("535 5.7.8 Authentication credentials invalid");
}

} // namespace velkor::gateway
