#pragma once
// The platform layer of the serial engine: one open device, its reads and writes. The engine (CXSerial)
// holds the threads and the rules; a backend only has to provide these few calls. This platform's
// backend is serial_port_linux.cpp (termios); another system adds its own file beside it.
//
// Threads: Read() is called by the reader thread only; Write() and Writable() by the writer only;
// RequestStop() from any thread. The owner destroys the port only when no thread can call it any more.

#include "baud_rates.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkor {

enum class PortError {
    None,
    NotFound,    // no such device
    Permission,  // not allowed to open it
    Busy,        // open already, here or in another program
    Unsupported, // a line setting the device refuses
    NotSerial,   // not a serial device at all (a file, /dev/null, a console)
    DeviceLost,  // unplugged or hung up
    Io,          // any other failure
    NotOpen,     // a write with no port open
    Stalled,     // the device took nothing for the whole bounded wait of a write
    Interrupted, // the program was told to end while a write waited
};

// A short English description of `error`, for messages of the command-line tools.
const char* PortErrorText(PortError error);
// A stable word for `error` ("no_such_device", "busy", "device_lost"...) for programs that say it in their
// own language.
const char* PortErrorCode(PortError error);

// The parities of the port page's list, in its order (NO, ODD, EVEN).
enum class Parity { None, Odd, Even };
// "none", "odd", "even": the words of velkor-cli's --parity.
const char* ParityName(Parity parity);
// The parity of the port page's list item `index`; nullopt past the list.
std::optional<Parity> ParityFromIndex(int index);
// A parity as velkor-cli and the gateway take it: "none", "odd" or "even", exactly; nullopt otherwise.
std::optional<Parity> ParseParity(std::string_view text);
// A baud rate as they take it: decimal digits naming a rate of the port page's list; nullopt otherwise.
std::optional<int> ParseBaudRate(std::string_view text);

struct LineSettings {
    int baudRate = DEFAULT_BAUD_RATE; // Open refuses a rate IsSupportedBaudRate does not know
    Parity parity = Parity::None;     // Open refuses a value outside the enumeration
    int dataBits = 8;                 // 8, or 7 for the 7-bit lines of alarm panels
};

class NativePort {
public:
    virtual ~NativePort() = default;

    // Exclusive open with the line settings applied and both queues flushed. nullptr on failure.
    static std::unique_ptr<NativePort> Open(const std::string& name, const LineSettings& settings,
                                            PortError* error);
    // Can the port be opened exclusively right now? Opens and closes at once; changes nothing. When not,
    // `error` (if given) says why.
    static bool Probe(const std::string& name, PortError* error = nullptr);

    enum class ReadStatus { Data, Stopped, Lost };
    struct ReadResult {
        ReadStatus status;
        std::size_t count; // bytes placed in the buffer, with Data
    };
    // Blocks without using CPU until bytes arrive (returns them, at most buffer.size()), RequestStop is
    // called, or the device is lost. A stop request wins over waiting data.
    virtual ReadResult Read(std::span<uint8_t> buffer) = 0;
    // Wakes Read with Stopped, now or at its next call, until ClearStop.
    virtual void RequestStop() = 0;
    virtual void ClearStop() = 0;

    enum class WriteStatus { Written, TimedOut, Lost, Failed };
    struct WriteResult {
        WriteStatus status;
        std::size_t count; // bytes taken by the device, with Written (may be fewer than offered)
    };
    // Offers `bytes` to the device, waiting at most `timeoutMs` for room. What the device took stays
    // taken: TimedOut means it took nothing in that time.
    virtual WriteResult Write(std::span<const uint8_t> bytes, int timeoutMs) = 0;
    // Can the device take a byte right now? Does not wait.
    virtual bool Writable() = 0;
};

// The ports of this machine for the port list, in natural order, followed by the colon-separated paths
// in VELKOR_PORTS (virtual ports: the simulator, a socat link).
std::vector<std::string> EnumeratePorts();

// Is `port` the machine's system console (a server's serial console)? EnumeratePorts leaves it out;
// programs that take a port by name refuse it unless VELKOR_PORTS names it.
bool IsSystemConsole(const std::string& port);

} // namespace velkor
