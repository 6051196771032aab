#include "gateway/intake/watch_names.h"

#include "frames/strict_text.h"

namespace velkor::gateway {
namespace {

// At most this many faults are told; a file with more is the wrong file.
constexpr std::size_t FAULTS_TOLD = 10;

std::optional<WatchNames> Checked(std::variant<WatchList, std::vector<WatchListFault>> read,
                                  const std::string& file, std::string* error) {
    std::vector<WatchListFault> faults;
    if (auto* found = std::get_if<std::vector<WatchListFault>>(&read)) {
        faults = std::move(*found);
    } else {
        faults = CheckWatchList(std::get<WatchList>(read));
    }
    if (faults.empty()) {
        return WatchNames(std::get<WatchList>(read));
    }
    error->clear();
    for (std::size_t i = 0; i < faults.size() && i < FAULTS_TOLD; ++i) {
        if (i > 0) {
            *error += '\n';
        }
        *error += WatchListFaultText(file, faults[i]);
    }
    if (faults.size() > FAULTS_TOLD) {
        *error += "\n" + file + ": " + std::to_string(faults.size() - FAULTS_TOLD) + " faults more";
    }
    return std::nullopt;
}

} // namespace

WatchNames::WatchNames(const WatchList& list) {
    for (const WatchEntry& entry : list.entries) {
        if (std::optional<WatchAddress> address = ParseAddress(entry.address)) {
            m_names.emplace(entry.name, *address);
            Watch watch{entry.name, *address, EntryGroups(list, entry), EntryCall(list, entry),
                        EntryEscalation(list, entry)};
            if (!watch.call.empty()) {
                m_calls.emplace(CallKey(watch.call),
                                Called{Recipient{*address, entry.name}, watch.escalation});
            }
            for (const std::string& group : watch.groups) {
                m_groups[group].push_back(Recipient{*address, entry.name});
            }
            m_watches.push_back(std::move(watch));
        }
    }
}

std::optional<WatchNames::Called> WatchNames::FindCall(std::string_view call) const {
    auto found = m_calls.find(CallKey(call));
    if (found == m_calls.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<Recipient> WatchNames::Group(std::string_view group) const {
    auto found = m_groups.find(group);
    return found == m_groups.end() ? std::vector<Recipient>{} : found->second;
}

std::optional<WatchNames> WatchNames::Parse(std::string_view csv, std::string* error,
                                            const std::string& file) {
    return Checked(ParseWatchList(csv), file, error);
}

std::optional<WatchNames> WatchNames::Load(const std::string& path, std::string* error) {
    return Checked(LoadWatchList(path), path, error);
}

std::optional<WatchAddress> WatchNames::Find(std::string_view name) const {
    auto found = m_names.find(name);
    if (found == m_names.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::string> SplitRecipients(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= list.size()) {
        // The nearest separator of any kind, and its length (the Chinese ones are three bytes).
        std::size_t end = list.size();
        std::size_t length = 1;
        for (std::string_view separator : RECIPIENT_SEPARATORS) {
            if (const std::size_t at = list.find(separator, start); at < end) {
                end = at;
                length = separator.size();
            }
        }
        const std::string_view one = TrimBlanks(list.substr(start, end - start));
        if (!one.empty()) {
            names.emplace_back(one);
        }
        start = end + length;
    }
    return names;
}

std::variant<std::vector<Recipient>, std::string> ParseRecipient(std::string_view text,
                                                                 const WatchNames& names) {
    if (text.empty()) {
        return std::string("no recipient");
    }
    if (std::optional<WatchAddress> address = ParseAddressOrNumber(text)) {
        return std::vector<Recipient>{Recipient{*address, {}}};
    }
    if (text == "all") {
        return std::vector<Recipient>{Recipient{BROADCAST_ADDRESS, "all"}};
    }
    if (std::optional<WatchAddress> address = names.Find(text)) {
        return std::vector<Recipient>{Recipient{*address, std::string(text)}};
    }
    if (std::vector<Recipient> members = names.Group(text); !members.empty()) {
        return members;
    }
    return "no watch or group is named \"" + std::string(text) +
           "\" (an address A.B.C.D, a number, all, or a name " +
           (names.Size() == 0 ? "from a watch list, and none is loaded)" : "from the watch list)");
}

} // namespace velkor::gateway
