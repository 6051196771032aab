// Sequence numbers kept in a file locked with LockFileEx.

#include "sequence_store.h"

#include <windows.h>

namespace velkor::cli {
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

} // namespace

std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error) {
    const std::string path = PrepareSequenceFile(port, error);
    if (path.empty()) {
        return std::nullopt;
    }
    HANDLE file =
        CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot open (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        *error = path + ": cannot lock (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(file);
        return std::nullopt;
    }
    uint8_t next = NextSequence(ParseStoredSequence(ReadAll(file)));
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
    HANDLE file = path.empty()
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return NextSequence(0);
    }
    uint8_t next = NextSequence(ParseStoredSequence(ReadAll(file)));
    CloseHandle(file);
    return next;
}

} // namespace velkor::cli
