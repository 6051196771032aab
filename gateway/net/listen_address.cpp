#include "gateway/net/listen_address.h"

#include "frames/strict_text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor::gateway {

std::optional<HostPort> SplitHostPort(std::string_view text) {
    HostPort split;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        split.host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
        split.hasPort = !rest.empty();
        split.port = split.hasPort ? rest.substr(1) : std::string_view();
        return split;
    }
    const std::size_t colon = text.rfind(':');
    split.hasPort = colon != std::string_view::npos;
    split.host = text.substr(0, colon);
    split.port = split.hasPort ? text.substr(colon + 1) : std::string_view();
    return split;
}

std::string HostPortText(std::string_view host, int port) {
    std::string text;
    if (host.find(':') != std::string_view::npos) {
        text += '[';
        text += host;
        text += ']';
    } else {
        text += host;
    }
    text += ':';
    text += std::to_string(port);
    return text;
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string* error) {
    ListenAddress address;
    const std::optional<HostPort> split = SplitHostPort(text);
    if (!split || !split->hasPort) {
        *error = std::string(text) +
                 (text.starts_with('[') ? ": [IPv6]:PORT expected" : ": HOST:PORT expected (127.0.0.1:8025)");
        return std::nullopt;
    }
    const std::string_view host = split->host;
    const std::string_view port = split->port;
    address.host = host == "localhost" ? "127.0.0.1" : std::string(host);
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET, address.host.c_str(), &v4) != 1 &&
        inet_pton(AF_INET6, address.host.c_str(), &v6) != 1) {
        *error = std::string(text) + ": " + std::string(host) + " is not a numeric IP address";
        return std::nullopt;
    }
    std::optional<uint32_t> number = ParseUnsigned(port, 1, 65535);
    if (!number) {
        *error = std::string(text) + ": the port is a number from 1 to 65535";
        return std::nullopt;
    }
    address.port = static_cast<int>(*number);
    return address;
}

bool ListenAddress::Loopback() const {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string ListenAddress::Text() const {
    return HostPortText(host, port);
}

int ListenOn(const ListenAddress& address, std::string* error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
    if (in_addr v4{}; inet_pton(AF_INET, address.host.c_str(), &v4) == 1) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(address.port));
        in->sin_addr = v4;
        length = sizeof(sockaddr_in);
    } else {
        family = AF_INET6;
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(address.port));
        inet_pton(AF_INET6, address.host.c_str(), &in6->sin6_addr);
        length = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = address.Text() + ": " + std::strerror(errno);
        return -1;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 64) != 0) {
        const int code = errno;
        ::close(fd);
        *error = "cannot listen on " + address.Text() + ": " + std::strerror(code);
        if (code == EACCES && address.port < 1024) {
            *error +=
                "; ports below 1024 need CAP_NET_BIND_SERVICE (the service unit grants it): pass another "
                "port, such as " +
                (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) +
                ":" + std::to_string(address.port + 4000);
        }
        return -1;
    }
    return fd;
}

} // namespace velkor::gateway
