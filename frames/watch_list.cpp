#include "watch_list.h"

#include "csv.h"
#include "strict_text.h"
#include "utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

namespace velkor {
namespace {

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string SlotColumn(int slot) {
    std::string name = std::to_string(slot);
    name.insert(0, "host"); // built in place: GCC 12 at -O3 warns falsely (-Wrestrict) on "host" + ...
    return name;
}

// The slot (1-10) a column name such as "host3" names, 0 when it names none, -1 for hostN past 10.
int SlotOf(const std::string& column) {
    if (!column.starts_with("host") || column.size() == 4) {
        return 0;
    }
    std::optional<uint32_t> slot = ParseUnsigned(std::string_view(column).substr(4), 0, 99);
    if (!slot) {
        return 0;
    }
    return *slot >= 1 && *slot <= HOST_SLOTS ? static_cast<int>(*slot) : -1;
}

// A cell a spreadsheet would run as a formula, written so that it shows it: after a '.
bool RunsAsFormula(std::string_view value) {
    return !value.empty() &&
           (value.front() == '=' || value.front() == '+' || value.front() == '-' || value.front() == '@');
}

std::string Guarded(const std::string& value) {
    if (!RunsAsFormula(value)) {
        return value;
    }
    std::string text = "'"; // built in place: GCC 12 at -O3 warns falsely (-Wrestrict) on "'" + value
    text += value;
    return text;
}

std::string Unguarded(const std::string& value) {
    return value.starts_with('\'') && RunsAsFormula(std::string_view(value).substr(1)) ? value.substr(1)
                                                                                       : value;
}

// The pieces one after another. (GCC 12 at -O3 warns falsely, -Wrestrict, on "text" + std::string(...).)
std::string Join(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) {
        text.append(piece);
    }
    return text;
}

WatchListFault FileFault(WatchListProblem problem, std::string reason, std::size_t line = 0,
                         std::string column = {}, std::string value = {}) {
    WatchListFault fault;
    fault.line = line;
    fault.column = std::move(column);
    fault.reason = std::move(reason);
    fault.problem = problem;
    fault.value = std::move(value);
    return fault;
}

std::string CellReason(WatchListProblem problem, std::string_view value) {
    switch (problem) {
    case WatchListProblem::NoName:
        return "a name is needed";
    case WatchListProblem::NameNotOneLine:
        return "a name on one line, without control characters";
    case WatchListProblem::NameIsRecipient:
        return Join({"\"", value,
                     "\" reads as an address, a number or all: a page to it would not reach this watch"});
    case WatchListProblem::NoAddress:
        return "an address A.B.C.D is needed";
    case WatchListProblem::BadAddress:
        return Join({"\"", value, "\" is not an address A.B.C.D (each part 0 to 255)"});
    case WatchListProblem::BadFrequency:
        return Join({"\"", value, "\" is not a frequency: MHz below 1024, at most two decimals (434.00)"});
    case WatchListProblem::BadNetwork:
        return Join({"\"", value, "\" is not a network ID from 0 to 255"});
    default:
        return {};
    }
}

} // namespace

const std::vector<std::string>& WatchListColumns() {
    static const std::vector<std::string> columns = [] {
        std::vector<std::string> names = {"name", "address", "freq", "net"};
        for (int slot = 1; slot <= HOST_SLOTS; ++slot) {
            names.push_back(SlotColumn(slot));
        }
        return names;
    }();
    return columns;
}

std::string WatchListFaultText(const std::string& file, const WatchListFault& fault) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on ":" + std::to_string(...).
    std::string text = file;
    if (fault.line > 0) {
        text += ':';
        text += std::to_string(fault.line);
    }
    text += ": ";
    if (!fault.column.empty()) {
        text += fault.column;
        text += ": ";
    }
    text += fault.reason;
    return text;
}

namespace {

// Where a list's columns are: the known ones by name, the site's own in their order.
struct Columns {
    std::map<std::string, std::size_t> known; // column name: its position
    std::vector<std::size_t> extra;
};

// The header line read into `columns` (and the site's own columns' names into `list`), and the faults of
// the file as a whole.
std::vector<WatchListFault> ReadHeader(const CsvTable& table, Columns& columns, WatchList& list) {
    const CsvRecord& header = table.records.front();
    std::map<std::string, std::size_t>& known = columns.known;
    std::vector<WatchListFault> faults;
    const std::vector<std::string>& names = WatchListColumns();
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string column = Lowered(header.fields[i]);
        if (SlotOf(column) < 0) {
            faults.push_back(FileFault(WatchListProblem::SlotPastTen,
                                       "a watch has ten address slots, host1 to host10", header.line,
                                       header.fields[i]));
        } else if (std::find(names.begin(), names.end(), column) != names.end()) {
            if (!known.emplace(column, i).second) {
                faults.push_back(FileFault(WatchListProblem::ColumnTwice, "the column is there twice",
                                           header.line, header.fields[i]));
            }
        } else {
            columns.extra.push_back(i);
            list.extraColumns.push_back(Unguarded(header.fields[i]));
        }
    }
    for (const char* needed : {"name", "address"}) {
        if (!known.contains(needed)) {
            faults.push_back(
                FileFault(WatchListProblem::NoSuchColumn,
                          "the header line has no such column (name,address,freq,net,host1,...,host10)",
                          header.line, needed));
        }
    }
    if (known.contains("freq") != known.contains("net")) {
        faults.push_back(FileFault(WatchListProblem::ChannelColumns, "freq and net go together", header.line,
                                   known.contains("freq") ? "net" : "freq"));
    }
    if (table.records.size() - 1 > MAX_WATCHES) {
        faults.push_back(FileFault(WatchListProblem::TooManyWatches,
                                   Join({"more than ", std::to_string(MAX_WATCHES), " watches ("}) +
                                       std::to_string(table.records.size() - 1) + "): not one site's list",
                                   0, {}, std::to_string(table.records.size() - 1)));
    }
    return faults;
}

// One row of the list as it is written.
WatchEntry ReadEntry(const CsvRecord& record, const Columns& columns, char separator) {
    const auto cell = [&](const std::string& column) -> std::string {
        auto at = columns.known.find(column);
        return at != columns.known.end() && at->second < record.fields.size()
                   ? Unguarded(record.fields[at->second])
                   : "";
    };
    WatchEntry entry;
    entry.line = record.line;
    entry.name = cell("name");
    entry.address = cell("address");
    entry.freq = cell("freq");
    if (separator == ';' && std::count(entry.freq.begin(), entry.freq.end(), ',') == 1 &&
        entry.freq.find('.') == std::string::npos) {
        std::replace(entry.freq.begin(), entry.freq.end(), ',', '.'); // 434,00 from a European locale
    }
    entry.net = cell("net");
    for (int slot = 1; slot <= HOST_SLOTS; ++slot) {
        entry.hosts[static_cast<std::size_t>(slot - 1)] = cell(SlotColumn(slot));
    }
    for (std::size_t position : columns.extra) {
        entry.extra.push_back(position < record.fields.size() ? Unguarded(record.fields[position]) : "");
    }
    return entry;
}

} // namespace

std::variant<WatchList, std::vector<WatchListFault>> ParseWatchList(std::string_view text) {
    if (text.size() > MAX_WATCH_LIST_BYTES) {
        return std::vector{FileFault(WatchListProblem::TooLarge,
                                     Join({"larger than ", std::to_string(MAX_WATCH_LIST_BYTES / 1024)}) +
                                         " kB: not a watch list")};
    }
    if (text.find('\0') != std::string_view::npos || !Utf8ToUtf16(text)) {
        return std::vector{
            FileFault(WatchListProblem::NotText, "not UTF-8 text (save the sheet as \"CSV UTF-8\")")};
    }
    std::variant<CsvTable, std::string> read = ReadCsv(text);
    if (auto* reason = std::get_if<std::string>(&read)) {
        return std::vector{FileFault(WatchListProblem::QuoteNeverEnds, *reason)};
    }
    const CsvTable& table = std::get<CsvTable>(read);
    if (table.records.empty()) {
        return std::vector{FileFault(WatchListProblem::Empty,
                                     "empty: a header line name,address,freq,net,host1,...,host10 first")};
    }
    WatchList list;
    Columns columns;
    if (std::vector<WatchListFault> faults = ReadHeader(table, columns, list); !faults.empty()) {
        return faults;
    }
    for (std::size_t r = 1; r < table.records.size(); ++r) {
        const CsvRecord& record = table.records[r];
        if (std::all_of(record.fields.begin(), record.fields.end(),
                        [](const std::string& field) { return field.empty(); })) {
            continue; // ",,,," : a row a spreadsheet left with nothing in it
        }
        list.entries.push_back(ReadEntry(record, columns, table.separator));
    }
    return list;
}

std::variant<WatchList, std::vector<WatchListFault>> LoadWatchList(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::vector{
            FileFault(WatchListProblem::Unreadable, std::strerror(errno), 0, {}, std::strerror(errno))};
    }
    // One byte past the limit tells a file that is too large without reading all of it.
    std::string text(MAX_WATCH_LIST_BYTES + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (file.bad()) {
        return std::vector{
            FileFault(WatchListProblem::Unreadable, std::strerror(errno), 0, {}, std::strerror(errno))};
    }
    return ParseWatchList(text);
}

std::optional<WatchListProblem> CellProblem(std::string_view column, std::string_view value) {
    if (column == "name") {
        if (value.empty()) {
            return WatchListProblem::NoName;
        }
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
            return WatchListProblem::NameNotOneLine;
        }
        if (ReadsAsRecipient(value)) {
            return WatchListProblem::NameIsRecipient;
        }
    } else if (column == "address" || column.starts_with("host")) {
        if (value.empty()) {
            return column == "address" ? std::optional(WatchListProblem::NoAddress) : std::nullopt;
        }
        if (!ParseAddress(value)) {
            return WatchListProblem::BadAddress;
        }
    } else if (column == "freq") {
        if (!value.empty() && !ParseMegahertz(value)) {
            return WatchListProblem::BadFrequency;
        }
    } else if (column == "net") {
        if (!value.empty() && !ParseUnsigned(value, 0, 255)) {
            return WatchListProblem::BadNetwork;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CellFault(std::string_view column, std::string_view value) {
    if (std::optional<WatchListProblem> problem = CellProblem(column, value)) {
        return CellReason(*problem, value);
    }
    return std::nullopt;
}

namespace {

// Each row's cells, and a name given twice; the names with their rows, for the groups' check.
std::map<std::string, std::size_t> CheckRows(const WatchList& list, std::vector<WatchListFault>& faults) {
    std::map<std::string, std::size_t> names; // name: its row
    for (std::size_t r = 0; r < list.entries.size(); ++r) {
        const WatchEntry& entry = list.entries[r];
        const auto fault = [&](const std::string& column, WatchListProblem problem, std::string reason,
                               const std::string& value) {
            WatchListFault found;
            found.line = entry.line;
            found.row = static_cast<int>(r);
            found.column = column;
            found.reason = std::move(reason);
            found.problem = problem;
            found.value = value;
            faults.push_back(std::move(found));
            return &faults.back();
        };
        const std::vector<std::pair<std::string, const std::string*>> cells = {
            {"name", &entry.name}, {"address", &entry.address}, {"freq", &entry.freq}, {"net", &entry.net}};
        for (const auto& [column, value] : cells) {
            if (std::optional<WatchListProblem> problem = CellProblem(column, *value)) {
                fault(column, *problem, CellReason(*problem, *value), *value);
            }
        }
        for (int slot = 1; slot <= HOST_SLOTS; ++slot) {
            const std::string column = SlotColumn(slot);
            const std::string& value = entry.hosts[static_cast<std::size_t>(slot - 1)];
            if (std::optional<WatchListProblem> problem = CellProblem(column, value)) {
                fault(column, *problem, CellReason(*problem, value), value);
            }
        }
        if (entry.freq.empty() != entry.net.empty()) {
            fault(entry.freq.empty() ? "freq" : "net", WatchListProblem::ChannelHalf,
                  "freq and net go together: both, or both empty to leave the channel alone", "");
        }
        if (!entry.name.empty()) {
            auto [seen, added] = names.emplace(entry.name, r);
            if (!added) {
                const WatchEntry& first = list.entries[seen->second];
                WatchListFault* twice =
                    fault("name", WatchListProblem::NameTwice,
                          Join({"\"", entry.name, "\" is the name of ", first.line > 0 ? "line " : "row ",
                                std::to_string(first.line > 0 ? first.line : seen->second + 1)}) +
                              " too",
                          entry.name);
                twice->otherLine = first.line;
                twice->otherRow = static_cast<int>(seen->second);
            }
        }
    }
    return names;
}

// A fault of row `r`'s cell in `column`, whose value is `value`; its problem and reason are the caller's.
WatchListFault RowFault(const WatchList& list, std::size_t r, std::string column, std::string value) {
    WatchListFault fault;
    fault.line = list.entries[r].line;
    fault.row = static_cast<int>(r);
    fault.column = std::move(column);
    fault.value = std::move(value);
    return fault;
}

// The escalation policy of a watch's calls: one word, where a call reaches it.
void CheckEscalation(const WatchList& list, std::size_t r, const std::string& call,
                     std::vector<WatchListFault>& faults) {
    const WatchEntry& entry = list.entries[r];
    const std::string policy = EntryEscalation(list, entry);
    if (policy.empty()) {
        return;
    }
    WatchListFault found = RowFault(list, r, "escalate", policy);
    if (std::any_of(policy.begin(), policy.end(),
                    [](char c) { return c == ' ' || static_cast<unsigned char>(c) < 0x20; })) {
        found.problem = WatchListProblem::BadEscalation;
        found.reason = Join({"\"", policy, "\" is not the name of an escalation policy (one word)"});
        faults.push_back(std::move(found));
    } else if (call.empty()) {
        // Only a panel's calls take their policy from the list: elsewhere it would be silently unused.
        found.problem = WatchListProblem::EscalationWithoutCall;
        found.reason = "an escalation is only for a panel's calls: this watch has no call number";
        faults.push_back(std::move(found));
    }
}

// Each call number: digits, and one watch's.
void CheckCalls(const WatchList& list, std::vector<WatchListFault>& faults) {
    // A panel's call reaches one watch: a number given twice would page only the first.
    std::map<std::string, std::size_t> calls; // call number: its row
    for (std::size_t r = 0; r < list.entries.size(); ++r) {
        const WatchEntry& entry = list.entries[r];
        const std::string call = EntryCall(list, entry);
        CheckEscalation(list, r, call, faults);
        if (call.empty()) {
            continue;
        }
        WatchListFault found = RowFault(list, r, "call", call);
        if (call.size() > MAX_CALL_DIGITS || call.find_first_not_of("0123456789") != std::string::npos) {
            found.problem = WatchListProblem::BadCall;
            found.reason = Join({"\"", call, "\" is not a call number (1 to 16 digits)"});
            faults.push_back(std::move(found));
            continue;
        }
        auto [seen, added] = calls.emplace(CallKey(call), r);
        if (!added) {
            const WatchEntry& first = list.entries[seen->second];
            found.problem = WatchListProblem::CallTwice;
            found.reason = Join({"the call number ", call, " is that of ", first.line > 0 ? "line " : "row ",
                                 std::to_string(first.line > 0 ? first.line : seen->second + 1)}) +
                           " too";
            found.otherLine = first.line;
            found.otherRow = static_cast<int>(seen->second);
            faults.push_back(std::move(found));
        }
    }
}

// Each group's name.
void CheckGroups(const WatchList& list, const std::map<std::string, std::size_t>& names,
                 std::vector<WatchListFault>& faults) {
    // A page to a group goes to each member: a group that reads as a watch or an address would take that
    // page away from it.
    for (std::size_t r = 0; r < list.entries.size(); ++r) {
        const WatchEntry& entry = list.entries[r];
        for (const std::string& group : EntryGroups(list, entry)) {
            if (names.contains(group) || ReadsAsRecipient(group)) {
                WatchListFault found;
                found.line = entry.line;
                found.row = static_cast<int>(r);
                found.column = "groups";
                found.reason =
                    Join({"the group \"", group,
                          "\" is named like a watch, an address, a number or all: a page to it would "
                          "not reach its members"});
                found.problem = WatchListProblem::GroupNamedLikeRecipient;
                found.value = group;
                faults.push_back(std::move(found));
            }
        }
    }
}

} // namespace

std::vector<WatchListFault> CheckWatchList(const WatchList& list) {
    std::vector<WatchListFault> faults;
    if (list.entries.empty()) {
        faults.push_back(FileFault(WatchListProblem::NoWatches, "no watches in the list"));
    }
    if (list.entries.size() > MAX_WATCHES) {
        faults.push_back(FileFault(WatchListProblem::TooManyWatches,
                                   Join({"more than ", std::to_string(MAX_WATCHES), " watches"}), 0, {},
                                   std::to_string(list.entries.size())));
    }
    const std::map<std::string, std::size_t> names = CheckRows(list, faults);
    CheckCalls(list, faults);
    CheckGroups(list, names, faults);
    return faults;
}

namespace {

// The cell of the optional column `name`, without the blanks around it; "" without the column.
std::string ExtraCell(const WatchList& list, const WatchEntry& entry, std::string_view name) {
    const auto column = std::find(list.extraColumns.begin(), list.extraColumns.end(), name);
    const auto index = static_cast<std::size_t>(column - list.extraColumns.begin());
    if (column == list.extraColumns.end() || index >= entry.extra.size()) {
        return {};
    }
    std::string_view cell = entry.extra[index];
    while (!cell.empty() && (cell.front() == ' ' || cell.front() == '\t')) {
        cell.remove_prefix(1);
    }
    while (!cell.empty() && (cell.back() == ' ' || cell.back() == '\t')) {
        cell.remove_suffix(1);
    }
    return std::string(cell);
}

} // namespace

std::string EntryCall(const WatchList& list, const WatchEntry& entry) {
    return ExtraCell(list, entry, "call");
}

std::string EntryEscalation(const WatchList& list, const WatchEntry& entry) {
    return ExtraCell(list, entry, "escalate");
}

std::string CallKey(std::string_view call) {
    const std::size_t first = call.find_first_not_of('0');
    if (first == std::string_view::npos) {
        return call.empty() ? std::string() : std::string("0");
    }
    return std::string(call.substr(first));
}

std::vector<std::string> EntryGroups(const WatchList& list, const WatchEntry& entry) {
    std::vector<std::string> groups;
    const auto column = std::find(list.extraColumns.begin(), list.extraColumns.end(), "groups");
    const auto index = static_cast<std::size_t>(column - list.extraColumns.begin());
    if (column == list.extraColumns.end() || index >= entry.extra.size()) {
        return groups;
    }
    std::string_view cell = entry.extra[index];
    while (!cell.empty()) {
        const std::size_t end = std::min(cell.find(';'), cell.size());
        std::string_view group = cell.substr(0, end);
        while (!group.empty() && (group.front() == ' ' || group.front() == '\t')) {
            group.remove_prefix(1);
        }
        while (!group.empty() && (group.back() == ' ' || group.back() == '\t')) {
            group.remove_suffix(1);
        }
        if (!group.empty() && std::find(groups.begin(), groups.end(), group) == groups.end()) {
            groups.emplace_back(group);
        }
        cell.remove_prefix(std::min(end + 1, cell.size()));
    }
    return groups;
}

std::string SaveWatchList(const WatchList& list) {
    std::string text = "\xEF\xBB\xBF";
    const auto line = [&text](const std::vector<std::string>& fields) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) {
                text += ',';
            }
            text += CsvField(Guarded(fields[i]));
        }
        text += "\r\n";
    };
    std::vector<std::string> header = WatchListColumns();
    header.insert(header.end(), list.extraColumns.begin(), list.extraColumns.end());
    line(header);
    for (const WatchEntry& entry : list.entries) {
        std::vector<std::string> fields = {entry.name, entry.address, entry.freq, entry.net};
        fields.insert(fields.end(), entry.hosts.begin(), entry.hosts.end());
        for (std::size_t i = 0; i < list.extraColumns.size(); ++i) {
            fields.push_back(i < entry.extra.size() ? entry.extra[i] : "");
        }
        line(fields);
    }
    return text;
}

std::vector<WatchFrame> EntryFrames(const WatchEntry& entry, const std::function<uint8_t()>& nextSequence) {
    std::vector<WatchFrame> frames;
    const WatchAddress watch = ParseAddress(entry.address).value_or(WatchAddress{});
    if (!entry.freq.empty() && !entry.net.empty()) {
        const Channel channel = ChannelFromText(*Utf8ToUtf16(entry.freq), *Utf8ToUtf16(entry.net));
        frames.push_back(WatchFrame{"channel", 0, BuildChannelFrame(nextSequence(), watch, channel)});
    }
    for (int slot = 1; slot <= HOST_SLOTS; ++slot) {
        const std::string& host = entry.hosts[static_cast<std::size_t>(slot - 1)];
        if (host.empty()) {
            continue;
        }
        const WatchAddress address = ParseAddress(host).value_or(WatchAddress{});
        frames.push_back(WatchFrame{"host-address", slot,
                                    BuildHostAddressFrame(nextSequence(), watch, address, slot - 1)});
    }
    return frames;
}

std::size_t FrameCount(const WatchList& list) {
    std::size_t count = 0;
    for (const WatchEntry& entry : list.entries) {
        count += EntryFrames(entry, [] { return uint8_t{0}; }).size();
    }
    return count;
}

} // namespace velkor
