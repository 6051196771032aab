#pragma once
// Where a listener listens: "HOST:PORT" as the options give it ("127.0.0.1:8025", "[::1]:444").

#include <optional>
#include <string>
#include <string_view>

namespace velkor::gateway {

struct ListenAddress {
    std::string host; // numeric, without brackets
    int port = 0;
    bool Loopback() const;    // 127.0.0.0/8 or ::1
    std::string Text() const; // "127.0.0.1:8025", "[::1]:444"
};

// HOST:PORT or [IPv6]:PORT split at the port's colon (the brackets dropped); the port is "" when there is
// no colon (or none after the brackets). nullopt for a [ without its ] or something after the ] that is no
// port.
struct HostPort {
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
};
std::optional<HostPort> SplitHostPort(std::string_view text);
// "HOST:PORT", or "[HOST]:PORT" for an IPv6 address: how the log, the API and the listeners write an
// address.
std::string HostPortText(std::string_view host, int port);

// nullopt with the reason in `error` for anything but a numeric IPv4 or bracketed IPv6 address (or
// "localhost", read as 127.0.0.1) and a port from 1 to 65535.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string* error);

// A listening TCP socket (SO_REUSEADDR, close-on-exec) bound to `address`; -1 with the reason in `error`,
// which for a port below 1024 without the right says how to go on.
int ListenOn(const ListenAddress& address, std::string* error);

} // namespace velkor::gateway
