#pragma once
// The LoRa module on the cable, as far as the tool can see it: settings, a watch address and a clock,
// and an answer to every module command.

#include "frames/module_frame.h"

#include <ctime>
#include <optional>
#include <span>
#include <vector>

namespace velkor::sim {

class ModuleDevice {
public:
    // 434.00 MHz (word 6C 80 12), sleep "2s", breathing "32ms", network address 0, power "Level7".
    static LoraConfig DefaultConfig();

    // The answer to a valid module frame sent by the tool, or nothing for a command the module does
    // not know. `now` is the host clock; the module's clock runs at an offset from it.
    std::optional<std::vector<uint8_t>> Answer(std::span<const uint8_t> frame, std::time_t now);

    const LoraConfig& Config() const { return m_config; }
    int32_t WatchAddress() const { return m_watchAddress; }

private:
    LoraConfig m_config = DefaultConfig();
    int32_t m_watchAddress = 0;
    std::time_t m_clockOffset = 0; // module clock minus host clock, in seconds
};

} // namespace velkor::sim
