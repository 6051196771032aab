#include "sequence_store.h"

#include "frames/strict_text.h"

#include <cstdlib>
#include <filesystem>

namespace velkor {
namespace {

// A key made into one file name: "/dev/ttyUSB0" -> "sequence-_dev_ttyUSB0".
std::string FileName(const std::string& key) {
    std::string name = "sequence-" + key;
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
            c == '|') {
            c = '_';
        }
    }
    return name;
}

} // namespace

std::string SequenceFolder() {
    if (const char* chosen = std::getenv("VELKOR_SEQUENCE_DIR"); chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    std::filesystem::path folder;
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        folder = std::filesystem::path(local) / "velkor";
    }
#else
    std::error_code ignored;
    if (std::filesystem::is_directory(SHARED_SEQUENCE_FOLDER, ignored)) {
        return SHARED_SEQUENCE_FOLDER;
    }
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        folder = std::filesystem::path(state) / "velkor";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folder = std::filesystem::path(home) / ".local" / "state" / "velkor";
    }
#endif
    return folder.string();
}

std::string SequenceFile(const std::string& port) {
    const std::string folder = SequenceFolder();
    return folder.empty() ? folder : (std::filesystem::path(folder) / FileName(DeviceKey(port))).string();
}

std::string NameKeyedSequenceFile(const std::string& port) {
    const std::string folder = SequenceFolder();
    return folder.empty() ? folder : (std::filesystem::path(folder) / FileName(port)).string();
}

std::string PrepareSequenceFolder(std::string* error) {
    std::string folder = SequenceFolder();
    if (folder.empty()) {
#ifdef _WIN32
        *error = "no state folder (LOCALAPPDATA is not set)";
#else
        *error = "no state folder (set HOME or XDG_STATE_HOME)";
#endif
        return folder;
    }
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    std::error_code ignored;
    if (made && std::filesystem::is_symlink(folder, ignored) && !std::filesystem::exists(folder, ignored)) {
        // create_directories says only "File exists" for a link to nowhere.
        *error = "the state folder " + folder + " is a link to " +
                 std::filesystem::read_symlink(folder, ignored).string() + ", which does not exist";
        return {};
    }
    if (std::filesystem::exists(folder, ignored) && !std::filesystem::is_directory(folder, ignored)) {
        *error = "the state folder " + folder + " is not a folder";
        return {};
    }
    if (made) {
        // The first folder that could not be made says why: "permission denied", not the missing folder's
        // "no such file" that opening it would give.
        *error = "cannot make the state folder " + folder + ": " + made.message();
        return {};
    }
    return folder;
}

std::optional<uint8_t> ParseStoredSequence(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    std::optional<uint32_t> value = ParseUnsigned(line, 0, 255);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

} // namespace velkor
