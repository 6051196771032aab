#include "gateway/smtp/smtp_server.h"

#include "gateway/log/log.h"

#include <openssl/err.h>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor::gateway {
namespace {

std::string TlsError() {
    const unsigned long code = ERR_get_error();
    char text[256] = "unknown TLS error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    return text;
}

// The connection, plain or after STARTTLS.
class Channel {
public:
    explicit Channel(int socket) : m_socket(socket) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel() {
        if (m_ssl) {
            SSL_shutdown(m_ssl);
            SSL_free(m_ssl);
        }
    }
    bool StartTls(SSL_CTX* context) {
        m_ssl = SSL_new(context);
        if (!m_ssl || SSL_set_fd(m_ssl, m_socket) != 1) {
            return false;
        }
        return SSL_accept(m_ssl) == 1; // bounded by the socket's time-outs
    }
    // Bytes, 0 when the client is gone.
    ssize_t Read(char* buffer, std::size_t size) {
        if (m_ssl) {
            const int got = SSL_read(m_ssl, buffer, static_cast<int>(size));
            return got > 0 ? got : 0;
        }
        ssize_t got = 0;
        do {
            got = ::recv(m_socket, buffer, size, 0);
        } while (got < 0 && errno == EINTR);
        return got > 0 ? got : 0;
    }
    bool Write(const std::vector<std::string>& lines) {
        if (!m_ssl) {
            return SendLines(m_socket, lines);
        }
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\r\n";
        }
        return text.empty() || SSL_write(m_ssl, text.data(), static_cast<int>(text.size())) > 0;
    }
    // Bytes TLS has decrypted and not yet handed out: poll does not see them.
    bool Pending() const { return m_ssl && SSL_pending(m_ssl) > 0; }

private:
    int m_socket;
    SSL* m_ssl = nullptr;
};

} // namespace

SmtpServer::SmtpServer(int listener, bool loopback, SmtpHooks hooks, SmtpSettings settings)
    : m_loopback(loopback), m_hooks(std::move(hooks)), m_settings(std::move(settings)),
      m_server("smtp", listener, MAX_CONNECTIONS,
               "421 4.7.0 velkor-gateway: too many connections, try again later",
               [this](int client, const std::string& peer, int stop) { Serve(client, peer, stop); }) {}

bool SmtpServer::UseTls(const SmtpTls& tls, std::string* error) {
    m_tls.reset(SSL_CTX_new(TLS_server_method()));
    if (!m_tls) {
        *error = "TLS: " + TlsError();
        return false;
    }
    SSL_CTX_set_min_proto_version(m_tls.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(m_tls.get(), tls.certificate.c_str()) != 1) {
        *error = tls.certificate + ": not a certificate (PEM): " + TlsError();
    } else if (SSL_CTX_use_PrivateKey_file(m_tls.get(), tls.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *error = tls.key + ": not a private key (PEM): " + TlsError();
    } else if (SSL_CTX_check_private_key(m_tls.get()) != 1) {
        *error = tls.key + ": not the key of " + tls.certificate;
    } else {
        return true;
    }
    m_tls.reset();
    return false;
}

void SmtpServer::Serve(int client, const std::string& peer, int stop) {
    // Neither a client that stops reading nor one that stalls in the TLS handshake holds its thread.
    timeval timeout{10, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int noDelay = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    Channel channel(client);
    SmtpSession session(m_hooks, m_settings, peer, m_tls != nullptr, m_loopback);
    std::string pending;
    bool open = channel.Write({session.Greeting()});
    auto idleSince = std::chrono::steady_clock::now();
    while (open && !session.Closed()) {
        // Bytes TLS has decrypted already are not the socket's: no wait for them.
        const Waited waited =
            channel.Pending() ? Waited::Input : WaitForClient(client, stop, idleSince, IDLE_TIMEOUT);
        if (waited == Waited::Stopping) {
            channel.Write({SmtpSession::OnShutdown()});
            break;
        }
        if (waited == Waited::Idle) {
            channel.Write({SmtpSession::OnIdle()});
            LogLine("smtp " + peer + ": idle for " + std::to_string(IDLE_TIMEOUT.count()) +
                    " s, disconnected");
            break;
        }
        char buffer[8192];
        const ssize_t got = channel.Read(buffer, sizeof buffer);
        if (got <= 0) {
            break; // the client went away
        }
        idleSince = std::chrono::steady_clock::now();
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end;
             open && !session.Closed() && (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::size_t length = end - start - (end > start && pending[end - 1] == '\r' ? 1 : 0);
            if (length + 2 > SmtpSession::MAX_LINE && !session.InData()) {
                break; // handled below as an over-long line
            }
            open = channel.Write(session.OnLine(std::string_view(pending).substr(start, length)));
            if (session.StartTlsAsked()) {
                // What the client sent after STARTTLS before the handshake is not to be trusted (RFC 3207).
                pending.clear();
                start = 0;
                if (!channel.StartTls(m_tls.get())) {
                    LogWarning("smtp " + peer + ": TLS handshake failed: " + TlsError());
                    open = false;
                }
                session.TlsStarted();
                break;
            }
        }
        pending.erase(0, std::min(start, pending.size()));
        // What is left is a line without its end yet.
        if (open && !session.Closed() && !session.InData() && pending.size() > SmtpSession::MAX_LINE) {
            channel.Write({session.OnLineTooLong()});
            LogLine("smtp " + peer + ": a line longer than " + std::to_string(SmtpSession::MAX_LINE) +
                    " bytes, disconnected");
        } else if (session.InData() && pending.size() > 64 * 1024) {
            // A message line without end: what is kept of it is bounded too.
            pending = pending.substr(pending.size() - 1024);
        }
    }
}

} // namespace velkor::gateway
