#include "module_answer_texts.h"

#include "translatable.h"

#include <cstdio>

namespace velkor::resources {

namespace {

// `text` with "%1", "%2", ... replaced by `arguments` (at most nine), as QString::arg does in the window.
std::string Fill(const std::string& text, const std::vector<std::string>& arguments) {
    std::string filled;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t number = i + 1 < text.size() ? static_cast<std::size_t>(text[i + 1] - '1') : 9;
        if (text[i] == '%' && number < arguments.size()) {
            filled += arguments[number];
            ++i;
        } else {
            filled += text[i];
        }
    }
    return filled;
}

AnswerNotice Notice(const char* text, const char* caption, std::vector<std::string> arguments = {}) {
    return {Fill(text, arguments), caption, text, std::move(arguments)};
}

} // namespace

AnswerNotice ModuleAnswerNotice(const velkor::ModuleAnswer& answer) {
    switch (answer.command) {
    case velkor::MODCMD_RESET:
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "复位成功."), "REBOOT");
    case velkor::MODCMD_WRITE_CONFIG:
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "写入成功."),
                      VELKOR_TR_NOOP("ModuleAnswer", "LORA配置"));
    case velkor::MODCMD_READ_CONFIG:
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "读取成功."),
                      VELKOR_TR_NOOP("ModuleAnswer", "LORA配置"));
    case velkor::MODCMD_WRITE_WATCH_ADDRESS:
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "设置手表地址成功."),
                      VELKOR_TR_NOOP("ModuleAnswer", "设置地址."));
    case velkor::MODCMD_SET_TIME:
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "校时成功."),
                      VELKOR_TR_NOOP("ModuleAnswer", "校准时间"));
    case velkor::MODCMD_GET_TIME: {
        const velkor::ModuleClock clock = answer.clock.value_or(velkor::ModuleClock{});
        char when[48];
        std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", clock.year + 2000, clock.month,
                      clock.day, clock.hour, clock.minute, clock.second);
        //: The module's clock: %1 its date and time, %2 its weekday number as the module gives it
        return Notice(VELKOR_TR_NOOP("ModuleAnswer", "%1 星期%2"), VELKOR_TR_NOOP("ModuleAnswer", "获取时间"),
                      {when, std::to_string(clock.weekday)});
    }
    default:
        return {}; // 0xEE fills the watch address edit without a box
    }
}

} // namespace velkor::resources
