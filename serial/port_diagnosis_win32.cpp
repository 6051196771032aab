#include "port_diagnosis.h"

namespace velkor {

// Windows has no device groups, and which process holds a COM port cannot be asked without privileges.
std::string DeviceGroup(const std::string&) {
    return {};
}

std::vector<PortHolder> PortHolders(const std::string&) {
    return {};
}

} // namespace velkor
