#pragma once
// Port naming that does not depend on the platform the program runs on.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor {

// The one name of a Windows COM port, "COM3", for each way of writing it: "COM3", "com3", "COM3:",
// "\\.\COM3". nullopt for anything else: on Windows only COM1 to COM255 are serial ports, and names
// such as AUX (which Windows maps to COM1), NUL, CON, PRN, LPT1 or a path are not.
std::optional<std::string> ComPortName(std::string_view name);

// "ttyUSB2" before "ttyUSB10": runs of digits compare by value.
bool NaturalLess(std::string_view a, std::string_view b);

// The paths of a list such as VELKOR_PORTS (colon-separated on Linux, semicolon-separated on Windows),
// empty entries and repeats left out.
std::vector<std::string> SplitPortList(std::string_view list, char separator = ':');

} // namespace velkor
