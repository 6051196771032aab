#include "gateway/snpp/snpp_server.h"

#include "gateway/log/log.h"
#include "gateway/net/listen_address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor::gateway {
namespace {

// Writes `text` whole; false when the client is gone or does not read (the send time-out).
bool SendAll(int socket, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = ::send(socket, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool SendLines(int socket, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text.empty() || SendAll(socket, text);
}

} // namespace

std::string PeerText(int socket) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return "unknown";
    }
    char host[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return HostPortText(host, ntohs(in->sin_port));
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return HostPortText(host, ntohs(in6->sin6_port));
}

SnppServer::SnppServer(int listener, SnppHooks hooks, Charset charset)
    : m_listener(listener), m_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_hooks(std::move(hooks)),
      m_charset(charset) {}

SnppServer::~SnppServer() {
    Reap(true);
    ::close(m_listener);
    ::close(m_stop);
}

void SnppServer::Stop() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t wrote = ::write(m_stop, &one, sizeof one);
}

void SnppServer::Reap(bool all) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (all || (*it)->done) {
            (*it)->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void SnppServer::Run() {
    while (true) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            LogError(std::string("snpp: poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        Reap(false);
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: let a connection end before trying again, rather than spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        const std::string peer = PeerText(client);
        std::unique_lock lock(m_mutex);
        if (m_connections.size() >= MAX_CONNECTIONS) {
            lock.unlock(); // a client that reads nothing, or a slow log, holds up no other connection
            timeval timeout{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            SendAll(client, "421 Too many connections, try again later (terminate connection)\r\n");
            ::close(client);
            LogWarning("snpp " + peer + ": refused, " + std::to_string(MAX_CONNECTIONS) +
                       " connections already");
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        connection->thread = std::thread([this, client, peer, raw] {
            Serve(client, peer);
            raw->done = true;
        });
        m_connections.push_back(std::move(connection));
    }
}

void SnppServer::Serve(int client, const std::string& peer) {
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
        pollfd fds[2] = {{client, POLLIN, 0}, {m_stop, POLLIN, 0}};
        const auto left = IDLE_TIMEOUT - (std::chrono::steady_clock::now() - idleSince);
        const int wait = static_cast<int>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (fds[1].revents != 0) {
            SendLines(client, {"421 Gateway shutting down, Goodbye (terminate connection)"});
            break;
        }
        if (ready == 0) {
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
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
}

} // namespace velkor::gateway
