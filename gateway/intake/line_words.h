#pragma once
// The small files of one line an entry (the schedule, the escalations): a line's words, and a fault told
// at its place.

#include "frames/strict_text.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace velkor::gateway {

// The next word of `line` from `at` (blanks and tabs skipped; `at` moves past it), and where it starts.
inline std::string_view NextWord(std::string_view line, std::size_t& at, std::size_t* start) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
        ++at;
    }
    *start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
        ++at;
    }
    return line.substr(*start, at - *start);
}

// "FILE:LINE:COLUMN: why", `column` counted from 0.
inline std::string LineFault(const std::string& file, int line, std::size_t column, const std::string& why) {
    return file + ":" + std::to_string(line) + ":" + std::to_string(column + 1) + ": " + why;
}

// Calls `each(line, number)` for each line of `text` that is neither blank nor a # comment (CR LF read as
// LF), numbered from 1.
template <typename Each> void ForEachEntryLine(std::string_view text, Each&& each) {
    int number = 0;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!TrimBlanks(line).empty() && TrimBlanks(line).front() != '#') {
            each(line, number);
        }
    }
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
