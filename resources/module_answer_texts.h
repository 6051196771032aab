#pragma once
// What the module page shows for an accepted answer of the LoRa module, in its own words. The command
// line prints the same texts, so both take them from here.

#include "frames/module_frame.h"

#include <string>
#include <vector>

namespace velkor::resources {

// The texts are marked for translation in the context "ModuleAnswer": the window shows `text` and
// `caption` translated, with "%1" and "%2" of the text replaced by `arguments`; the command line prints
// `message`, the Chinese text filled in.
struct AnswerNotice {
    std::string message; // the box's text (UTF-8); empty when the answer shows no box (0xEE)
    std::string caption;
    std::string text;                   // `message` before its arguments were filled in
    std::vector<std::string> arguments; // what fills "%1", "%2" of `text`, in order
};

// The box for `answer`, an accepted one: "读取成功." captioned "LORA配置" for 0xF4, the module's clock as
// "2017-03-05 14:30:15 星期0" (text "%1 星期%2") for 0xFD, and so on.
AnswerNotice ModuleAnswerNotice(const velkor::ModuleAnswer& answer);

} // namespace velkor::resources
