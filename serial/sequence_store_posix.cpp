// Sequence numbers kept one file a device, in a folder locked with flock; a file is replaced by rename,
// never written in place, so nothing planted in the folder (a link, a FIFO) is followed or written through.

#include "sequence_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
// had one. Says in `warning` why a file there was not used.
uint8_t LastSequence(int folder, const std::string& port, std::string* warning) {
    const std::string path = SequenceFile(port);
    Stored stored = ReadStored(folder, BaseName(path));
    if (!stored.exists) {
        stored = ReadStored(folder, BaseName(NameKeyedSequenceFile(port)));
        std::optional<uint8_t> last = stored.plainFile ? ParseStoredSequence(stored.text) : std::nullopt;
        return last.value_or(0);
    }
    if (!stored.plainFile) {
        *warning = path + " is not a plain file; not followed, the count starts again at 1";
        return 0;
    }
    std::optional<uint8_t> last = ParseStoredSequence(stored.text);
    if (!last) {
        *warning = path + " holds no sequence number (0 to 255); the count starts again at 1";
        return 0;
    }
    return *last;
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

std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error, std::string* warning) {
    const std::string path = PrepareSequenceFolder(error);
    if (path.empty()) {
        return std::nullopt;
    }
    int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (flock(folder, LOCK_EX) != 0) {
        *error = path + ": " + std::strerror(errno);
        close(folder);
        return std::nullopt;
    }
    const uint8_t next = NextSequence(LastSequence(folder, port, warning));
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
    const uint8_t next = NextSequence(LastSequence(folder, port, &ignored));
    close(folder);
    return next;
}

} // namespace velkor
