#pragma once
// Who a page goes to: a watch address, a number, "all", or a name from the site's watch list.

#include "frames/command_frame.h"
#include "frames/watch_list.h"
#include "gateway/queue/page_types.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor::gateway {

// The watch list's names and addresses: the site's watch list file, read and checked whole by the same
// rules as the window's watch list page and `velkor-cli watches check` (its other columns are theirs).
class WatchNames {
public:
    WatchNames() = default;
    // The names of a checked list.
    explicit WatchNames(const WatchList& list);

    // The list in `csv`; nullopt with every fault in `error` ("FILE:LINE: column: reason", one a line,
    // `file` naming it) when it cannot be read or does not pass the list's checks.
    static std::optional<WatchNames> Parse(std::string_view csv, std::string* error,
                                           const std::string& file = "watch list");
    // The list in the file at `path`, the same way.
    static std::optional<WatchNames> Load(const std::string& path, std::string* error);

    std::optional<WatchAddress> Find(std::string_view name) const;
    // The members of a group, by name; empty for no such group.
    std::vector<Recipient> Group(std::string_view group) const;
    std::size_t Size() const { return m_names.size(); }
    // The watch a panel's call number pages, and the escalation policy of its calls ("" for none).
    struct Called {
        Recipient watch;
        std::string escalation;
    };
    // The watch a panel's call number pages (leading zeros do not count); nullopt for none.
    std::optional<Called> FindCall(std::string_view call) const;

    struct Watch {
        std::string name;
        WatchAddress address{};
        std::vector<std::string> groups;
        std::string call;       // the panel's number for it, "" for none
        std::string escalation; // the policy of its calls, "" for none
    };
    // Every watch, in the list's order.
    const std::vector<Watch>& Watches() const { return m_watches; }

private:
    std::map<std::string, WatchAddress, std::less<>> m_names;
    std::map<std::string, std::vector<Recipient>, std::less<>> m_groups;
    std::map<std::string, Called, std::less<>> m_calls; // by CallKey
    std::vector<Watch> m_watches;
};

// A recipient as written by a sender: "A.B.C.D"; a plain decimal number N, the address whose 32-bit value
// is N ("12" is 0.0.0.12); "all" (255.255.255.255); a name from `names`; or a group of it (each member).
// The reason it is not one otherwise.
// What separates the recipients of a list: the comma and the semicolon, also as a Chinese keyboard types
// them (，；). The console splits what is typed into its form by the same, which it is told.
inline constexpr const char* RECIPIENT_SEPARATORS[] = {",", "，", ";", "；"};
// The recipients of a list written "a, b ,c" or "厨房，前台" (a hook's to, a quick text's to, a label),
// blanks around each taken off, empty ones left out.
std::vector<std::string> SplitRecipients(std::string_view list);

std::variant<std::vector<Recipient>, std::string> ParseRecipient(std::string_view text,
                                                                 const WatchNames& names);

} // namespace velkor::gateway
