#pragma once
// What velkor-cli prints: frames as hexadecimal pairs, one JSON object a line, and one line on standard
// error for each failure. Output that cannot be written is noticed, so that it is never taken for success.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <span>
#include <string>

namespace velkor::cli {

// "FA 80 F4 00 6E 0D".
std::string Hex(std::span<const uint8_t> bytes);

// "velkor-cli: TEXT" on standard error.
void Fail(const std::string& text);

// One line on standard output.
void PrintLine(const std::string& text);

// One JSON object on a line, its members in the order they were added. Text that is not UTF-8 (a port's
// path may be any bytes) gets U+FFFD, so every line stays JSON.
using JsonLine = nlohmann::ordered_json;
void PrintJson(const JsonLine& line);

// True once a write to standard output has failed (a full disk, a reader that went away).
bool OutputFailed();

} // namespace velkor::cli
