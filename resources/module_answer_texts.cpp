#include "module_answer_texts.h"

#include <cstdio>

namespace velkor::resources {

AnswerNotice ModuleAnswerNotice(const velkor::ModuleAnswer& answer) {
    switch (answer.command) {
    case velkor::MODCMD_RESET:
        return {"复位成功.", "REBOOT"};
    case velkor::MODCMD_WRITE_CONFIG:
        return {"写入成功.", "LORA配置"};
    case velkor::MODCMD_READ_CONFIG:
        return {"读取成功.", "LORA配置"};
    case velkor::MODCMD_WRITE_WATCH_ADDRESS:
        return {"设置手表地址成功.", "设置地址."};
    case velkor::MODCMD_SET_TIME:
        return {"校时成功.", "校准时间"};
    case velkor::MODCMD_GET_TIME: {
        const velkor::ModuleClock clock = answer.clock.value_or(velkor::ModuleClock{});
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d 星期%d", clock.year + 2000,
                      clock.month, clock.day, clock.hour, clock.minute, clock.second, clock.weekday);
        return {text, "获取时间"};
    }
    default:
        return {}; // 0xEE fills the watch address edit without a box
    }
}

} // namespace velkor::resources
