#pragma once
// The Linux port listing, split from EnumeratePorts so that it can be run against a made-up sysfs tree.

#include <string>
#include <vector>

namespace velkor {

// The names of the serial ttys under `sysClassTty` (the kernel's /sys/class/tty), in natural order. A tty
// that is an active system console (named in `sysClassTty`/console/active) is left out: opening it would
// put the console into raw mode at the port's baud rate and leave it so.
std::vector<std::string> SerialTtyNames(const std::string& sysClassTty);

// Is `port` (any path to it: a link, /dev/serial/by-id/...) the device of a tty that is an active system
// console under `sysClassTty`? Compared by device number, so no other name for it slips through.
bool IsActiveConsole(const std::string& port, const std::string& sysClassTty);

} // namespace velkor
