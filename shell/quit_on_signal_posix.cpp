#include "quit_on_signal.h"

#include "serial/device_link.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The handler may only write a byte; the event loop reads it (the self-pipe way Qt's documentation gives).
std::array<int, 2> g_wakeFds = {-1, -1};
constexpr std::array<int, 3> kSignals = {SIGTERM, SIGHUP, SIGINT};
std::atomic<velkor::DeviceLink*> g_interruptedLink{nullptr};
static_assert(std::atomic<velkor::DeviceLink*>::is_always_lock_free);
} // namespace

QuitOnSignal::QuitOnSignal(QObject* parent) : QObject(parent) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_wakeFds.data()) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_wakeFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitOnSignal::OnWoken);
    struct sigaction action {};
    action.sa_handler = &QuitOnSignal::OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) {
        sigaction(signal, &action, nullptr);
    }
}

QuitOnSignal::~QuitOnSignal() {
    if (m_notifier == nullptr) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) {
        sigaction(signal, &action, nullptr);
    }
    ::close(g_wakeFds[0]);
    ::close(g_wakeFds[1]);
    g_wakeFds = {-1, -1};
}

void QuitOnSignal::OnSignal(int) {
    // A write stalled on the device gives up at once instead of holding the quit for its wait.
    if (velkor::DeviceLink* link = g_interruptedLink.load()) {
        link->Interrupt();
    }
    const char byte = 1;
    ssize_t ignored = ::write(g_wakeFds[0], &byte, 1);
    (void)ignored;
}

void QuitOnSignal::Interrupts(velkor::DeviceLink* link, bool on) {
    if (on) {
        g_interruptedLink = link;
    } else {
        g_interruptedLink.compare_exchange_strong(link, nullptr);
    }
}

void QuitOnSignal::OnWoken() {
    char bytes[16];
    while (::read(g_wakeFds[1], bytes, sizeof bytes) > 0) {
    }
    // Ends every event loop, a message box's included; the windows close and the port is released on
    // the way out.
    QCoreApplication::quit();
}
