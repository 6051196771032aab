#include "port_failure.h"

#include "port_diagnosis.h"

namespace velkor {

std::string PortFailureText(const std::string& port, const CXSerial::Failure& failure) {
    std::string text = port + ": " + PortErrorText(failure.error);
    switch (failure.error) {
    case PortError::Permission:
        if (std::string group = DeviceGroup(port); !group.empty() && group != "root") {
            text += "; it belongs to the group " + group + ": sudo usermod -aG " + group +
                    " $USER, then log in again";
        }
        break;
    case PortError::Busy: {
        std::vector<PortHolder> holders = PortHolders(port);
        if (holders.empty()) {
            text = port + ": busy: another program has it open";
        } else {
            text = port + ": busy: " + holders[0].program + " (PID " + std::to_string(holders[0].pid) +
                   ") has it open";
        }
        break;
    }
    case PortError::Interrupted:
        text += " while the device had taken " + std::to_string(failure.accepted) + " of " +
                std::to_string(failure.length) + " bytes";
        break;
    case PortError::Stalled:
        text += ": it took " + std::to_string(failure.accepted) + " of " + std::to_string(failure.length) +
                " bytes, then nothing for " +
                std::to_string(CXSerial::MAX_WRITE_FAILURES * CXSerial::WRITE_TIMEOUT_MS / 1000) + " s";
        break;
    default:
        break;
    }
    return text;
}

} // namespace velkor
