#pragma once
// One SNPP (RFC 1861) conversation, as paging terminals hold it with other software: a line in, the reply
// lines out. Level 1 (PAGE, MESS, RESE, SEND, QUIT, HELP) and from level 2 DATA, LOGI and LEVE; the other
// level 2 and 3 commands are answered "not implemented" so that clients carry on. No sockets here.

#include "gateway/intake/page_text.h"
#include "gateway/intake/watch_names.h"
#include "gateway/queue/page_store.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor::gateway {

struct SnppHooks {
    // The watch a PAGE line names, or why it names none.
    std::function<std::variant<std::vector<Recipient>, std::string>(std::string_view)> resolve;
    // Whether LOGI's user and password are let in; unset: everyone is (no token file).
    std::function<bool(std::string_view user, std::string_view password)> login;
    // Queues the page; its id once committed, or the technical reason it is not.
    std::function<std::variant<int64_t, std::string>(const NewPage&)> submit;
    // Told of every refusal (a 4xx or 5xx reply) with the reply; unset: not told.
    std::function<void(std::string_view reply)> refused;
};

class SnppSession {
public:
    static constexpr std::size_t MAX_LINE = 1024;     // bytes of one command line (RFC 1861 allows 512)
    static constexpr std::size_t MAX_COMMANDS = 1000; // per connection
    static constexpr std::size_t MAX_PAGERS = MAX_RECIPIENTS; // watches of the PAGE lines before one SEND
    static constexpr std::size_t MAX_DATA = 4096;             // bytes of a DATA message
    static constexpr int MAX_ERRORS = 10;                     // unknown commands before the server hangs up

    SnppSession(SnppHooks hooks, Charset charset, std::string peer);

    // "220 ..." on connecting.
    std::string Greeting() const;
    // The replies to one line (without its line break). After a reply that ends the session, Closed().
    std::vector<std::string> OnLine(std::string_view line);
    // The reply before hanging up on a client that sent an over-long line (the rest of it is not read).
    std::string OnLineTooLong();
    // The reply before hanging up on a client that said nothing for too long.
    static std::string OnIdle();
    bool Closed() const { return m_closed; }

private:
    std::vector<std::string> Command(std::string_view verb, std::string_view argument);
    std::vector<std::string> Page(std::string_view argument);
    std::vector<std::string> Message(std::string_view text);
    std::vector<std::string> Send();
    std::vector<std::string> Login(std::string_view argument);
    std::vector<std::string> Level(std::string_view argument);
    std::vector<std::string> DataLine(std::string_view line);
    std::vector<std::string> Error(std::string reply);
    std::vector<std::string> Hangup(std::string reply);
    void Reset();

    SnppHooks m_hooks;
    Charset m_charset;
    std::string m_peer;
    std::string m_user; // after LOGI
    bool m_loggedIn = false;

    std::vector<Recipient> m_pagers;
    std::optional<PageText> m_message;
    Priority m_priority = Priority::Normal;

    bool m_inData = false;
    std::string m_data;
    bool m_dataTooLong = false;

    std::size_t m_commands = 0;
    int m_errors = 0;
    bool m_closed = false;
};

} // namespace velkor::gateway
