#pragma once
// Why a port did not open or a write did not go through, in the words of velkor-cli and the gateway's log:
// the reason, and what the system can tell beside it (the device's group, the program that holds it, how
// much of the write the device took). The window says the same in its own language.

#include "cxserial.h"

#include <string>

namespace velkor {

// "PORT: busy: velkor (PID 4242) has it open", "PORT: permission denied; it belongs to the group dialout:
// sudo usermod -aG dialout $USER, then log in again", "PORT: the device stopped taking data: it took 3 of
// 20 bytes, then nothing for 2 s".
std::string PortFailureText(const std::string& port, const CXSerial::Failure& failure);

} // namespace velkor
