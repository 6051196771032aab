// Lists the serial ports of a Linux machine from sysfs.

#include "port_list_linux.h"
#include "port_names.h"
#include "serial_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace velkor {
namespace {

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// A tty in /sys/class/tty that is a serial port: it has a backing device, and a ttyS has a UART behind it
// (the 8250 driver registers ttyS0..3 whether or not the hardware exists; those read type 0).
bool IsSerialTty(const std::string& sysClassTty, const std::string& name) {
    // Virtual consoles ("tty", "tty0".."tty63"), "console" and "ptmx" are never serial ports; skipping them
    // by name saves a sysfs lookup each, most of the listing's cost (it runs while the window is being
    // built).
    if (name == "console" || name == "ptmx" ||
        (name.rfind("tty", 0) == 0 && name.find_first_not_of("0123456789", 3) == std::string::npos)) {
        return false;
    }
    const std::string base = sysClassTty + "/" + name;
    struct stat st {};
    if (stat((base + "/device").c_str(), &st) != 0) {
        return false;
    }
    if (name.rfind("ttyS", 0) == 0) {
        std::string type = ReadFirstLine(base + "/type");
        return !type.empty() && type != "0";
    }
    return true;
}

// The ttys the kernel writes its console to ("tty0 ttyS0"), from console/active.
std::vector<std::string> ActiveConsoles(const std::string& sysClassTty) {
    std::istringstream words(ReadFirstLine(sysClassTty + "/console/active"));
    std::vector<std::string> names;
    for (std::string name; words >> name;) {
        names.push_back(name);
    }
    return names;
}

} // namespace

std::vector<std::string> SerialTtyNames(const std::string& sysClassTty) {
    std::vector<std::string> names;
    const std::vector<std::string> consoles = ActiveConsoles(sysClassTty);
    if (DIR* dir = opendir(sysClassTty.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.empty() || name[0] == '.' ||
                std::find(consoles.begin(), consoles.end(), name) != consoles.end()) {
                continue;
            }
            if (IsSerialTty(sysClassTty, name)) {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
    return names;
}

bool IsActiveConsole(const std::string& port, const std::string& sysClassTty) {
    struct stat st {};
    if (stat(port.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    for (const std::string& name : ActiveConsoles(sysClassTty)) {
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(ReadFirstLine(sysClassTty + "/" + name + "/dev").c_str(), "%u:%u", &major, &minor) ==
                2 &&
            makedev(major, minor) == st.st_rdev) {
            return true;
        }
    }
    return false;
}

bool IsSystemConsole(const std::string& port) {
    return IsActiveConsole(port, "/sys/class/tty");
}

std::vector<std::string> EnumeratePorts() {
    std::vector<std::string> ports;
    for (const std::string& name : SerialTtyNames("/sys/class/tty")) {
        ports.push_back("/dev/" + name);
    }
    if (const char* extra = std::getenv("VELKOR_PORTS")) {
        for (std::string& path : SplitPortList(extra)) {
            if (std::find(ports.begin(), ports.end(), path) == ports.end()) {
                ports.push_back(std::move(path));
            }
        }
    }
    return ports;
}

} // namespace velkor
