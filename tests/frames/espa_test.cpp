// The block of a panel's line: its check character and its records, read as leniently as panels write them.

#include "frames/espa.h"

#include <gtest/gtest.h>

namespace velkor::espa {
namespace {

TEST(EspaBlock, BuiltWithItsCheckAndReadBackLeniently) {
    const std::string block =
        BuildBlock(CALL_TO_PAGER, {{CALL_ADDRESS, "550"}, {DISPLAY_MESSAGE, "CALL ME 101"}});
    EXPECT_EQ(block, std::string("\x01"
                                 "1\x02"
                                 "1\x1F"
                                 "550\x1E"
                                 "2\x1F"
                                 "CALL ME 101\x03",
                                 23) +
                         static_cast<char>(BlockCheck(block.substr(1, block.size() - 2))));
    // The check covers the header through ETX, not SOH.
    EXPECT_EQ(BlockCheck(std::string("1\x02"
                                     "1\x1F"
                                     "5\x03")),
              '1' ^ 0x02 ^ '1' ^ 0x1F ^ '5' ^ 0x03);

    // An RS before ETX, blanks around an id, a record without US, and the last of two records taken.
    auto records = ParseRecords(std::string("1\x1F"
                                            "550\x1E 2 \x1F"
                                            "FIRE 2\x1E"
                                            "6\x1E\x1E"
                                            "2\x1F"
                                            "again\x1E"));
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 4U);
    EXPECT_EQ(*FindRecord(*records, CALL_ADDRESS), "550");
    EXPECT_EQ(*FindRecord(*records, DISPLAY_MESSAGE), "again");
    EXPECT_EQ(*FindRecord(*records, PRIORITY), "");
    EXPECT_EQ(FindRecord(*records, BEEP_CODING), nullptr);
    EXPECT_FALSE(ParseRecords(std::string("12\x1F"
                                          "550")));
    EXPECT_FALSE(ParseRecords(std::string("x\x1F"
                                          "550")));
    EXPECT_EQ(Readable(std::string("\x04"
                                   "2\x05\xFF",
                                   4)),
              "<EOT>2<ENQ><FF>");
}

} // namespace
} // namespace velkor::espa
