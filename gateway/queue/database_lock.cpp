#include "gateway/queue/database_lock.h"

#include "frames/strict_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velkor::gateway {

int HoldLock(const std::string& path, std::string* error) {
    const std::string lockPath = path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = lockPath + ": " + std::strerror(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        const ssize_t got = ::pread(fd, holder, sizeof holder - 1, 0);
        std::string pid(holder, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
            pid.pop_back();
        }
        *error = "in use by another velkor-gateway" +
                 (ParseUnsigned(pid, 1, 0x7FFFFFFF) ? " (PID " + pid + ")" : std::string()) +
                 "; one gateway a database";
        ::close(fd);
        return -1;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the PID; only the message to a second gateway is poorer.
    }
    return fd;
}

} // namespace velkor::gateway
