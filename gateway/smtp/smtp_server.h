#pragma once
// The SMTP listener: a connection server (at most MAX_CONNECTIONS at once; the next is told 421 and
// closed), a session a connection, idle clients cut off, lines and messages bounded; STARTTLS with the
// site's certificate (OpenSSL).
//
// Threads: Run on a thread of its own; Stop from any thread, once.

#include "gateway/net/connection_server.h"
#include "gateway/smtp/smtp_session.h"

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace velkor::gateway {

struct SmtpTls {
    std::string certificate; // PEM, the chain
    std::string key;         // PEM
};

class SmtpServer {
public:
    static constexpr int MAX_CONNECTIONS = 32;
    static constexpr std::chrono::seconds IDLE_TIMEOUT{300}; // RFC 5321 4.5.3.2.7

    // `listener` is a listening socket (ListenOn), owned from now on; `loopback`: it listens on loopback
    // only, where AUTH needs no TLS.
    SmtpServer(int listener, bool loopback, SmtpHooks hooks, SmtpSettings settings);
    // The certificate for STARTTLS; false with the reason in `error`.
    bool UseTls(const SmtpTls& tls, std::string* error);

    void Run() { m_server.Run(); }
    void Stop() { m_server.Stop(); }

private:
    void Serve(int client, const std::string& peer, int stop);

    const bool m_loopback;
    SmtpHooks m_hooks;
    SmtpSettings m_settings;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_tls{nullptr, SSL_CTX_free};
    ConnectionServer m_server;
};

} // namespace velkor::gateway
