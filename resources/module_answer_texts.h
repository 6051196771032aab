#pragma once
// What the module page shows for an accepted answer of the LoRa module, in its own words. The command
// line prints the same texts, so both take them from here.

#include "frames/module_frame.h"

#include <string>

namespace velkor::resources {

struct AnswerNotice {
    std::string message; // the box's text (UTF-8); empty when the answer shows no box (0xEE)
    std::string caption;
};

// The box for `answer`, an accepted one: "读取成功." captioned "LORA配置" for 0xF4, the module's clock as
// "2017-03-05 14:30:15 星期0" for 0xFD, and so on.
AnswerNotice ModuleAnswerNotice(const velkor::ModuleAnswer& answer);

} // namespace velkor::resources
