// Lists the serial ports of a Windows machine: the COM ports that open now.

#include "port_names.h"
#include "serial_port.h"

#include <algorithm>
#include <cstdlib>

namespace velkor {

bool IsSystemConsole(const std::string&) {
    return false; // a Windows console is never a COM port
}

std::vector<std::string> EnumeratePorts() {
    std::vector<std::string> ports;
    for (unsigned n = 1; n <= 255; ++n) {
        std::string name = "COM" + std::to_string(n);
        if (NativePort::Probe(name)) {
            ports.push_back(std::move(name));
        }
    }
    // Virtual ports are named in VELKOR_PORTS, separated by semicolons (a Windows path holds colons).
    if (const char* extra = std::getenv("VELKOR_PORTS")) {
        for (std::string& path : SplitPortList(extra, ';')) {
            if (std::find(ports.begin(), ports.end(), path) == ports.end()) {
                ports.push_back(std::move(path));
            }
        }
    }
    return ports;
}

} // namespace velkor
