#pragma once
// The last sequence number sent on each device, kept between runs in one folder that the window,
// velkor-cli and velkor-gateway all use: a watch takes a frame with the number of the frame before it for
// that frame again and drops it, so no program may repeat the number another sent last on the device.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velkor {

// How long a program waits for the folder's lock by default: another program holds it only while it
// reads and replaces one small file, so a longer hold is a program stopped or stuck with it.
inline constexpr std::chrono::milliseconds SEQUENCE_LOCK_WAIT{2000};

// How TakeSequence takes a number.
struct SequenceTake {
    // Longest wait for another program's lock; past it no number is taken (nullopt, with who holds it).
    std::chrono::milliseconds wait = SEQUENCE_LOCK_WAIT;
    // The last number the caller itself sent on the device, when it keeps its own: the count goes on from
    // the later of it and the file's, and from it alone when the file holds no number, so a damaged,
    // replaced or removed file never makes the caller repeat its last number.
    std::optional<uint8_t> lastSent;
};

// Takes the number after the one last sent on `port`'s device (1 the first time, 255 followed by 0, as a
// page's counter) and stores it. The folder is locked while the number is read and replaced, so two
// velkor-cli at once never take the same number. nullopt, with the reason in `error`, when the state
// folder cannot be used. A stored file that holds no number (damaged, planted as a link) starts the count
// again at 1 (or after `how.lastSent`), with the reason in `warning`. Waits at most `how.wait` for another
// program that holds the folder's lock.
std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error, std::string* warning,
                                    const SequenceTake& how = {});

// The number the next TakeSequence would give, without taking it (for --dry-run).
uint8_t PeekSequence(const std::string& port);

// What identifies the device behind `port`, so that every name of it shares one counter: its device
// number on Linux ("char-188-0" for /dev/ttyUSB0, its links and relative paths alike), the COM port on
// Windows ("COM3" for "com3", "COM3:" and "\\.\COM3"); the name itself for a port that is not there.
std::string DeviceKey(const std::string& port);

// The folder every program of this machine shares, where the packages make it: owned by root, group
// dialout, mode 2770. Safe to share: only root and the members of dialout, who may write to the
// transmitter anyway, can change a number; the set-group-ID bit gives each file the group dialout; files
// are replaced by rename and read without following links, so nothing planted there is written through.
inline constexpr const char* SHARED_SEQUENCE_FOLDER = "/var/lib/velkor-sequence";

// Where the numbers are kept, one file a device: $VELKOR_SEQUENCE_DIR when set; else SHARED_SEQUENCE_FOLDER
// where it exists (Linux); else the user's state folder, $XDG_STATE_HOME/velkor (or ~/.local/state/velkor),
// %LOCALAPPDATA%\velkor on Windows. Empty when there is none of them.
std::string SequenceFolder();
// The file of `port`'s device in SequenceFolder().
std::string SequenceFile(const std::string& port);
// The file a version that counted per port name used, read once when the device has no file yet.
std::string NameKeyedSequenceFile(const std::string& port);

// SequenceFolder() made, for TakeSequence; empty, with the reason in `error`, when there is none.
std::string PrepareSequenceFolder(std::string* error);

// The number after `last` in a page counter's order.
inline uint8_t NextSequence(uint8_t last) {
    return static_cast<uint8_t>(last + 1);
}

// The later of two numbers in a page counter's order (255 is followed by 0): `a` when `b` is at most 127
// steps after it, `b` otherwise.
inline uint8_t LaterSequence(uint8_t a, uint8_t b) {
    const auto ahead = static_cast<uint8_t>(b - a);
    return ahead != 0 && ahead < 128 ? b : a;
}

// The number a counter goes on from: the stored one (nullopt when the file held none) or the caller's
// own last, whichever is later.
inline uint8_t ContinueFrom(std::optional<uint8_t> stored, std::optional<uint8_t> lastSent) {
    if (stored && lastSent) {
        return LaterSequence(*stored, *lastSent);
    }
    return stored ? *stored : lastSent.value_or(0);
}

// The stored text of a file ("17\n") as the last number; nullopt for text that is not one (0 to 255).
std::optional<uint8_t> ParseStoredSequence(const std::string& text);

} // namespace velkor
