#include "gateway/http/console_files.h"

#include "frames/text_encoding.h"

#include <filesystem>

namespace velkor::gateway {

const std::string& GbkCharacterMap() {
    static const std::string map = [] {
        std::string bits(65536 / 8, '\0');
        for (char32_t c = 0x80; c < 0x10000; ++c) {
            if (c >= 0xD800 && c < 0xE000) {
                continue; // halves of a surrogate pair: never a character alone
            }
            const std::u16string one(1, static_cast<char16_t>(c));
            try {
                if (WideToAnsi(one).size() == 2) {
                    bits[c / 8] =
                        static_cast<char>(static_cast<unsigned char>(bits[c / 8]) | (1U << (c % 8)));
                }
            } catch (const TextConversionError&) {
                return std::string(); // no converter: the console counts on the gateway's answers alone
            }
        }
        for (char32_t c = 0x20; c < 0x7F; ++c) {
            bits[c / 8] = static_cast<char>(static_cast<unsigned char>(bits[c / 8]) | (1U << (c % 8)));
        }
        return bits;
    }();
    return map;
}

std::string ConsoleFolder(const std::string& given, const std::string& program) {
    namespace fs = std::filesystem;
    if (!given.empty()) {
        return given;
    }
    std::error_code error;
    const fs::path self = fs::canonical(program, error);
    if (!error) {
        // Run from the build tree: the source's copy, which the build tree names.
        const fs::path built = self.parent_path() / "console-source";
        if (fs::exists(built / "index.html", error)) {
            return fs::canonical(built, error).string();
        }
    }
    const fs::path installed = "/usr/share/velkor-gateway/console";
    return fs::exists(installed / "index.html", error) ? installed.string() : std::string();
}

} // namespace velkor::gateway
