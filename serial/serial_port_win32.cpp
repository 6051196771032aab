// The Win32 backend of the serial engine: overlapped I/O on a COM port opened without sharing.

#include "port_names.h"
#include "serial_port.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace velkor {
namespace {

constexpr DWORD kQueueSize = 1024;

// The failures of a pulled USB adapter or a far end that hung up. ClearCommError failing counts too.
bool IsDeviceGone(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

PortError ErrorFromWin32(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return PortError::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
        return PortError::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        // A COM port opened without sharing by another program answers "access denied".
        return PortError::Busy;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return PortError::Unsupported;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
        return PortError::DeviceLost;
    default:
        return PortError::Io;
    }
}

// Every way of writing a COM port's name becomes the \\.\COM7 form, which every port number accepts.
// Other names are no serial ports: AUX, NUL, CON, PRN and LPTn are DOS devices (Wine maps AUX to COM1,
// the host's console), and a path is a file or a folder.
std::wstring DevicePath(const std::string& name) {
    std::optional<std::string> com = ComPortName(name);
    if (!com) {
        return {};
    }
    const std::string path = "\\\\.\\" + *com;
    return std::wstring(path.begin(), path.end()); // ASCII only
}

HANDLE OpenExclusive(const std::string& name, PortError* error) {
    std::wstring path = DevicePath(name);
    if (path.empty()) {
        *error = PortError::NotSerial;
        return nullptr;
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = ErrorFromWin32(GetLastError());
        return nullptr;
    }
    // A file or a pipe opens too; only a device that has a line state is a serial port.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(handle) != FILE_TYPE_CHAR || !GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        *error = PortError::NotSerial;
        return nullptr;
    }
    *error = PortError::None;
    return handle;
}

DCB MakeDcb(const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonLim = 2;
    dcb.XoffLim = 4;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = settings.parity == Parity::Odd    ? ODDPARITY
                 : settings.parity == Parity::Even ? EVENPARITY
                                                   : NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x13;
    dcb.XoffChar = 0x19;
    return dcb; // every flow control, error character and abort-on-error flag stays 0
}

bool ApplyLine(HANDLE handle, const LineSettings& settings, PortError* error) {
    const bool supported = ParityFromIndex(static_cast<int>(settings.parity)).has_value() &&
                           IsSupportedBaudRate(settings.baudRate) &&
                           (settings.dataBits == 7 || settings.dataBits == 8);
    if (!supported) {
        *error = PortError::Unsupported;
        return false;
    }
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    DCB dcb = MakeDcb(settings);
    COMMTIMEOUTS timeouts{}; // all zero: a read waits until its whole buffer is filled
    if (!SetCommMask(handle, EV_RXCHAR | EV_CTS | EV_RLSD | EV_BREAK) ||
        !SetCommTimeouts(handle, &timeouts) || !SetCommState(handle, &dcb) ||
        !SetupComm(handle, kQueueSize, kQueueSize)) {
        *error = ErrorFromWin32(GetLastError());
        if (*error == PortError::Io) {
            *error = PortError::Unsupported;
        }
        return false;
    }
    *error = PortError::None;
    return true;
}

// An OVERLAPPED record with its own manual-reset event.
struct Overlapped {
    Overlapped() { record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (record.hEvent != nullptr) {
            CloseHandle(record.hEvent);
        }
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Valid() const { return record.hEvent != nullptr; }
    OVERLAPPED* Fresh() {
        HANDLE event = record.hEvent;
        record = OVERLAPPED{};
        record.hEvent = event;
        ResetEvent(event);
        return &record;
    }
    OVERLAPPED record{};
};

class Win32Port final : public NativePort {
public:
    Win32Port(HANDLE handle, HANDLE stopEvent) : m_handle(handle), m_stopEvent(stopEvent) {}
    ~Win32Port() override {
        CloseHandle(m_handle);
        CloseHandle(m_stopEvent);
    }
    Win32Port(const Win32Port&) = delete;
    Win32Port& operator=(const Win32Port&) = delete;

    bool Valid() const { return m_read.Valid() && m_write.Valid(); }

    ReadResult Read(std::span<uint8_t> buffer) override {
        if (m_stopRequested.load(std::memory_order_acquire)) {
            return {ReadStatus::Stopped, 0};
        }
        // Bytes already queued are taken at once, as many as fit.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status)) {
            return {ReadStatus::Lost, 0};
        }
        DWORD wanted =
            status.cbInQue > 0 ? std::min<DWORD>(status.cbInQue, static_cast<DWORD>(buffer.size())) : 1;
        // Otherwise a read of one byte waits (all-zero time-outs: until the byte comes) beside the stop
        // event, so the thread sleeps until there is something to do.
        DWORD count = 0;
        OVERLAPPED* overlapped = m_read.Fresh();
        if (!ReadFile(m_handle, buffer.data(), wanted, &count, overlapped)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return {ReadStatus::Lost, 0};
            }
            HANDLE events[2] = {m_stopEvent, overlapped->hEvent};
            DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            if (woken != WAIT_OBJECT_0 + 1) {
                // Stop (or a failed wait): nothing may stay pending on the handle once we return.
                CancelIo(m_handle);
                GetOverlappedResult(m_handle, overlapped, &count, TRUE);
                return {woken == WAIT_OBJECT_0 ? ReadStatus::Stopped : ReadStatus::Lost, 0};
            }
            if (!GetOverlappedResult(m_handle, overlapped, &count, FALSE)) {
                // The far end hung up or the adapter was pulled (Wine: ERROR_BROKEN_PIPE).
                return {ReadStatus::Lost, 0};
            }
        }
        if (m_stopRequested.load(std::memory_order_acquire)) {
            return {ReadStatus::Stopped, 0};
        }
        // With all-zero time-outs a read ends only when it has its bytes; one that ends with none has met
        // the end of the line.
        return count > 0 ? ReadResult{ReadStatus::Data, count} : ReadResult{ReadStatus::Lost, 0};
    }

    void RequestStop() override {
        m_stopRequested.store(true, std::memory_order_release);
        SetEvent(m_stopEvent);
    }

    void ClearStop() override {
        m_stopRequested.store(false, std::memory_order_release);
        ResetEvent(m_stopEvent);
    }

    WriteResult Write(std::span<const uint8_t> bytes, int timeoutMs) override {
        DWORD count = 0;
        OVERLAPPED* overlapped = m_write.Fresh();
        if (WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &count, overlapped)) {
            return {WriteStatus::Written, count};
        }
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return {IsDeviceGone(error) ? WriteStatus::Lost : WriteStatus::Failed, 0};
        }
        if (WaitForSingleObject(overlapped->hEvent, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
            if (GetOverlappedResult(m_handle, overlapped, &count, FALSE)) {
                return {WriteStatus::Written, count};
            }
            error = GetLastError();
            return {IsDeviceGone(error) ? WriteStatus::Lost : WriteStatus::Failed, 0};
        }
        // No room for the whole wait: withdraw the request, and count what the device took meanwhile, so
        // that it is neither lost nor sent twice.
        CancelIo(m_handle);
        if (!GetOverlappedResult(m_handle, overlapped, &count, TRUE) &&
            GetLastError() != ERROR_OPERATION_ABORTED) {
            error = GetLastError();
            return {IsDeviceGone(error) ? WriteStatus::Lost : WriteStatus::Failed, 0};
        }
        return count > 0 ? WriteResult{WriteStatus::Written, count} : WriteResult{WriteStatus::TimedOut, 0};
    }

    bool Writable() override {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(m_handle, &errors, &status) && status.cbOutQue < kQueueSize &&
               !status.fCtsHold && !status.fXoffHold;
    }

private:
    HANDLE m_handle;
    HANDLE m_stopEvent;
    Overlapped m_read;  // reader thread only
    Overlapped m_write; // writer only
    std::atomic<bool> m_stopRequested{false};
};

} // namespace

std::unique_ptr<NativePort> NativePort::Open(const std::string& name, const LineSettings& settings,
                                             PortError* error) {
    PortError ignored = PortError::None;
    if (error == nullptr) {
        error = &ignored;
    }
    HANDLE handle = OpenExclusive(name, error);
    if (handle == nullptr) {
        return nullptr;
    }
    if (!ApplyLine(handle, settings, error)) {
        CloseHandle(handle);
        return nullptr;
    }
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        CloseHandle(handle);
        *error = PortError::Io;
        return nullptr;
    }
    auto port = std::make_unique<Win32Port>(handle, stopEvent);
    if (!port->Valid()) {
        *error = PortError::Io;
        return nullptr;
    }
    return port;
}

bool NativePort::Probe(const std::string& name, PortError* error) {
    PortError ignored = PortError::None;
    HANDLE handle = OpenExclusive(name, error != nullptr ? error : &ignored);
    if (handle == nullptr) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

} // namespace velkor
