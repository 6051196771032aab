// Sequence numbers kept in a file locked with flock.

#include "sequence_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velkor::cli {
namespace {

std::string ReadAll(int fd) {
    std::string text;
    char buffer[32];
    ssize_t n = 0;
    while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0 && text.size() < 64) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error) {
    const std::string path = PrepareSequenceFile(port, error);
    if (path.empty()) {
        return std::nullopt;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (flock(fd, LOCK_EX) != 0) {
        *error = path + ": " + std::strerror(errno);
        close(fd);
        return std::nullopt;
    }
    uint8_t next = NextSequence(ParseStoredSequence(ReadAll(fd)));
    std::string text = std::to_string(next) + "\n";
    bool written = pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                   ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    if (!written) {
        *error = path + ": " + std::strerror(errno);
    }
    close(fd); // releases the lock
    if (!written) {
        return std::nullopt;
    }
    return next;
}

uint8_t PeekSequence(const std::string& port) {
    const std::string path = SequenceFile(port);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return NextSequence(0);
    }
    flock(fd, LOCK_SH);
    uint8_t next = NextSequence(ParseStoredSequence(ReadAll(fd)));
    close(fd);
    return next;
}

} // namespace velkor::cli
