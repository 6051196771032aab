#include "gateway/snpp/snpp_session.h"

#include "frames/strict_text.h"
#include "frames/text_encoding.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace velkor::gateway {
namespace {

// Level 2 and 3 commands this gateway has no use for. Answered "not implemented" without counting as the
// client's error, so that a client that tries them (sendpage sends SITE) goes on with the page.
constexpr std::array<std::string_view, 15> kNotImplemented = {"HOLD", "ALER", "CALL", "COVE", "SUBJ",
                                                              "SITE", "2WAY", "PING", "EXPT", "NOQU",
                                                              "ACKR", "RTYP", "MCRE", "MSTA", "KTAG"};

constexpr std::string_view kHelp[] = {
    "214 velkor-gateway pages the watches of this site. Commands:",
    "214   LOGI <user> [<password>]   log in (needed when the gateway has a token file)",
    "214   LEVE <level>               0: high priority; 1 (the default) and up: normal",
    "214   PAGE <watch>               a watch address A.B.C.D, a number, all, or a name",
    "214   MESS <text>                the text, at most 84 bytes in GBK (42 Chinese characters)",
    "214   DATA                       the text on the lines that follow, ended by a line with a dot",
    "214   SEND                       queue the page for every watch given with PAGE",
    "214   RESE                       forget the watches and the text",
    "214   QUIT                       end the session",
};

bool IsBinary(std::string_view line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
}

std::string_view FirstWord(std::string_view text) {
    text = TrimBlanksLeft(text);
    return text.substr(0, text.find_first_of(" \t"));
}

} // namespace

SnppSession::SnppSession(SnppHooks hooks, Charset charset, std::string peer)
    : m_hooks(std::move(hooks)), m_charset(charset), m_peer(std::move(peer)) {}

std::string SnppSession::Greeting() const {
    return "220 velkor-gateway SNPP (V3) Gateway Ready";
}

std::string SnppSession::OnLineTooLong() {
    m_closed = true;
    return "421 Line longer than " + std::to_string(MAX_LINE) + " bytes, Goodbye (terminate connection)";
}

std::string SnppSession::OnIdle() {
    return "421 Timeout, Goodbye (terminate connection)";
}

std::vector<std::string> SnppSession::Hangup(std::string reply) {
    m_closed = true;
    if (m_hooks.refused && (reply.starts_with('4') || reply.starts_with('5'))) {
        m_hooks.refused(reply);
    }
    return {std::move(reply)};
}

std::vector<std::string> SnppSession::Error(std::string reply) {
    if (m_hooks.refused) {
        m_hooks.refused(reply);
    }
    if (++m_errors >= MAX_ERRORS) {
        return {std::move(reply), "421 Too Many Errors, Goodbye (terminate connection)"};
    }
    return {std::move(reply)};
}

void SnppSession::Reset() {
    m_pagers.clear();
    m_message.reset();
}

std::vector<std::string> SnppSession::OnLine(std::string_view line) {
    if (m_closed) {
        return {};
    }
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (++m_commands > MAX_COMMANDS) {
        return Hangup("421 More than " + std::to_string(MAX_COMMANDS) +
                      " lines in one session, Goodbye (terminate connection)");
    }
    if (IsBinary(line)) {
        return Hangup("421 Binary data, Goodbye (terminate connection)");
    }
    if (m_inData) {
        return DataLine(line);
    }
    line = TrimBlanksLeft(line);
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    const std::string_view argument = TrimBlanksLeft(line.substr(word.size()));
    // Only the first four letters count: "PAGEr", "MESSage" and "PAGE" are one command.
    std::string verb(word.substr(0, 4));
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::vector<std::string> replies = Command(verb, argument);
    if (!replies.empty() && replies.back().starts_with("421")) {
        m_closed = true;
    }
    return replies;
}

std::vector<std::string> SnppSession::Command(std::string_view verb, std::string_view argument) {
    if (verb == "QUIT") {
        return Hangup("221 OK, Goodbye");
    }
    if (verb == "HELP") {
        std::vector<std::string> lines(std::begin(kHelp), std::end(kHelp));
        lines.emplace_back("250 End of Help Information");
        return lines;
    }
    if (verb == "RESE") {
        Reset();
        m_priority = Priority::Normal;
        return {"250 RESET OK"};
    }
    if (verb == "LOGI") {
        return Login(argument);
    }
    if (verb == "LEVE") {
        return Level(argument);
    }
    if (std::find(kNotImplemented.begin(), kNotImplemented.end(), verb) != kNotImplemented.end()) {
        return {"500 Command Not Implemented"};
    }
    const bool known = verb == "PAGE" || verb == "MESS" || verb == "DATA" || verb == "SEND";
    if (!known) {
        return Error("500 Command Not Implemented");
    }
    if (m_hooks.login && !m_loggedIn) {
        return Error("550 Error, Login Required (LOGI user password)");
    }
    if (verb == "PAGE") {
        return Page(argument);
    }
    if (verb == "MESS") {
        return Message(argument);
    }
    if (verb == "DATA") {
        if (m_message) {
            return Error("503 ERROR, Message Already Entered");
        }
        m_inData = true;
        m_data.clear();
        m_dataTooLong = false;
        return {"354 Begin Input; End with <CRLF>'.'<CRLF>"};
    }
    return Send();
}

std::vector<std::string> SnppSession::Login(std::string_view argument) {
    const std::string_view user = FirstWord(argument);
    const std::string_view password = FirstWord(TrimBlanksLeft(argument).substr(user.size()));
    if (user.empty()) {
        return Error("550 Error, Invalid Login (LOGI user password)");
    }
    if (m_hooks.login && !m_hooks.login(user, password)) {
        m_loggedIn = false;
        return Error("550 Error, Invalid Login");
    }
    m_loggedIn = true;
    m_user = std::string(user);
    return {"250 Login Accepted"};
}

std::vector<std::string> SnppSession::Level(std::string_view argument) {
    const std::string_view level = FirstWord(argument);
    if (level.empty() || level.size() > 2 ||
        level.find_first_not_of("0123456789") != std::string_view::npos) {
        return Error("550 Error, Invalid Service Level");
    }
    // Level 0 is the RFC's priority service; every other level is ordinary paging here.
    m_priority = level == "0" || level == "00" ? Priority::High : Priority::Normal;
    return {"250 OK, Alternate Service Level Accepted"};
}

std::vector<std::string> SnppSession::Page(std::string_view argument) {
    std::string id(FirstWord(argument));
    if (m_charset == Charset::Gbk) {
        id = AnsiToUtf8(id);
    }
    if (m_pagers.size() >= MAX_PAGERS) {
        return Error("552 Maximum Entries Exceeded");
    }
    std::variant<std::vector<Recipient>, std::string> recipients = m_hooks.resolve(id);
    if (auto* reason = std::get_if<std::string>(&recipients)) {
        return Error("550 Error, Invalid Pager ID: " + *reason);
    }
    // The limit counts watches, a group by its members, as HTTP counts them.
    if (m_pagers.size() + std::get<std::vector<Recipient>>(recipients).size() > MAX_PAGERS) {
        return Error("552 Maximum Entries Exceeded (" + std::to_string(MAX_PAGERS) + " watches a page)");
    }
    for (Recipient& recipient : std::get<std::vector<Recipient>>(recipients)) {
        m_pagers.push_back(std::move(recipient));
    }
    return {"250 Pager ID Accepted"};
}

std::vector<std::string> SnppSession::Message(std::string_view text) {
    if (m_message) {
        return Error("503 ERROR, Message Already Entered");
    }
    std::variant<PageText, std::string> checked = CheckPageText(text, m_charset);
    if (auto* reason = std::get_if<std::string>(&checked)) {
        return Error("550 Error, " + *reason);
    }
    m_message = std::get<PageText>(std::move(checked));
    return {"250 Message OK"};
}

std::vector<std::string> SnppSession::DataLine(std::string_view line) {
    if (line == ".") {
        m_inData = false;
        if (m_dataTooLong) {
            return Error("550 Error, the text is longer than " + std::to_string(MAX_DATA) + " bytes");
        }
        return Message(m_data);
    }
    if (line.starts_with('.')) {
        line.remove_prefix(1); // a leading dot doubled by the client
    }
    if (m_dataTooLong || m_data.size() + line.size() + 1 > MAX_DATA) {
        m_dataTooLong = true;
        return {};
    }
    if (!m_data.empty()) {
        m_data += '\n';
    }
    m_data += line;
    return {};
}

std::vector<std::string> SnppSession::Send() {
    if (m_pagers.empty() || !m_message) {
        return Error("503 Error, Pager ID or Message Incomplete");
    }
    NewPage page;
    page.recipients = m_pagers;
    page.text = m_message->utf8;
    page.gbk = m_message->gbk;
    page.priority = m_priority;
    page.source = "snpp " + m_peer + (m_user.empty() ? "" : " (user " + m_user + ")");
    std::variant<int64_t, std::string> result = m_hooks.submit(page);
    Reset();
    if (auto* reason = std::get_if<std::string>(&result)) {
        return {"554 Error, failed (technical reason): " + *reason};
    }
    return {"250 Message Sent Successfully"};
}

} // namespace velkor::gateway
