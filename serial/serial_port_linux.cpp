// The termios backend of the serial engine.

#include "serial_port.h"
#include "termios_settings.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace velkor {

namespace {

// The one place that turns errno into the engine's error kinds.
PortError ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return PortError::None;
    case ENOENT:
    case ENOTDIR:
        return PortError::NotFound;
    case EACCES:
    case EPERM:
        return PortError::Permission;
    case EBUSY:
    case EWOULDBLOCK:
        return PortError::Busy;
    case EINVAL:
        return PortError::Unsupported;
    case ENOTTY:
    case EISDIR:
        return PortError::NotSerial;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
        return PortError::DeviceLost;
    default:
        return PortError::Io;
    }
}

// The termios constant of each rate of SUPPORTED_BAUD_RATES, in its order.
struct Speed {
    int rate;
    speed_t constant;
};
constexpr Speed kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                             {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
static_assert(std::size(kSpeeds) == std::size(SUPPORTED_BAUD_RATES));
static_assert(
    [] {
        for (std::size_t i = 0; i < std::size(kSpeeds); ++i) {
            if (kSpeeds[i].rate != SUPPORTED_BAUD_RATES[i]) {
                return false;
            }
        }
        return true;
    }(),
    "every rate the port page offers has its termios constant");

// B0 for a rate the list does not have.
speed_t SpeedConstant(int baudRate) {
    for (const Speed& speed : kSpeeds) {
        if (speed.rate == baudRate) {
            return speed.constant;
        }
    }
    return B0;
}

void SetRaw(termios& t) {
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // One byte completes a read, so a read of 0 bytes always means the line was hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void SetDataBitsStopBits1(termios& t, int dataBits) {
    t.c_cflag &= ~(CSIZE | CSTOPB);
    t.c_cflag |= dataBits == 7 ? CS7 : CS8;
}

// False for a value outside the enumeration.
bool SetParity(termios& t, Parity parity) {
    t.c_cflag &= ~(PARENB | PARODD);
    // No input parity check: with INPCK (and neither IGNPAR nor PARMRK) the kernel hands 0x00 for a byte
    // with a parity or framing error; the line settings ask for every byte as it was received.
    t.c_iflag &= ~(INPCK | IGNPAR | PARMRK);
    switch (parity) {
    case Parity::None:
        return true;
    case Parity::Odd:
        t.c_cflag |= PARENB | PARODD;
        return true;
    case Parity::Even:
        t.c_cflag |= PARENB;
        return true;
    }
    return false;
}

void SetNoFlowControl(termios& t) {
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
}

void SetLocalLine(termios& t) {
    // CLOCAL: no modem control; no HUPCL, so closing the port leaves DTR alone.
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~HUPCL;
}

// Unix98 pseudo-terminal slaves (majors 136 to 143): no line, no parity, no modem lines.
bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    unsigned major = ::major(st.st_rdev);
    return major >= 136 && major <= 143;
}

bool SameLine(const termios& wanted, const termios& actual) {
    const tcflag_t mask = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    return (wanted.c_cflag & mask) == (actual.c_cflag & mask) &&
           cfgetospeed(&wanted) == cfgetospeed(&actual) && cfgetispeed(&wanted) == cfgetispeed(&actual);
}

// A tty that can stand for a serial line: not a file, /dev/null or a FIFO, and none of the terminals of
// the machine itself (major 5: /dev/tty, /dev/console, /dev/ptmx, which opened makes a new pseudo-terminal;
// major 4 below 64: the virtual consoles). Pseudo-terminal slaves count: virtual ports are made of them.
bool IsSerialDevice(int fd) {
    struct stat st {};
    if (!isatty(fd) || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned major = ::major(st.st_rdev);
    return major != 5 && !(major == 4 && ::minor(st.st_rdev) < 64);
}

// Opens `name` as this program opens every port: exclusive, so a second open fails even for root.
int OpenExclusive(const std::string& name, PortError* error) {
    int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // At open, ENXIO means there is no device behind the node (/dev/tty without a terminal, a
        // serial driver without its hardware): nothing was lost.
        *error = errno == ENXIO ? PortError::NotFound : ErrorFromErrno(errno);
        return -1;
    }
    if (!IsSerialDevice(fd)) {
        ::close(fd);
        *error = PortError::NotSerial;
        return -1;
    }
    // flock stops every program that asks the same way, root included. It comes first, so that only the
    // holder of the lock ever sets or clears the tty's exclusive flag.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? PortError::Busy : ErrorFromErrno(errno);
        ::close(fd);
        return -1;
    }
    // Root passes the exclusive flag of a program that does not flock: finding it set means the port is
    // that program's, and clearing it later would take its exclusivity away.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::close(fd);
        *error = PortError::Busy;
        return -1;
    }
    // TIOCEXCL stops other openers (root excepted); it is cleared again before the close. Not on a
    // pseudo-terminal: its tty outlives our descriptor while the other end is open, so the flag of a
    // program killed with SIGKILL would lock everyone but root out until the other end closes (a gateway
    // restarted by its service manager included). The flock, which dies with its holder, guards it.
    if (!IsPseudoTerminal(fd) && ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        *error = ErrorFromErrno(errno);
        ::close(fd);
        return -1;
    }
    *error = PortError::None;
    return fd;
}

// Closes a descriptor from OpenExclusive: the exclusive flag first, then the descriptor (and its flock).
void CloseExclusive(int fd) {
    if (!IsPseudoTerminal(fd)) {
        ioctl(fd, TIOCNXCL);
    }
    ::close(fd);
}

bool ApplyLine(int fd, const LineSettings& settings, PortError* error) {
    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        *error = ErrorFromErrno(errno);
        return false;
    }
    std::optional<termios> wanted =
        MakeLineTermios(current, settings.baudRate, settings.parity, settings.dataBits);
    if (!wanted) {
        *error = PortError::Unsupported;
        return false;
    }
    const bool pseudo = IsPseudoTerminal(fd);
    tcflush(fd, TCIOFLUSH);
    if (tcsetattr(fd, TCSANOW, &*wanted) != 0) {
        // A pseudo-terminal has no parity bit to set, and always 8 data bits; glibc reports the kernel
        // putting them back as EINVAL.
        if (!(pseudo && errno == EINVAL)) {
            *error = ErrorFromErrno(errno);
            return false;
        }
        termios withoutParity = *wanted;
        SetParity(withoutParity, Parity::None);
        SetDataBitsStopBits1(withoutParity, 8);
        if (tcsetattr(fd, TCSANOW, &withoutParity) != 0) {
            *error = ErrorFromErrno(errno);
            return false;
        }
    }
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        *error = ErrorFromErrno(errno);
        return false;
    }
    // tcsetattr succeeds when any part of the request took; a real UART must take all of it.
    if (!pseudo && !SameLine(*wanted, actual)) {
        *error = PortError::Unsupported;
        return false;
    }
    // DTR and RTS inactive where the device has modem lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    *error = PortError::None;
    return true;
}

class PosixPort final : public NativePort {
public:
    PosixPort(int fd, int stopFd) : m_fd(fd), m_stopFd(stopFd) {}
    ~PosixPort() override {
        ::close(m_stopFd);
        CloseExclusive(m_fd);
    }
    PosixPort(const PosixPort&) = delete;
    PosixPort& operator=(const PosixPort&) = delete;

    ReadResult Read(std::span<uint8_t> buffer) override {
        // While bytes stream in (the last read filled the buffer), read again before waiting: it saves a
        // poll per pass. A stop request still wins.
        if (m_lastReadFull && !m_stopRequested.load(std::memory_order_acquire)) {
            ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n > 0) {
                m_lastReadFull = static_cast<std::size_t>(n) == buffer.size();
                return {ReadStatus::Data, static_cast<std::size_t>(n)};
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                return {ReadStatus::Lost, 0};
            }
        }
        m_lastReadFull = false;
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return {ReadStatus::Lost, 0};
            }
            if (fds[1].revents != 0) {
                return {ReadStatus::Stopped, 0};
            }
            const short events = fds[0].revents;
            if (events & POLLNVAL) {
                return {ReadStatus::Lost, 0};
            }
            if ((events & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            // Read even on a hang-up: bytes that arrived before it are still delivered.
            ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n > 0) {
                m_lastReadFull = static_cast<std::size_t>(n) == buffer.size();
                return {ReadStatus::Data, static_cast<std::size_t>(n)};
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR) && (events & (POLLHUP | POLLERR)) == 0) {
                continue;
            }
            // 0 bytes after POLLIN is a hung-up tty; EIO, ENXIO, ENODEV a vanished device.
            return {ReadStatus::Lost, 0};
        }
    }

    void RequestStop() override {
        m_stopRequested.store(true, std::memory_order_release);
        uint64_t one = 1;
        ssize_t ignored = ::write(m_stopFd, &one, sizeof one);
        (void)ignored;
    }

    void ClearStop() override {
        m_stopRequested.store(false, std::memory_order_release);
        uint64_t value = 0;
        ssize_t ignored = ::read(m_stopFd, &value, sizeof value);
        (void)ignored;
    }

    WriteResult Write(std::span<const uint8_t> bytes, int timeoutMs) override {
        for (;;) {
            ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
            if (n >= 0) {
                return {WriteStatus::Written, static_cast<std::size_t>(n)};
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return {ErrorFromErrno(errno) == PortError::DeviceLost ? WriteStatus::Lost
                                                                       : WriteStatus::Failed,
                        0};
            }
            pollfd fd = {m_fd, POLLOUT, 0};
            int rc = poll(&fd, 1, timeoutMs);
            if (rc == 0) {
                return {WriteStatus::TimedOut, 0};
            }
            if (rc < 0 && errno != EINTR) {
                return {WriteStatus::Failed, 0};
            }
            if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                return {WriteStatus::Lost, 0};
            }
        }
    }

    bool Writable() override {
        pollfd fd = {m_fd, POLLOUT, 0};
        return poll(&fd, 1, 0) == 1 && (fd.revents & POLLOUT) != 0;
    }

private:
    int m_fd;
    int m_stopFd;
    std::atomic<bool> m_stopRequested{false};
    bool m_lastReadFull = false; // reader thread only
};

} // namespace

std::optional<termios> MakeLineTermios(const termios& base, int baudRate, Parity parity, int dataBits) {
    speed_t speed = SpeedConstant(baudRate);
    termios t = base;
    if (speed == B0 || (dataBits != 7 && dataBits != 8) || !SetParity(t, parity)) {
        return std::nullopt;
    }
    SetRaw(t);
    SetDataBitsStopBits1(t, dataBits);
    SetNoFlowControl(t);
    SetLocalLine(t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

std::unique_ptr<NativePort> NativePort::Open(const std::string& name, const LineSettings& settings,
                                             PortError* error) {
    PortError ignored = PortError::None;
    if (error == nullptr) {
        error = &ignored;
    }
    int fd = OpenExclusive(name, error);
    if (fd < 0) {
        return nullptr;
    }
    if (!ApplyLine(fd, settings, error)) {
        CloseExclusive(fd);
        return nullptr;
    }
    int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        *error = ErrorFromErrno(errno);
        CloseExclusive(fd);
        return nullptr;
    }
    return std::make_unique<PosixPort>(fd, stopFd);
}

bool NativePort::Probe(const std::string& name, PortError* error) {
    PortError ignored = PortError::None;
    int fd = OpenExclusive(name, error != nullptr ? error : &ignored);
    if (fd < 0) {
        return false;
    }
    CloseExclusive(fd);
    return true;
}

} // namespace velkor
