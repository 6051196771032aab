#pragma once
// Line settings as termios, kept apart from any system call so that they can be checked on their own.

#include <optional>
#include <termios.h>

namespace velkor {

// `base` turned into the port's line: raw bytes, 8 data bits, 1 stop bit, the parity (0 none, 1 odd,
// 2 even; sent with parity, received as they come: no input check that would turn a bad byte into 0x00), no
// hardware or software flow control, CLOCAL|CREAD, no HUPCL, reads that wait for one byte. nullopt for a baud
// rate or parity the port page does not offer.
std::optional<termios> MakeLineTermios(const termios& base, int baudRate, Parity parity, int dataBits = 8);

} // namespace velkor
