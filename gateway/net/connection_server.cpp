#include "gateway/net/connection_server.h"

#include "gateway/log/log.h"
#include "gateway/net/listen_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace velkor::gateway {

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

Waited WaitForClient(int client, int stop, std::chrono::steady_clock::time_point since,
                     std::chrono::steady_clock::duration idle) {
    while (true) {
        pollfd fds[2] = {{client, POLLIN, 0}, {stop, POLLIN, 0}};
        const auto left = idle - (std::chrono::steady_clock::now() - since);
        const int wait = static_cast<int>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (fds[1].revents != 0) {
            return Waited::Stopping;
        }
        return ready == 0 ? Waited::Idle : Waited::Input;
    }
}

ConnectionServer::ConnectionServer(std::string name, int listener, std::size_t maxConnections,
                                   std::string busyReply, Serve serve)
    : m_name(std::move(name)), m_listener(listener), m_stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_maxConnections(maxConnections), m_busyReply(std::move(busyReply)), m_serve(std::move(serve)) {}

ConnectionServer::~ConnectionServer() {
    Reap(true);
    ::close(m_listener);
    ::close(m_stop);
}

void ConnectionServer::Stop() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t wrote = ::write(m_stop, &one, sizeof one);
}

void ConnectionServer::Reap(bool all) {
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

void ConnectionServer::Run() {
    while (true) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            LogError(m_name + ": poll failed: " + std::strerror(errno));
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
        if (m_connections.size() >= m_maxConnections) {
            lock.unlock(); // a client that reads nothing, or a slow log, holds up no other connection
            timeval timeout{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            SendAll(client, m_busyReply + "\r\n");
            ::close(client);
            LogWarning(m_name + " " + peer + ": refused, " + std::to_string(m_maxConnections) +
                       " connections already");
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        connection->thread = std::thread([this, client, peer, raw] {
            m_serve(client, peer, m_stop);
            ::shutdown(client, SHUT_RDWR);
            ::close(client);
            raw->done = true;
        });
        m_connections.push_back(std::move(connection));
    }
}

} // namespace velkor::gateway
