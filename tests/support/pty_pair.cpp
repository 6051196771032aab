#include "pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_slavePath = ptsname(m_master);
    // The master side passes bytes through untouched.
    termios t{};
    tcgetattr(m_master, &t);
    cfmakeraw(&t);
    tcsetattr(m_master, TCSANOW, &t);
}

PtyPair::~PtyPair() {
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void PtyPair::Send(const std::vector<uint8_t>& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw std::runtime_error("write to pty master failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::vector<uint8_t> PtyPair::Receive(std::size_t count, std::chrono::milliseconds timeout) const {
    std::vector<uint8_t> bytes;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd = {m_master, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buffer[4096];
        ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}
