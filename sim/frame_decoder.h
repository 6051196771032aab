#pragma once
// Decodes one split frame into plain words and JSON: every length and checksum is checked, and a frame
// that fails is reported invalid with its reason.

#include "stream_splitter.h"

#include <string>
#include <utility>
#include <vector>

namespace velkor::sim {

enum class Direction { In, Out }; // In: sent by the tool; Out: answered by the simulator

struct DecodedFrame {
    Direction direction = Direction::In;
    Format format = Format::Unknown;
    std::vector<uint8_t> bytes;
    bool valid = false;
    std::string reason;  // why it is invalid
    std::string summary; // one line in plain words
    // Decoded fields as JSON values, already encoded ("1", "\"abc\"", "true").
    std::vector<std::pair<std::string, std::string>> fields;
};

DecodedFrame DecodeFrame(const SplitFrame& frame, Direction direction);

std::string ToJson(const DecodedFrame& frame);
std::string ToText(const DecodedFrame& frame);

// Helpers shared with the simulator's own messages.
std::string JsonString(std::string_view text);
std::string HexBytes(std::span<const uint8_t> bytes);

} // namespace velkor::sim
