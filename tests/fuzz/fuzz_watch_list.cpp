// Any bytes as a watch list file: read, checked, saved and read again. A list read without a fault must
// come back the same from its saved form, and its frames must be whole command frames.

#include "frames/command_frame.h"
#include "frames/watch_list.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::variant<velkor::WatchList, std::vector<velkor::WatchListFault>> parsed =
        velkor::ParseWatchList(text);
    auto* list = std::get_if<velkor::WatchList>(&parsed);
    if (list == nullptr || !velkor::CheckWatchList(*list).empty()) {
        return 0;
    }
    std::variant<velkor::WatchList, std::vector<velkor::WatchListFault>> again =
        velkor::ParseWatchList(velkor::SaveWatchList(*list));
    auto* reread = std::get_if<velkor::WatchList>(&again);
    if (reread == nullptr || reread->entries.size() != list->entries.size() ||
        reread->extraColumns != list->extraColumns) {
        std::abort();
    }
    uint8_t sequence = 0;
    for (std::size_t i = 0; i < list->entries.size(); ++i) {
        const velkor::WatchEntry& entry = list->entries[i];
        const velkor::WatchEntry& back = reread->entries[i];
        if (back.name != entry.name || back.address != entry.address || back.freq != entry.freq ||
            back.net != entry.net || back.hosts != entry.hosts || back.extra != entry.extra) {
            std::abort();
        }
        for (const velkor::WatchFrame& frame : velkor::EntryFrames(entry, [&] { return ++sequence; })) {
            const std::vector<uint8_t>& bytes = frame.bytes;
            if (bytes.size() < 9 || bytes[0] != 0x5A || bytes[7] + 9U != bytes.size() ||
                velkor::ByteSum(std::span(bytes).first(bytes.size() - 1)) != bytes.back()) {
                std::abort();
            }
        }
    }
    return 0;
}
