#pragma once
// What the console's page is served from: its folder, and which characters the watches can show (for the
// live byte count in the browser).
//
// Threads: any thread.

#include <string>

namespace velkor::gateway {

// 8 192 bytes: bit (c % 8) of byte (c / 8) is set when the character U+c (of the Basic Multilingual Plane)
// is one GBK has; ASCII counts one byte on a watch, every other such character two, and the rest are sent
// as "?".
const std::string& GbkCharacterMap();

// Where the console's files are: `given` when set; else beside the program in the build tree; else the
// installed copy. "" when none is there.
std::string ConsoleFolder(const std::string& given, const std::string& program);

} // namespace velkor::gateway
