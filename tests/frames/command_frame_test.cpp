#include "frames/byte_order.h"
#include "frames/command_frame.h"
#include "frames/hex.h"
#include "frames/lenient_number.h"
#include "frames/local_time.h"
#include "frames/watch_commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velkor {
namespace {

const WatchAddress kZero = {0, 0, 0, 0};
const WatchAddress k1234 = {1, 2, 3, 4};

struct FrameCase {
    const char* name;
    std::vector<uint8_t> built;
    const char* expected;
};

TEST(CommandFrame, ExamplesFromTheProtocol) {
    const FrameCase cases[] = {
        {"host address 192.168.1.100 slot 0", BuildHostAddressFrame(1, k1234, {192, 168, 1, 100}, 0),
         "5A 01 01 02 03 04 E3 06 C0 A8 01 64 00 CD E8"},
        {"host address at start-up", BuildHostAddressFrame(1, kZero, kZero, 0),
         "5A 01 00 00 00 00 E3 06 00 00 00 00 00 00 44"},
        {"host address, no slot selected", BuildHostAddressFrame(1, kZero, kZero, -1),
         "5A 01 00 00 00 00 E3 06 00 00 00 00 FF FF 42"},
        {"channel 434.00 id 0", BuildChannelFrame(1, kZero, ChannelFromText(u"434.00", u"0")),
         "5A 01 00 00 00 00 E2 05 6C 80 12 00 FE 3E"},
        {"time 2017-05-12 13:45:30 Friday", BuildTimeFrame(u"2017-05-12 13:45:30", 4),
         "5A 00 FF FF FF FF E4 08 11 05 0C 0D 2D 1E 04 7E 3E"},
        {"empty clock text", BuildTimeFrame(u"", 0), "5A 00 FF FF FF FF E4 08 00 00 00 00 00 00 00 00 42"},
        {"year 2100", BuildTimeFrame(u"2100-01-01 00:00:00", 0),
         "5A 00 FF FF FF FF E4 08 00 01 01 00 00 00 00 02 46"},
        {"text abc", BuildCommandFrame(1, k1234, CMD_TEXT, Bytes("abc")),
         "5A 01 01 02 03 04 E0 03 61 62 63 6E"},
        {"no data", BuildCommandFrame(7, BROADCAST_ADDRESS, 0x11, {}), "5A 07 FF FF FF FF 11 00 6E"},
        {"transmitter 434.00 id 0", BuildTransmitterChannelFrame(ChannelFromText(u"434.00", u"0")),
         "AF AF 00 00 AF 80 01 0C 04 00 6C 80 12 0B 01 07 00 00 00 07 B6 0D 0A"},
    };
    for (const FrameCase& c : cases) {
        EXPECT_EQ(ToHex(c.built), c.expected) << c.name;
    }
}

TEST(CommandFrame, LengthAndChecksumCoverEveryByte) {
    std::vector<uint8_t> data(255, 0xFF);
    std::vector<uint8_t> frame = BuildCommandFrame(0xFF, BROADCAST_ADDRESS, CMD_TEXT, data);
    ASSERT_EQ(frame.size(), 264U);
    EXPECT_EQ(frame[7], 255);
    EXPECT_EQ(frame.back(), ByteSum(std::span<const uint8_t>(frame).first(263)));
    EXPECT_THROW(BuildCommandFrame(0, kZero, CMD_TEXT, std::vector<uint8_t>(256)), std::length_error);
}

TEST(CommandFrame, SequenceCounterStartsAtOneAndWraps) {
    SequenceCounter counter;
    std::vector<uint8_t> seen;
    for (int i = 0; i < 257; ++i) {
        seen.push_back(counter.Next());
    }
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[254], 255);
    EXPECT_EQ(seen[255], 0); // the 256th frame
    EXPECT_EQ(seen[256], 1);
}

TEST(CommandFrame, AddressFieldsLeftmostFirst) {
    EXPECT_EQ(AddressFromValue(0xC0A80164), (WatchAddress{192, 168, 1, 100}));
    EXPECT_EQ(AddressFromValue(0xFFFFFFFF), BROADCAST_ADDRESS);
}

TEST(FrequencyWord, WatchOrderDividesFirst) {
    const struct {
        const char16_t* text;
        uint32_t word;
    } cases[] = {
        {u"434.00", 0x6C8012},
        {u"433.92", 0x6C7AF3},
        {u"470.00", 0x758013},
        {u"4e2", 0x640010},
        {u"1024.00", 0x00002A},
        {u"-1", 0xFFC000},
        {u"0", 0},
        {u"abc", 0},
        {u"134.277", 0x2191BF},
        {u"1e999", 0},
        {u"  434", 0x6C8012},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrequencyWord(ReadLenientDouble(c.text)), c.word) << "the row \"" << Utf8(c.text) << '"';
    }
}

TEST(FrequencyWord, NetworkIdKeepsLowByte) {
    EXPECT_EQ(ChannelFromText(u"434", u"300").networkId, 0x2C);
    EXPECT_EQ(ChannelFromText(u"434", u"-1").networkId, 0xFF);
    EXPECT_EQ(ChannelFromText(u"434", u"x").networkId, 0);
}

TEST(LenientNumber, ReadsLikeTheWindowsRuntime) {
    const struct {
        const char16_t* text;
        double value;
    } doubles[] = {
        {u"", 0},       {u"  12.5xyz", 12.5}, {u"\t-3", -3}, {u"+7", 7},          {u".5", 0.5}, {u"5.", 5},
        {u"1e3", 1000}, {u"1e", 1},           {u"1e+", 1},   {u"2E-1", 0.2},      {u"-", 0},    {u".", 0},
        {u"1,5", 1},    {u"中1", 0},          {u"0x10", 0},  {u"433.92", 433.92},
    };
    for (const auto& c : doubles) {
        EXPECT_DOUBLE_EQ(ReadLenientDouble(c.text), c.value) << "the row \"" << Utf8(c.text) << '"';
    }
    // Out of range, whatever the digits look like: past the largest double is infinite, below the smallest
    // is zero, with the sign kept.
    EXPECT_TRUE(std::isinf(ReadLenientDouble(u"1e400")));
    EXPECT_EQ(ReadLenientDouble(u"-0.0001e313"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(ReadLenientDouble(u"1000e-99999999999999999999"), 0.0);
    EXPECT_EQ(ReadLenientDouble(u"0.000000001e-320"), 0.0);
    EXPECT_TRUE(std::signbit(ReadLenientDouble(u"-1e-400")));
    EXPECT_EQ(ReadLenientDouble(u"12345678901234567890e99999999999999999999"),
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(ReadLenientDouble(u"4.9406564584124654e-324"),
              4.9406564584124654e-324); // the smallest denormal

    const struct {
        const char16_t* text;
        int32_t value;
    } ints[] = {
        {u"", 0},
        {u" 42abc", 42},
        {u"-17", -17},
        {u"+5", 5},
        {u"3.9", 3},
        {u"1e3", 1},
        {u"x1", 0},
        {u"2147483647", 2147483647},
        {u"99999999999", 2147483647},
        {u"-99999999999", -2147483647 - 1},
        {u"00000000000000000000012", 12},
    };
    for (const auto& c : ints) {
        EXPECT_EQ(ReadLenientInt(c.text), c.value) << "the row \"" << Utf8(c.text) << '"';
    }
}

TEST(LenientNumber, TruncationNeverOverflows) {
    EXPECT_EQ(TruncateToInt64(-2.9), -2);
    EXPECT_EQ(TruncateToInt64(1e19), INT64_MIN);
    EXPECT_EQ(TruncateToInt64(-1e19), INT64_MIN);
    EXPECT_EQ(TruncateToInt64(std::nan("")), INT64_MIN);
}

TEST(ClockText, AlwaysYearMonthDayAnd24HourTime) {
    std::tm t{};
    t.tm_year = 117;
    t.tm_mon = 4;
    t.tm_mday = 12;
    t.tm_hour = 13;
    t.tm_min = 45;
    t.tm_sec = 30;
    t.tm_wday = 5; // Friday
    EXPECT_EQ(FormatClockText(t), u"2017-05-12 13:45:30");
    EXPECT_EQ(WeekdayIndexMondayFirst(t), 4);
    t.tm_wday = 0;
    EXPECT_EQ(WeekdayIndexMondayFirst(t), 6);
    EXPECT_EQ(ToHex(BuildTimeFrame(FormatClockText(t), 6)).substr(24, 20), "11 05 0C 0D 2D 1E 06");
}

TEST(ByteOrder, MostSignificantFirstInAsManyBytesAsTheFieldHas) {
    EXPECT_EQ(BigEndianBytes<4>(0x80010203U), (std::array<uint8_t, 4>{0x80, 0x01, 0x02, 0x03}));
    EXPECT_EQ(BigEndianBytes<3>(0xAB6C8012U),
              (std::array<uint8_t, 3>{0x6C, 0x80, 0x12})); // high byte dropped
    const uint8_t bytes[] = {0xFF, 0x00, 0x00, 0x01};
    EXPECT_EQ(ReadBigEndian(std::span<const uint8_t, 4>(bytes)), 0xFF000001U);
    EXPECT_EQ(ReadBigEndian(std::span<const uint8_t, 3>(bytes + 1, 3)), 1U);
}

} // namespace
} // namespace velkor
