#pragma once
// More about a port that would not open, for the messages of velkor-cli and the port settings page: whose
// group the device is in, and which programs hold it.

#include <string>
#include <vector>

namespace velkor {

// The group that owns the device node of `port` ("dialout"), or "" where that cannot be told (Windows).
std::string DeviceGroup(const std::string& port);

struct PortHolder {
    std::string program; // "ModemManager"
    long pid = 0;
};
// The other processes that have `port`'s device open, as far as this user may see (/proc/*/fd on
// Linux), the one holding its lock first; empty where none can be seen.
std::vector<PortHolder> PortHolders(const std::string& port);

} // namespace velkor
