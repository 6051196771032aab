#pragma once
// The gateway's log: one line per event on standard error, which journald takes under systemd.
//
// Threads: any thread; each line is written whole by one write().

#include <string_view>

namespace velkor::gateway {

// Writes `line` and a line break. Under journald (JOURNAL_STREAM set) the line goes as it is, since the
// journal stamps it; run by hand it starts with the local date and time.
void LogLine(std::string_view line);

} // namespace velkor::gateway
