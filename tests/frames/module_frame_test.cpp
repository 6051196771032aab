#include "frames/hex.h"
#include "frames/module_frame.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

TEST(ModuleFrame, CommandsAsSent) {
    std::tm sunday{};
    sunday.tm_year = 117;
    sunday.tm_mon = 2;
    sunday.tm_mday = 5;
    sunday.tm_hour = 14;
    sunday.tm_min = 30;
    sunday.tm_sec = 15;
    sunday.tm_wday = 0;
    const struct {
        std::vector<uint8_t> built;
        const char* expected;
    } cases[] = {
        {BuildModuleFrame(MODCMD_READ_CONFIG, {}), "FA 80 F4 00 6E 0D"},
        {BuildModuleFrame(MODCMD_GET_TIME, {}), "FA 80 FD 00 77 0D"},
        {BuildModuleFrame(MODCMD_RESET, {}), "FA 80 F2 00 6C 0D"},
        {BuildModuleFrame(MODCMD_READ_WATCH_ADDRESS, {}), "FA 80 EE 00 68 0D"},
        {BuildModuleFrame(MODCMD_WRITE_CONFIG, LoraConfigFromControls(u"434.00", 0, 4, u"0", 6).ToBytes()),
         "FA 80 F3 07 6C 80 12 00 04 00 06 7C 0D"},
        {BuildModuleFrame(MODCMD_SET_TIME, ModuleClockData(sunday)),
         "FA 80 FC 07 11 03 05 0E 1E 0F 00 D1 0D"},
        {BuildModuleFrame(MODCMD_WRITE_WATCH_ADDRESS, WatchAddressData(u"12345678")),
         "FA 80 FB 04 00 BC 61 4E E4 0D"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToHex(c.built), c.expected) << "the row of " << c.expected;
    }
}

TEST(ModuleFrame, ControlValuesNarrowToBytes) {
    LoraConfig config = LoraConfigFromControls(u"abc", -1, 5, u"300", 6);
    EXPECT_EQ(config.frequencyWord, 0U);
    EXPECT_EQ(config.sleepPeriod, 0xFF); // no selection
    EXPECT_EQ(config.networkAddress, 44);
    auto big = WatchAddressData(u"99999999");
    auto empty = WatchAddressData(u"");
    EXPECT_EQ(ToHex({big.begin(), big.end()}), "05 F5 E0 FF");
    EXPECT_EQ(ToHex({empty.begin(), empty.end()}), "00 00 00 00");
}

TEST(ModuleFrame, FrequencyOrdersDifferFromTheWatchOrder) {
    // The module multiplies before dividing; the watches divide first (21 91 BF for the same text).
    EXPECT_EQ(ModuleFrequencyWord(134.277), 0x2191C0U);
    EXPECT_EQ(ModuleFrequencyWord(434.0), 0x6C8012U);
    EXPECT_EQ(ModuleFrequencyWord(-1.0), 0xFFC000U);
    EXPECT_EQ(ModuleFrequencyWord(1e30), 0U);
}

TEST(ModuleFrame, FrequencyReadBackIsCutToTwoDecimals) {
    EXPECT_EQ(ReadBackFrequencyText(0x6C8012), "434.00"); // 434.0011 MHz
    EXPECT_EQ(ReadBackFrequencyText(0x6C7A0D), "433.90"); // 433.907 MHz: cut, not rounded
    EXPECT_EQ(ReadBackFrequencyText(0x6C7AF3), "433.92");
    EXPECT_EQ(ReadBackFrequencyText(0), "0.00");
    EXPECT_EQ(ReadBackFrequencyText(0xFFFFFF), "1023.99");
}

TEST(ModuleAnswer, EachCommandsFields) {
    ModuleAnswer config = DecodeModuleAnswer(Hex("FA 80 F4 07 6C 80 12 02 05 05 03 76 0D"));
    EXPECT_EQ(config.status, AnswerStatus::Accepted);
    ASSERT_TRUE(config.config.has_value());
    EXPECT_EQ(*config.config, (LoraConfig{0x6C8012, 2, 5, 5, 3}));
    EXPECT_FALSE(config.clock || config.watchAddress);

    ModuleAnswer time = DecodeModuleAnswer(Hex("FA 80 FD 07 11 03 05 0E 1E 0F 00 D1 0D"));
    ASSERT_TRUE(time.clock.has_value());
    EXPECT_EQ(time.clock->year, 0x11);
    EXPECT_EQ(time.clock->second, 0x0F);
    EXPECT_EQ(time.clock->weekday, 0);

    EXPECT_EQ(DecodeModuleAnswer(Hex("FA 80 EE 04 80 00 00 00 6A 0D")).watchAddress, INT32_MIN);
    EXPECT_EQ(DecodeModuleAnswer(Hex("FA 80 EE 04 05 F5 E0 FF 00 0D")).watchAddress, 99999999);

    for (const char* frame : {
             "FA 80 F3 00 6D 0D",
             "FA 80 F3 00 00 0D",       // wrong checksum: still accepted
             "FA 00 F2 00 00 0D",       // second byte and checksum not as sent
             "FA 80 FB 00 75 0D",       //
             "FA 80 FC 00 76 0D",       //
             "FA 80 F3 00 6D 00 00 0D", // longer than needed: read as before
         }) {
        SCOPED_TRACE(frame);
        ModuleAnswer answer = DecodeModuleAnswer(Hex(frame));
        EXPECT_EQ(answer.status, AnswerStatus::Accepted);
        EXPECT_EQ(answer.command, Hex(frame)[2]);
        EXPECT_FALSE(answer.config || answer.clock || answer.watchAddress);
    }
    EXPECT_EQ(ReadBackNetworkAddressText(5), "05");
    EXPECT_EQ(ReadBackNetworkAddressText(255), "255");
}

TEST(ModuleAnswer, RefusedFrames) {
    const struct {
        const char* frame;
        AnswerStatus status;
    } cases[] = {
        {"", AnswerStatus::NotModuleFrame},
        {"FA 80 F3 00 6D 0A", AnswerStatus::NotModuleFrame},
        {"FB 80 F3 00 6D 0D", AnswerStatus::NotModuleFrame},
        {"FA 80 F1 00 6B 0D", AnswerStatus::UnknownCommand},
        {"FA 0D", AnswerStatus::TooShort},
        {"FA 80 F3 0D", AnswerStatus::TooShort},
        // A 6-byte read-config answer has no data: reading positions 4..10 would show earlier frames' bytes.
        {"FA 80 F4 00 6E 0D", AnswerStatus::TooShort},
        {"FA 80 FD 00 77 0D", AnswerStatus::TooShort},
        {"FA 80 EE 04 00 00 00 0D", AnswerStatus::TooShort},
        {"FA 80 F4 07 6C 80 12 00 04 00 06 0D", AnswerStatus::TooShort},
    };
    for (const auto& c : cases) {
        ModuleAnswer answer = DecodeModuleAnswer(Hex(c.frame));
        EXPECT_EQ(answer.status, c.status) << c.frame;
        EXPECT_FALSE(answer.config || answer.clock || answer.watchAddress) << c.frame;
    }
    EXPECT_EQ(ModuleAnswerLength(MODCMD_READ_CONFIG), 13U);
    EXPECT_EQ(ModuleAnswerLength(MODCMD_READ_WATCH_ADDRESS), 10U);
}

} // namespace
} // namespace velkor
