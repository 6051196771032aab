#include "gateway/snpp/snpp_server.h"

#include "gateway/log/log.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor::gateway {

SnppServer::SnppServer(int listener, SnppHooks hooks, Charset charset)
    : m_hooks(std::move(hooks)), m_charset(charset),
      m_server("snpp", listener, MAX_CONNECTIONS,
               "421 Too many connections, try again later (terminate connection)",
               [this](int client, const std::string& peer, int stop) { Serve(client, peer, stop); }) {}

void SnppServer::Serve(int client, const std::string& peer, int stop) {
    // A client that stops reading must not hold its thread for ever.
    timeval sendTimeout{10, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    // Replies are short lines a client waits for: sent at once, not held back for the client's ACK.
    const int noDelay = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    SnppSession session(m_hooks, m_charset, peer);
    std::string pending;
    bool open = SendLines(client, {session.Greeting()});
    auto idleSince = std::chrono::steady_clock::now();
    while (open && !session.Closed()) {
        const Waited waited = WaitForClient(client, stop, idleSince, IDLE_TIMEOUT);
        if (waited == Waited::Stopping) {
            SendLines(client, {"421 Gateway shutting down, Goodbye (terminate connection)"});
            break;
        }
        if (waited == Waited::Idle) {
            SendLines(client, {SnppSession::OnIdle()});
            LogLine("snpp " + peer + ": idle for " + std::to_string(IDLE_TIMEOUT.count()) +
                    " s, disconnected");
            break;
        }
        char buffer[4096];
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break; // the client went away
        }
        idleSince = std::chrono::steady_clock::now();
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end;
             open && !session.Closed() && (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            // The limit is the command's: its CR does not count.
            const std::size_t length = end - start - (end > start && pending[end - 1] == '\r' ? 1 : 0);
            if (length > SnppSession::MAX_LINE) {
                break; // handled below as an over-long line
            }
            const std::vector<std::string> replies =
                session.OnLine(std::string_view(pending).substr(start, end - start));
            open = SendLines(client, replies);
            if (session.Closed() && !replies.empty() && replies.back().starts_with("421")) {
                LogLine("snpp " + peer + ": " + replies.back());
            }
        }
        pending.erase(0, start);
        // What is left is a line without its end yet; its CR may have come without the LF.
        if (open && !session.Closed() && pending.size() > SnppSession::MAX_LINE + 1) {
            SendLines(client, {session.OnLineTooLong()});
            LogLine("snpp " + peer + ": a line longer than " + std::to_string(SnppSession::MAX_LINE) +
                    " bytes, disconnected");
        }
    }
}

} // namespace velkor::gateway
