#include "frames/hex.h"
#include "sim/frame_decoder.h"
#include "sim/module_device.h"
#include "sim/stream_splitter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace velkor::sim {
namespace {

std::vector<DecodedFrame> DecodeStream(const std::vector<std::vector<uint8_t>>& pieces, bool flush = true) {
    StreamSplitter splitter;
    std::vector<SplitFrame> frames;
    for (const auto& piece : pieces) {
        for (auto& frame : splitter.Feed(piece)) {
            frames.push_back(std::move(frame));
        }
    }
    if (flush) {
        for (auto& frame : splitter.Flush()) {
            frames.push_back(std::move(frame));
        }
    }
    std::vector<DecodedFrame> decoded;
    for (const auto& frame : frames) {
        decoded.push_back(DecodeFrame(frame, Direction::In));
    }
    return decoded;
}

// Every frame the tool's examples give, each with a field the decoder must read from it.
const struct {
    const char* bytes;
    Format format;
    const char* field;
} kExamples[] = {
    {"5A 01 01 02 03 04 E3 06 C0 A8 01 64 00 CD E8", Format::Command, "\"slot\":\"Addr1\""},
    {"5A 01 00 00 00 00 E2 05 6C 80 12 00 FE 3E", Format::Command, "\"frequency_mhz\":434.000"},
    {"5A 00 FF FF FF FF E4 08 11 05 0C 0D 2D 1E 04 7E 3E", Format::Command,
     "\"time\":\"2017-05-12 13:45:30\""},
    {"5A 01 01 02 03 04 E0 03 61 62 63 6E", Format::Command, "\"text\":\"abc\""},
    {"5A 01 FF FF FF FF E0 03 61 62 63 60", Format::Command, "\"address\":\"255.255.255.255\""},
    {"5A 01 00 00 00 00 E3 06 00 00 00 00 00 00 44", Format::Command, "\"host_address\":\"0.0.0.0\""},
    {"AF AF 00 00 AF 80 01 0C 04 00 6C 80 12 0B 01 07 00 00 00 07 B6 0D 0A", Format::Transmitter,
     "\"network_id\":0"},
    {"FA 80 F4 00 6E 0D", Format::Module, "\"command\":\"read_config\""},
    {"FA 80 FD 00 77 0D", Format::Module, "\"command\":\"get_time\""},
    {"FA 80 F2 00 6C 0D", Format::Module, "\"command\":\"reset\""},
    {"FA 80 EE 00 68 0D", Format::Module, "\"command\":\"read_watch_address\""},
    {"FA 80 F3 07 6C 80 12 00 04 00 06 7C 0D", Format::Module, "\"transmit_power\":\"Level7\""},
    {"FA 80 FC 07 11 03 05 0E 1E 0F 00 D1 0D", Format::Module, "\"weekday\":\"Sunday\""},
    {"FA 80 FB 04 00 BC 61 4E E4 0D", Format::Module, "\"watch_address\":12345678"},
};

TEST(SimDecoder, EveryExampleFrameIsValidAndOneFlippedBitIsNot) {
    for (const auto& example : kExamples) {
        std::vector<uint8_t> bytes = Hex(example.bytes);
        auto decoded = DecodeStream({bytes});
        ASSERT_EQ(decoded.size(), 1U) << example.bytes;
        EXPECT_EQ(decoded[0].format, example.format) << example.bytes;
        EXPECT_TRUE(decoded[0].valid) << example.bytes << ": " << decoded[0].reason;
        std::string json = ToJson(decoded[0]);
        EXPECT_NE(json.find(example.field), std::string::npos) << json;
        EXPECT_NE(json.find(std::string("\"bytes\":\"") + example.bytes + "\""), std::string::npos) << json;

        // Flip one bit of each byte in turn past the start bytes: never valid.
        for (std::size_t i = 2; i < bytes.size(); ++i) {
            std::vector<uint8_t> flipped = bytes;
            flipped[i] ^= 0x01;
            for (const DecodedFrame& frame : DecodeStream({flipped})) {
                EXPECT_FALSE(frame.valid) << example.bytes << " byte " << i;
                EXPECT_FALSE(frame.reason.empty());
            }
        }
    }
}

TEST(SimDecoder, TextIsDecodedFromGbk) {
    auto decoded = DecodeStream({Hex("5A 02 FF FF FF FF E0 04 C4 E3 BA C3 60")});
    ASSERT_EQ(decoded.size(), 1U);
    EXPECT_TRUE(decoded[0].valid) << decoded[0].reason;
    EXPECT_NE(ToJson(decoded[0]).find("\"text\":\"你好\""), std::string::npos);
}

TEST(SimDecoder, JsonStringsAreValidWhateverTheBytes) {
    const struct {
        std::string in;
        bool utf8;
    } rows[] = {
        {"plain", true},
        {"q\"b\\n\nt\t\x01\x7f", true},
        {"3\xe5\x8f\xb7\xf0\x9f\x98\x80", true}, // 号 and an emoji pass
        {"\xff", false},                         // never UTF-8
        {"\xc3(", false},                        // a cut sequence
        {"\xe5\x8f", false},                     // cut at the end
        {"\xc0\x80", false},                     // overlong
        {"\xed\xa0\x80", false},                 // a surrogate
        {"\xf4\x90\x80\x80", false},             // past U+10FFFF
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        nlohmann::json parsed = nlohmann::json::parse(JsonString(row.in)); // throws for invalid JSON
        if (row.utf8) {
            EXPECT_EQ(parsed.get<std::string>(), row.in);
        } else {
            EXPECT_NE(parsed.get<std::string>().find("\xEF\xBF\xBD"), std::string::npos); // U+FFFD
        }
    }
}

TEST(SimSplitter, UnknownBytesAreSkippedWithoutLosingTheNextFrame) {
    // Noise that even starts like a command frame (5A with a length) before a real frame.
    auto decoded = DecodeStream({Hex("00 13 5A 33 FA 00 AF AF 01"), Hex("FA 80 F4 00 6E 0D 5A 01 01")});
    ASSERT_GE(decoded.size(), 3U);
    EXPECT_EQ(decoded[0].format, Format::Unknown);
    EXPECT_FALSE(decoded[0].valid);
    EXPECT_EQ(HexBytes(decoded[0].bytes), "00 13 5A 33 FA 00 AF AF 01");
    EXPECT_EQ(decoded[1].format, Format::Module);
    EXPECT_TRUE(decoded[1].valid);
    EXPECT_EQ(decoded.back().format, Format::Unknown); // the cut-off frame at the end, after the quiet

    auto hidden = DecodeStream({Hex("5A 09 FA 80 F2 00 6C 0D")});
    ASSERT_EQ(hidden.size(), 2U);
    EXPECT_EQ(hidden[1].format, Format::Module);
    EXPECT_TRUE(hidden[1].valid);
}

TEST(SimSplitter, FramesSplitAcrossReadsAndBackToBack) {
    std::vector<std::vector<uint8_t>> pieces;
    std::vector<uint8_t> all;
    for (const auto& example : kExamples) {
        std::vector<uint8_t> bytes = Hex(example.bytes);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    for (std::size_t i = 0; i < all.size(); i += 3) {
        pieces.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(i),
                            all.begin() + static_cast<std::ptrdiff_t>(std::min(i + 3, all.size())));
    }
    auto decoded = DecodeStream(pieces, false);
    ASSERT_EQ(decoded.size(), std::size(kExamples));
    for (const auto& frame : decoded) {
        EXPECT_TRUE(frame.valid) << frame.reason;
    }
}

TEST(SimModule, AnswersAndRemembers) {
    ModuleDevice device;
    std::time_t now = 1700000000;
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 F4 00 6E 0D"), now)),
              "FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 F3 07 21 91 C0 02 05 2C 03 1C 0D"), now)),
              "FA 80 F3 00 6D 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 F4 00 6E 0D"), now)),
              "FA 80 F4 07 21 91 C0 02 05 2C 03 1D 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 FB 04 80 00 00 00 F9 0D"), now)), "FA 80 FB 00 75 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 EE 00 68 0D"), now)), "FA 80 EE 04 80 00 00 00 EC 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 F2 00 6C 0D"), now)), "FA 80 F2 00 6C 0D");
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 FC 07 11 03 05 0E 1E 0F 00 D1 0D"), now)),
              "FA 80 FC 00 76 0D");
    // The clock goes on from the time set: ten seconds later it reads 14:30:25.
    EXPECT_EQ(HexBytes(*device.Answer(Hex("FA 80 FD 00 77 0D"), now + 10)),
              "FA 80 FD 07 11 03 05 0E 1E 19 00 DC 0D");
    EXPECT_FALSE(device.Answer(Hex("FA 80 F1 00 6B 0D"), now));
}

} // namespace
} // namespace velkor::sim
