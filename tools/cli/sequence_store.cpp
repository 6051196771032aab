#include "sequence_store.h"

#include "cli_args.h"

#include <cstdlib>
#include <filesystem>

namespace velkor::cli {

std::string SequenceFile(const std::string& port) {
    std::filesystem::path folder;
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        folder = std::filesystem::path(local) / "velkor";
    }
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        folder = std::filesystem::path(state) / "velkor";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folder = std::filesystem::path(home) / ".local" / "state" / "velkor";
    }
#endif
    if (folder.empty()) {
        return {};
    }
    // The port's name made into one file name: "/dev/ttyUSB0" -> "sequence-_dev_ttyUSB0".
    std::string name = "sequence-" + port;
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
            c == '|') {
            c = '_';
        }
    }
    return (folder / name).string();
}

uint8_t ParseStoredSequence(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    std::optional<uint32_t> value = ParseUnsigned(line, 0, 255);
    return value ? static_cast<uint8_t>(*value) : 0;
}

} // namespace velkor::cli
