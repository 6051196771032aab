#include "frames/hex.h"
#include "resources/module_answer_texts.h"

#include <gtest/gtest.h>

namespace velkor::resources {
namespace {

TEST(ModuleAnswerNotice, TheBoxOfEachAnswer) {
    const struct {
        const char* frame;
        const char* message;
        const char* caption;
    } boxes[] = {
        {"FA 80 F3 00 6D 0D", "写入成功.", "LORA配置"},
        {"FA 00 F2 00 00 0D", "复位成功.", "REBOOT"},
        {"FA 80 FB 00 75 0D", "设置手表地址成功.", "设置地址."},
        {"FA 80 FC 00 76 0D", "校时成功.", "校准时间"},
        {"FA 80 F4 07 6C 80 12 02 05 05 03 76 0D", "读取成功.", "LORA配置"},
        {"FA 80 FD 07 11 03 05 0E 1E 0F 00 D1 0D", "2017-03-05 14:30:15 星期0", "获取时间"},
        // Every byte as received, even past a calendar: the page shows what the module says.
        {"FA 80 FD 07 FF 0D 20 63 63 63 09 00 0D", "2255-13-32 99:99:99 星期9", "获取时间"},
        {"FA 80 EE 04 05 F5 E0 FF 00 0D", "", ""}, // fills the watch address edit, no box
    };
    for (const auto& b : boxes) {
        SCOPED_TRACE(b.frame);
        ModuleAnswer answer = DecodeModuleAnswer(Hex(b.frame));
        ASSERT_EQ(answer.status, AnswerStatus::Accepted);
        AnswerNotice notice = ModuleAnswerNotice(answer);
        EXPECT_EQ(notice.message, b.message);
        EXPECT_EQ(notice.caption, b.caption);
    }
}

// The window translates the text before its arguments are filled in; filled in, it is the message.
TEST(ModuleAnswerNotice, TheClockIsFilledIntoATextTheWindowCanTranslate) {
    AnswerNotice clock =
        ModuleAnswerNotice(DecodeModuleAnswer(Hex("FA 80 FD 07 11 03 05 0E 1E 0F 00 D1 0D")));
    EXPECT_EQ(clock.text, "%1 星期%2");
    EXPECT_EQ(clock.arguments, (std::vector<std::string>{"2017-03-05 14:30:15", "0"}));
    AnswerNotice reset = ModuleAnswerNotice(DecodeModuleAnswer(Hex("FA 00 F2 00 00 0D")));
    EXPECT_EQ(reset.text, reset.message);
    EXPECT_TRUE(reset.arguments.empty());
}

} // namespace
} // namespace velkor::resources
