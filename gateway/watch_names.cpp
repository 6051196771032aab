#include "watch_names.h"

#include "frames/csv.h"
#include "frames/strict_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace velkor::gateway {
namespace {

// A watch list of more than this is not a watch list.
constexpr std::size_t MAX_FILE_BYTES = 4 * 1024 * 1024;

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

std::optional<WatchAddress> ParseAddressOrNumber(std::string_view text) {
    if (std::optional<WatchAddress> address = ParseAddress(text)) {
        return address;
    }
    if (std::optional<uint32_t> value = ParseUnsigned(text, 0, 0xFFFFFFFF)) {
        return AddressFromValue(*value);
    }
    return std::nullopt;
}

std::optional<WatchNames> WatchNames::Parse(std::string_view csv, std::string* error) {
    std::variant<CsvTable, std::string> read = ReadCsv(csv);
    if (auto* reason = std::get_if<std::string>(&read)) {
        *error = *reason;
        return std::nullopt;
    }
    const std::vector<CsvRecord>* records = &std::get<CsvTable>(read).records;
    if (records->empty()) {
        *error = "no header line (name,address)";
        return std::nullopt;
    }
    const std::vector<std::string>& header = records->front().fields;
    std::optional<std::size_t> nameColumn;
    std::optional<std::size_t> addressColumn;
    for (std::size_t i = 0; i < header.size(); ++i) {
        const std::string column = Lowered(header[i]);
        if (column == "name" && !nameColumn) {
            nameColumn = i;
        } else if (column == "address" && !addressColumn) {
            addressColumn = i;
        }
    }
    if (!nameColumn || !addressColumn) {
        *error = "line 1: the header line names no " + std::string(nameColumn ? "address" : "name") +
                 " column (name,address)";
        return std::nullopt;
    }
    WatchNames names;
    std::map<std::string, std::size_t, std::less<>> lines;
    for (std::size_t r = 1; r < records->size(); ++r) {
        const CsvRecord& record = (*records)[r];
        const std::string where = "line " + std::to_string(record.line) + ": ";
        const std::string name = *nameColumn < record.fields.size() ? record.fields[*nameColumn] : "";
        const std::string address =
            *addressColumn < record.fields.size() ? record.fields[*addressColumn] : "";
        if (name.empty()) {
            *error = where + "no name";
            return std::nullopt;
        }
        std::optional<WatchAddress> value = ParseAddressOrNumber(address);
        if (!value) {
            *error =
                where + (address.empty() ? "no address for " + name
                                         : "\"" + address + "\" is not an address (A.B.C.D or a number)");
            return std::nullopt;
        }
        if (auto seen = lines.find(name); seen != lines.end()) {
            *error = where + "the name " + name + " is on line " + std::to_string(seen->second) + " too";
            return std::nullopt;
        }
        lines.emplace(name, record.line);
        names.m_names.emplace(name, *value);
    }
    return names;
}

std::optional<WatchNames> WatchNames::Load(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(MAX_FILE_BYTES + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > MAX_FILE_BYTES) {
        *error = path + ": larger than " + std::to_string(MAX_FILE_BYTES / (1024 * 1024)) + " MB";
        return std::nullopt;
    }
    std::optional<WatchNames> names = Parse(text, error);
    if (!names) {
        *error = path + ": " + *error;
    }
    return names;
}

std::optional<WatchAddress> WatchNames::Find(std::string_view name) const {
    auto found = m_names.find(name);
    if (found == m_names.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::variant<Recipient, std::string> ParseRecipient(std::string_view text, const WatchNames& names) {
    if (text.empty()) {
        return std::string("no recipient");
    }
    if (std::optional<WatchAddress> address = ParseAddressOrNumber(text)) {
        return Recipient{*address, {}};
    }
    if (text == "all") {
        return Recipient{BROADCAST_ADDRESS, "all"};
    }
    if (std::optional<WatchAddress> address = names.Find(text)) {
        return Recipient{*address, std::string(text)};
    }
    return "no watch is named \"" + std::string(text) + "\" (an address A.B.C.D, a number, all, or a name " +
           (names.Size() == 0 ? "from a watch list, and none is loaded)" : "from the watch list)");
}

} // namespace velkor::gateway
