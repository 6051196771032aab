#pragma once
// The small files of one line an entry (the schedule, the escalations): a fault told at its place, and
// the file read whole. Their lines are read by ForEachEntryLine and NextWord (frames/strict_text.h).

#include "frames/strict_text.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace velkor::gateway {

// "FILE:LINE:COLUMN: why", `column` counted from 0.
inline std::string LineFault(const std::string& file, int line, std::size_t column, const std::string& why) {
    return file + ":" + std::to_string(line) + ":" + std::to_string(column + 1) + ": " + why;
}

// The file at `path`, whole; nullopt with "PATH: cannot be read" in `error`.
inline std::optional<std::string> ReadWholeFile(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace velkor::gateway
