#pragma once
// The gateway's log: one line per event on standard error, which journald takes under systemd.
//
// Threads: any thread; each line is written whole by one write().

#include <string_view>

namespace velkor::gateway {

// How much a line matters, as journald's priorities rank it: `journalctl -p err` shows the faults that keep
// pages from going out or coming in, and nothing else; warnings are what a sender or the site should mend.
enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

// Writes `line` and a line break. Under journald (JOURNAL_STREAM set) the line goes with its priority
// ("<3>..."), since the journal stamps it itself; run by hand it starts with the local date and time.
void LogLine(std::string_view line, LogLevel level = LogLevel::Info);
inline void LogError(std::string_view line) {
    LogLine(line, LogLevel::Error);
}
inline void LogWarning(std::string_view line) {
    LogLine(line, LogLevel::Warning);
}

} // namespace velkor::gateway
