#pragma once
// Who a page goes to: a watch address, a number, "all", or a name from the site's watch list.

#include "frames/command_frame.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velkor::gateway {

struct Recipient {
    WatchAddress address{};
    std::string name; // the name it was given by, when it came from the watch list
};

// The watch list: names to addresses, read from a UTF-8 CSV file whose header line names the columns
// `name` and `address` (in any order; other columns are ignored, so a fuller watch list can be the same
// file). Addresses are written A.B.C.D or as a plain number.
class WatchNames {
public:
    // The list in `csv`; nullopt with the reason in `error` ("line 4: no address") when it has none
    // of the columns, a bad address, an empty or a repeated name.
    static std::optional<WatchNames> Parse(std::string_view csv, std::string* error);
    // The list in the file at `path`; nullopt with the reason in `error` (the file's own reason, or
    // Parse's, after the path).
    static std::optional<WatchNames> Load(const std::string& path, std::string* error);

    std::optional<WatchAddress> Find(std::string_view name) const;
    std::size_t Size() const { return m_names.size(); }

private:
    std::map<std::string, WatchAddress, std::less<>> m_names;
};

// A recipient as written by a sender: "A.B.C.D"; a plain number N, the address whose 32-bit value is N
// (as inet_aton reads "12" as 0.0.0.12); "all" (255.255.255.255); or a name from `names`. The reason it
// is not one otherwise.
std::variant<Recipient, std::string> ParseRecipient(std::string_view text, const WatchNames& names);

// A watch address as the list's address column and the HTTP API write it: "A.B.C.D" or a plain number.
std::optional<WatchAddress> ParseAddressOrNumber(std::string_view text);

} // namespace velkor::gateway
