#pragma once
// The last sequence number sent on each port, kept between runs in the user's state folder: a watch may
// take a repeated number for the same frame again, so a script that pages twice must not send 1 twice.

#include <cstdint>
#include <optional>
#include <string>

namespace velkor::cli {

// Takes the number after the one last sent on `port` (1 the first time, 255 followed by 0, as a page's
// counter) and stores it. The file is locked while it is read and written, so two velkor-cli at once never
// take the same number. nullopt, with the reason in `error`, when the state folder cannot be used.
std::optional<uint8_t> TakeSequence(const std::string& port, std::string* error);

// The number the next TakeSequence would give, without taking it (for --dry-run).
uint8_t PeekSequence(const std::string& port);

// Where the numbers are kept: $XDG_STATE_HOME/velkor (or ~/.local/state/velkor), %LOCALAPPDATA%\velkor on
// Windows; one file a port.
std::string SequenceFile(const std::string& port);

// SequenceFile(port) with its folder made, for TakeSequence; empty, with the reason in `error`, when
// there is no state folder.
std::string PrepareSequenceFile(const std::string& port, std::string* error);

// The number after `last` in a page counter's order.
inline uint8_t NextSequence(uint8_t last) {
    return static_cast<uint8_t>(last + 1);
}

// The stored text of a file ("17\n") as the last number; 0 for a missing or damaged file.
uint8_t ParseStoredSequence(const std::string& text);

} // namespace velkor::cli
