#include "frames/hex.h"
#include "frames/text_encoding.h"
#include "frames/text_message.h"
#include "frames/utf8.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

// 42 Chinese characters; their GBK bytes come from an independent encoder (Python's gbk codec).
const std::u16string k42 =
    u"欢迎光临本店请稍候您的餐品马上就好谢谢惠顾祝您用餐愉快下次再来一号桌客人请到前台取餐";
const char* k42Gbk =
    "BB B6 D3 AD B9 E2 C1 D9 B1 BE B5 EA C7 EB C9 D4 BA F2 C4 FA B5 C4 B2 CD C6 B7 C2 ED C9 CF BE CD "
    "BA C3 D0 BB D0 BB BB DD B9 CB D7 A3 C4 FA D3 C3 B2 CD D3 E4 BF EC CF C2 B4 CE D4 D9 C0 B4 D2 BB "
    "BA C5 D7 C0 BF CD C8 CB C7 EB B5 BD C7 B0 CC A8 C8 A1 B2 CD";

TEST(WideToAnsi, MatchesAnIndependentGbkEncoder) {
    const struct {
        std::u16string text;
        const char* gbk;
    } cases[] = {
        {u"abc", "61 62 63"},
        {u"你好，世界", "C4 E3 BA C3 A3 AC CA C0 BD E7"},
        {u"中·—～é", "D6 D0 A1 A4 A1 AA A1 AB A8 A6"},
        {u"€5", "80 35"}, // code page 936's one-byte euro
        {k42, k42Gbk},
        {u"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToHex(Bytes(WideToAnsi(c.text))), c.gbk) << "the row of " << c.gbk;
    }
}

TEST(WideToAnsi, UnrepresentableCharactersBecomeOneQuestionMark) {
    EXPECT_EQ(WideToAnsi(u"a\u30FBb"), "a?b");     // katakana middle dot: not in GBK
    EXPECT_EQ(WideToAnsi(u"x\U0001F600y"), "x?y"); // a surrogate pair is one character
    EXPECT_EQ(WideToAnsi(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b"); // lone surrogate
    EXPECT_EQ(WideToAnsi(std::u16string(u"a") + char16_t(0xDC00)), "a?");
    EXPECT_EQ(WideToAnsi(std::u16string(u"ab\0cd", 5)), "ab"); // the text ends at its NUL
}

TEST(AnsiToUtf8, DecodesGbkAndMarksBrokenBytes) {
    EXPECT_EQ(AnsiToUtf8(WideToAnsi(k42)),
              std::string(reinterpret_cast<const char*>(
                  u8"欢迎光临本店请稍候您的餐品马上就好谢谢惠顾祝您用餐愉快下次再来一号桌客人请到前台取餐")));
    EXPECT_EQ(AnsiToUtf8("a\xFF"), "a\xEF\xBF\xBD");
    EXPECT_EQ(AnsiToUtf8("\x80\xC4"), "\xE2\x82\xAC\xEF\xBF\xBD"); // the euro; a lead byte cut off
}

TEST(Utf8, StrictlyDecodedAndEncodedBack) {
    EXPECT_EQ(Utf8ToUtf16("3号桌"), u"3号桌");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    for (const char* bad : {"\xFF", "\xC3(", "\xE5\x8F", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad)) << bad;
    }
    EXPECT_EQ(Utf16ToUtf8(u"3号桌\U0001F600"), "3号桌\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx"); // a lone surrogate
}

TEST(HexTextToBytes, DigitGroupsSeparatedByAnythingElse) {
    const struct {
        std::u16string text;
        const char* bytes;
    } cases[] = {
        {u"", "00"},
        {u"1-2", "01 02"},
        {u"12--34", "12 00 34"},
        {u"ABCDEF", "EF"},
        {u"-12", "00 12"},
        {u"12-", "12 00"},
        {u"12-3G", "12 03 00"},
        {u"12 34 ab", "12 34 AB"},
        {u"2017", "17"},
        {u"5", "05"},
        {u"2017-05-12 13:45:30", "17 05 12 13 45 30"},
        // GBK 81 41: the lead byte separates, the trail byte is the digit A and begins a group.
        {u"1丄2", "01 A2"},
        {u"1丄-2", "01 0A 02"},
        {u"中", "00 00 00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToHex(HexTextToBytes(c.text)), c.bytes) << "the row \"" << Utf8(c.text) << '"';
    }
}

TEST(HexTextToBytes, ConvertedTextIsBoundedAt100Bytes) {
    std::u16string text;
    for (int i = 0; i < 300; ++i) {
        text += u"1-";
    }
    std::vector<uint8_t> bytes = HexTextToBytes(text);
    EXPECT_EQ(bytes.size(), 51U); // 100 bytes hold 50 separators
    EXPECT_EQ(bytes.back(), 0);
}

TEST(TextMessage, LimitsAndTheWholeCharacterCut) {
    EncodedText empty = EncodeTextMessage(u"");
    EXPECT_EQ(empty.status, TextStatus::Empty);

    EncodedText full = EncodeTextMessage(k42);
    EXPECT_EQ(full.status, TextStatus::Fits);
    EXPECT_EQ(full.bytes.size(), 84U);
    std::vector<uint8_t> frame = BuildTextFrame(1, BROADCAST_ADDRESS, full.bytes);
    EXPECT_EQ(frame.size(), 93U);
    EXPECT_EQ(ToHex(std::vector<uint8_t>(frame.begin() + 8, frame.end() - 1)), k42Gbk);

    EXPECT_EQ(EncodeTextMessage(std::u16string(84, u'x')).status, TextStatus::Fits);
    EncodedText ascii = EncodeTextMessage(std::u16string(90, u'x'));
    EXPECT_EQ(ascii.status, TextStatus::TooLong);
    EXPECT_EQ(ascii.bytes.size(), 84U);

    // "a" and 42 characters are 85 bytes: the cut keeps "a" and 41 characters, never half of the 42nd.
    EncodedText over = EncodeTextMessage(u"a" + k42);
    EXPECT_EQ(over.status, TextStatus::TooLong);
    ASSERT_EQ(over.bytes.size(), 83U);
    EXPECT_EQ(over.bytes, std::string("a").append(WideToAnsi(k42.substr(0, 41))));
}

TEST(TextMessage, FrameExamples) {
    EXPECT_EQ(ToHex(BuildTextFrame(1, BROADCAST_ADDRESS, EncodeTextMessage(u"abc").bytes)),
              "5A 01 FF FF FF FF E0 03 61 62 63 60");
    EXPECT_EQ(ToHex(BuildTextFrame(1, {1, 2, 3, 4}, "abc")), "5A 01 01 02 03 04 E0 03 61 62 63 6E");
}

} // namespace
} // namespace velkor
