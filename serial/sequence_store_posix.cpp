// Sequence numbers kept one file a device, in a folder locked with flock; a file is replaced by rename,
// never written in place, so nothing planted in the folder (a link, a FIFO) is followed or written through.

#include "sequence_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace velkor {
namespace {

struct Stored {
    bool exists = false;
    bool plainFile = false;
    std::string text;
};

// Reads a stored file without following a link and without waiting on a FIFO.
Stored ReadStored(int folder, const std::string& name) {
    int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {errno != ENOENT, false, {}};
    }
    Stored stored{true, false, {}};
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        stored.plainFile = true;
        char buffer[64];
        ssize_t n = read(fd, buffer, sizeof buffer);
        stored.text.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    close(fd);
    return stored;
}

std::string BaseName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// The last number stored for `port`: its device's file, else the file of its name from before devices
// had one; nullopt when there is none. Says in `warning` why a file there was not used.
std::optional<uint8_t> StoredSequence(int folder, const std::string& port, std::string* warning) {
    const std::string path = SequenceFile(port);
    Stored stored = ReadStored(folder, BaseName(path));
    if (!stored.exists) {
        stored = ReadStored(folder, BaseName(NameKeyedSequenceFile(port)));
        return stored.plainFile ? ParseStoredSequence(stored.text) : std::nullopt;
    }
    if (!stored.plainFile) {
        *warning = path + " is not a plain file; not followed";
        return std::nullopt;
    }
    std::optional<uint8_t> last = ParseStoredSequence(stored.text);
    if (!last) {
        *warning = path + " holds no sequence number (0 to 255)";
    }
    return last;
}

// The process that holds an flock on `fd`'s file, from /proc/locks; 0 when it cannot be told.
long LockHolder(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return 0;
    }
    char device[32];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) {
        return 0;
    }
    long holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16] = {};
        char file[64] = {};
        long pid = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:123456 0 EOF"; a waiter's line starts "1: -> FLOCK".
        if (std::sscanf(line, "%*s %15s %*s %*s %ld %63s", kind, &pid, file) == 3 &&
            std::strcmp(kind, "FLOCK") == 0 && std::strcmp(file, device) == 0) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
}

// Takes the folder's lock, trying until `wait` has passed; false with the reason in `error`.
bool LockFolder(int folder, const std::string& path, std::chrono::milliseconds wait, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            const long holder = LockHolder(folder);
            // The same words whatever the wait, so that a hold that goes on is said once.
            *error = path + ": locked by another program" +
                     (holder > 0 ? " (PID " + std::to_string(holder) + ")" : std::string()) +
                     " for longer than a number takes; a velkor-cli or window stopped while it held it?";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Writes `text` to a new file in the folder and renames it over `name`.
bool Replace(int folder, const std::string& name, const std::string& text) {
    const std::string temporary = name + ".new-" + std::to_string(getpid());
    int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    // Readable and replaceable by the folder's group whatever the umask (a service runs with 0077): in the
    // shared folder, the gateway's user and a person in dialout read each other's numbers.
    fchmod(fd, 0660);
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    if (!written || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        const int saved = errno;
        unlinkat(folder, temporary.c_str(), 0);
        errno = saved;
        return false;
    }
    return true;
}

} // namespace

std::string DeviceKey(const std::string& port) {
    struct stat st {};
    if (stat(port.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        return "char-" + std::to_string(major(st.st_rdev)) + "-" + std::to_string(minor(st.st_rdev));
    }
    return port;
}

std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error, std::string* warning,
                                    const SequenceTake& how) {
    const std::string path = PrepareSequenceFolder(error);
    if (path.empty()) {
        return std::nullopt;
    }
    int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!LockFolder(folder, path, how.wait, error)) {
        close(folder);
        return std::nullopt;
    }
    std::string unused;
    const std::optional<uint8_t> stored = StoredSequence(folder, port, &unused);
    if (!unused.empty()) {
        *warning = unused + (how.lastSent ? "; the count goes on after " + std::to_string(*how.lastSent)
                                          : std::string("; the count starts again at 1"));
    }
    const uint8_t next = NextSequence(ContinueFrom(stored, how.lastSent));
    const std::string file = SequenceFile(port);
    const bool kept = Replace(folder, BaseName(file), std::to_string(next) + "\n");
    if (!kept) {
        *error = file + ": " + std::strerror(errno);
    }
    close(folder); // releases the lock
    if (!kept) {
        return std::nullopt;
    }
    return next;
}

uint8_t PeekSequence(const std::string& port) {
    const std::string path = SequenceFolder();
    int folder = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return NextSequence(0);
    }
    std::string ignored;
    const uint8_t next = NextSequence(StoredSequence(folder, port, &ignored).value_or(0));
    close(folder);
    return next;
}

} // namespace velkor
