#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velkor {
namespace {

TEST(PortNames, NaturalOrderAndLists) {
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

TEST(PortNames, OnlyComPortsAreSerialPortsOnWindows) {
    const struct {
        const char* name;
        const char* com; // nullptr: not a serial port
    } rows[] = {
        {"COM3", "COM3"},          {"com3", "COM3"},
        {"COM3:", "COM3"},         {"\\\\.\\COM3", "COM3"},
        {"\\\\.\\com12", "COM12"}, {"COM255", "COM255"},
        {"COM256", nullptr},       {"COM0", nullptr},
        {"COM03", nullptr},        {"COM", nullptr},
        {"COM3x", nullptr},        {"AUX", nullptr},
        {"aux:", nullptr},         {"NUL", nullptr},
        {"CON", nullptr},          {"PRN", nullptr},
        {"LPT1", nullptr},         {"C:\\windows", nullptr},
        {"\\\\.\\AUX", nullptr},   {"", nullptr},
        {"COM3::", nullptr},       {"\\\\.\\COM3:", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<std::string> com = ComPortName(row.name);
        if (row.com == nullptr) {
            EXPECT_FALSE(com) << *com;
        } else {
            EXPECT_EQ(com.value_or("(none)"), row.com);
        }
    }
}

} // namespace
} // namespace velkor
