#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velkor {
namespace {

TEST(PortNames, WindowsNamesNaturalOrderAndLists) {
    EXPECT_EQ(WindowsDeviceName(9), "COM9");
    EXPECT_EQ(WindowsDeviceName(10), "\\\\.\\COM10");

    std::vector<std::string> names = {"ttyUSB10", "ttyS1", "ttyUSB2", "ttyACM0", "ttyUSB02", "ttyUSB1"};
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return NaturalLess(a, b); });
    EXPECT_EQ(names,
              (std::vector<std::string>{"ttyACM0", "ttyS1", "ttyUSB1", "ttyUSB02", "ttyUSB2", "ttyUSB10"}));

    EXPECT_EQ(SplitPortList("/tmp/a::/dev/pts/3:/tmp/a:"),
              (std::vector<std::string>{"/tmp/a", "/dev/pts/3"}));
    EXPECT_TRUE(SplitPortList("").empty());
    // Windows paths hold colons, so the list there is semicolon-separated.
    EXPECT_EQ(SplitPortList("COM7;\\\\.\\COM12;;COM7", ';'),
              (std::vector<std::string>{"COM7", "\\\\.\\COM12"}));
}

} // namespace
} // namespace velkor
