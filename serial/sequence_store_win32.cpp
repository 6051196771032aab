// Sequence numbers kept in a file locked with LockFileEx.

#include "sequence_store.h"

#include "serial/port_names.h"

#include <chrono>

#include <windows.h>

namespace velkor {
namespace {

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

std::string ReadAll(HANDLE file) {
    char buffer[64];
    DWORD n = 0;
    OVERLAPPED at{};
    if (!ReadFile(file, buffer, sizeof buffer, &n, &at)) {
        return {};
    }
    return std::string(buffer, n);
}

// The number stored in `path`, or in the file of the port's name from before devices had one; nullopt
// with `exists` set for a file that holds none.
std::optional<uint8_t> ReadStored(const std::string& path, bool* exists) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    *exists = file != INVALID_HANDLE_VALUE;
    if (!*exists) {
        return std::nullopt;
    }
    std::optional<uint8_t> last = ParseStoredSequence(ReadAll(file));
    CloseHandle(file);
    return last;
}

} // namespace

std::string DeviceKey(const std::string& port) {
    return ComPortName(port).value_or(port);
}

std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error, std::string* warning,
                                    const SequenceTake& how) {
    if (PrepareSequenceFolder(error).empty()) {
        return std::nullopt;
    }
    const std::string path = SequenceFile(port);
    bool exists = false;
    ReadStored(path, &exists);
    std::optional<uint8_t> legacy; // the count of the port's name, for a device without a file yet
    if (!exists) {
        legacy = ReadStored(NameKeyedSequenceFile(port), &exists);
    }
    HANDLE file =
        CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot open (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    // Tried until the wait is over: a program stopped while it holds the lock must not stop this one.
    OVERLAPPED whole{};
    const auto deadline = std::chrono::steady_clock::now() + how.wait;
    while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                       &whole)) {
        const DWORD failure = GetLastError();
        if (failure != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
            *error = path + (failure == ERROR_LOCK_VIOLATION
                                 ? std::string(": locked by another program for longer than a number takes; "
                                               "a velkor-cli or window stopped while it held it?")
                                 : ": cannot lock (error " + std::to_string(failure) + ")");
            CloseHandle(file);
            return std::nullopt;
        }
        Sleep(5);
    }
    const std::string stored = ReadAll(file);
    std::optional<uint8_t> last = ParseStoredSequence(stored);
    if (!last && !stored.empty()) {
        *warning = path + " holds no sequence number (0 to 255)" +
                   (how.lastSent ? "; the count goes on after " + std::to_string(*how.lastSent)
                                 : std::string("; the count starts again at 1"));
    }
    uint8_t next = NextSequence(ContinueFrom(last ? last : legacy, how.lastSent));
    std::string text = std::to_string(next) + "\n";
    DWORD written = 0;
    OVERLAPPED at{};
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, &at) &&
              written == text.size() &&
              SetFilePointer(file, static_cast<LONG>(text.size()), nullptr, FILE_BEGIN) !=
                  INVALID_SET_FILE_POINTER &&
              SetEndOfFile(file);
    if (!ok) {
        *error = path + ": cannot write (error " + std::to_string(GetLastError()) + ")";
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    if (!ok) {
        return std::nullopt;
    }
    return next;
}

uint8_t PeekSequence(const std::string& port) {
    const std::string path = SequenceFile(port);
    if (path.empty()) {
        return NextSequence(0);
    }
    bool exists = false;
    std::optional<uint8_t> last = ReadStored(path, &exists);
    if (!exists) {
        last = ReadStored(NameKeyedSequenceFile(port), &exists);
    }
    return NextSequence(last.value_or(0));
}

} // namespace velkor
