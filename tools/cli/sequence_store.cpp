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

std::string PrepareSequenceFile(const std::string& port, std::string* error) {
    std::string path = SequenceFile(port);
    if (path.empty()) {
#ifdef _WIN32
        *error = "no state folder (LOCALAPPDATA is not set)";
#else
        *error = "no state folder (set HOME or XDG_STATE_HOME)";
#endif
        return path;
    }
    std::error_code ignored; // opening the file then says what is wrong with the folder
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    return path;
}

uint8_t ParseStoredSequence(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    std::optional<uint32_t> value = ParseUnsigned(line, 0, 255);
    return value ? static_cast<uint8_t>(*value) : 0;
}

} // namespace velkor::cli
