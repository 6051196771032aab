#include "output.h"

#include <cstdio>

namespace velkor::cli {

std::string Hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t byte : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

void Fail(const std::string& text) {
    std::fprintf(stderr, "velkor-cli: %s\n", text.c_str());
}

void PrintLine(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
}

void PrintJson(const JsonLine& line) {
    PrintLine(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

bool OutputFailed() {
    return std::ferror(stdout) != 0;
}

} // namespace velkor::cli
