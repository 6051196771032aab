// velkor-cli: the serial engine from the command line, for scripts and checks without the window.
//   velkor-cli ports                       the ports this machine offers, and whether each is free
//   velkor-cli send PORT [options] HEX...  write the bytes, print the frames that come back

#include "serial/cxserial.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] = R"(Usage:
  velkor-cli ports
  velkor-cli send PORT [--baud RATE] [--parity none|odd|even] [--wait MS] HEX...

ports  lists the serial ports (and the paths in VELKOR_PORTS) with "free" or "busy".
send   opens PORT exclusively (default 9600 baud, no parity), writes the bytes given as hexadecimal
       pairs ("FA 80 F4 00 6E 0D" or FA80F4006E0D), then prints every frame received within --wait
       milliseconds (default 1000), one line of hexadecimal pairs each; a frame ends after 300 to
       400 ms of silence, as in Velkor.

Exit status: 0 on success, 1 when the port cannot be opened or written (a device that takes nothing for
3 s is given up on, and the message says how much of the bytes it took), 2 for wrong arguments.
)";

bool ParseHex(const std::vector<std::string>& words, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (const std::string& word : words) {
        digits += word;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], '\0'};
        char* end = nullptr;
        long value = std::strtol(pair, &end, 16);
        if (*end != '\0') {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return !bytes->empty();
}

int Ports() {
    for (const std::string& port : velkor::EnumeratePorts()) {
        std::printf("%s\t%s\n", port.c_str(), velkor::g_serial.ProbePort(port) == 1 ? "free" : "busy");
    }
    return 0;
}

int Send(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string port = argv[2];
    int baud = 9600;
    int parity = 0;
    int waitMs = 1000;
    std::vector<std::string> hex;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--baud" || arg == "--wait" || arg == "--parity") && i + 1 >= argc) {
            std::fprintf(stderr, "velkor-cli: %s needs a value\n", arg.c_str());
            return 2;
        }
        if (arg == "--baud") {
            baud = std::atoi(argv[++i]);
        } else if (arg == "--wait") {
            waitMs = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--parity") {
            std::string name = argv[++i];
            parity = name == "odd" ? 1 : name == "even" ? 2 : name == "none" ? 0 : -1;
            if (parity < 0) {
                std::fprintf(stderr, "velkor-cli: parity is none, odd or even\n");
                return 2;
            }
        } else {
            hex.push_back(arg);
        }
    }
    std::vector<uint8_t> bytes;
    if (!ParseHex(hex, &bytes)) {
        std::fprintf(stderr, "velkor-cli: give the bytes as pairs of hexadecimal digits\n");
        return 2;
    }
    if (velkor::g_serial.Open(port, baud, parity) != 1) {
        std::fprintf(stderr, "velkor-cli: cannot open %s: %s\n", port.c_str(),
                     velkor::PortErrorText(velkor::g_serial.LastFailure().error));
        return 1;
    }
    if (velkor::g_serial.Write(bytes.data(), static_cast<uint32_t>(bytes.size())) != 1) {
        velkor::CXSerial::Failure failure = velkor::g_serial.LastFailure();
        if (failure.error == velkor::PortError::Stalled) {
            std::fprintf(
                stderr,
                "velkor-cli: %s: the device stopped taking bytes: it took %u of %u, then nothing for "
                "%d s\n",
                port.c_str(), failure.accepted, failure.length,
                velkor::CXSerial::MAX_WRITE_FAILURES * velkor::CXSerial::WRITE_TIMEOUT_MS / 1000);
        } else {
            std::fprintf(stderr, "velkor-cli: cannot write to %s: %s\n", port.c_str(),
                         velkor::PortErrorText(failure.error));
        }
        return 1;
    }
    // The same end-of-frame rule as the window: a tick every 100 ms.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < end || velkor::g_receiveBuffer.IdleTicks() >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (auto frame = velkor::g_receiveBuffer.Tick()) {
            for (int i = 0; i < frame->count; ++i) {
                std::printf(i == 0 ? "%02X" : " %02X", frame->bytes[static_cast<std::size_t>(i)]);
            }
            std::printf("\n");
        }
        if (velkor::g_serial.TakeDeviceLost()) {
            std::fprintf(stderr, "velkor-cli: %s went away\n", port.c_str());
            return 1;
        }
    }
    velkor::g_serial.Close();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "ports") == 0) {
        return Ports();
    }
    if (argc >= 2 && std::strcmp(argv[1], "send") == 0) {
        return Send(argc, argv);
    }
    std::fputs(kUsage, argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
