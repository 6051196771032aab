#pragma once
// A site's watch list: one line a watch with its channel and its ten host address slots, read from the CSV
// file a spreadsheet saves (name,address,freq,net,host1,...,host10; columns in any order, others kept and
// ignored), checked whole before anything is sent, and turned into the frames the wireless page sends.

#include "command_frame.h"
#include "watch_commands.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor {

inline constexpr int HOST_SLOTS = 10;
// A site has 20 to 200 watches; a list far longer is a wrong file.
inline constexpr std::size_t MAX_WATCHES = 1000;
inline constexpr std::size_t MAX_WATCH_LIST_BYTES = 1024 * 1024;

// One watch as written: the texts of its cells, checked by CheckWatchList.
struct WatchEntry {
    std::size_t line = 0; // in the file; 0 for a row added by hand
    std::string name;
    std::string address;
    std::string freq; // MHz, with net, or both empty: the channel is left alone
    std::string net;
    std::array<std::string, HOST_SLOTS> hosts; // empty: that slot is left alone
    std::vector<std::string> extra;            // the values of the list's other columns
};

struct WatchList {
    std::vector<std::string> extraColumns; // other columns, kept in their order
    std::vector<WatchEntry> entries;
};

// What is wrong, so that each program can say it in its own words.
enum class WatchListProblem {
    Unreadable,     // the file: its reason from the system is `value`
    TooLarge,       // over MAX_WATCH_LIST_BYTES
    NotText,        // not UTF-8, or a NUL in it
    Empty,          // no header line
    QuoteNeverEnds, // from line `line`
    NoSuchColumn,   // name or address missing from the header
    ColumnTwice,
    SlotPastTen,    // host11 and on
    ChannelColumns, // a freq column without net, or the other way round
    TooManyWatches, // over MAX_WATCHES; `value` is the count
    NoWatches,
    NoName,
    NameNotOneLine,
    NameTwice,       // `value` is the name; `otherLine` (or `otherRow`) where it is first
    NameIsRecipient, // the name reads as an address, a number or "all": a page to it would not reach it
    GroupNamedLikeRecipient, // a group (`value`) named like a watch, an address, a number or "all"
    BadCall,                 // the "call" cell (`value`) is not a call number: 1 to 16 digits
    CallTwice,               // `value` is the call number; `otherLine` (or `otherRow`) where it is first
    BadEscalation,           // the "escalate" cell (`value`) is not a policy's name: one word
    EscalationWithoutCall,   // an "escalate" cell on a watch no call number reaches
    NoAddress,
    BadAddress, // `value` is the cell
    BadFrequency,
    BadNetwork,
    ChannelHalf, // freq without net, or net without freq
};

// What is wrong, and where: "FILE:LINE: column: reason". Line 0 is the file as a whole; `row` counts the
// entries from 0 (-1 for the file as a whole). `reason` is in English, for velkor-cli.
struct WatchListFault {
    std::size_t line = 0;
    int row = -1;
    std::string column;
    std::string reason;
    WatchListProblem problem = WatchListProblem::Unreadable;
    std::string value;
    std::size_t otherLine = 0;
    int otherRow = -1;
};

// "FILE:LINE: column: reason", as compilers and linters say it, so that editors can jump to the line.
std::string WatchListFaultText(const std::string& file, const WatchListFault& fault);

// The column names, in the order a saved list has them.
const std::vector<std::string>& WatchListColumns();

// The list in `text`, or what keeps it from being read (not text, no header, a column missing or doubled,
// too many rows). Cell values are not checked here. Rows of separators alone (what a spreadsheet leaves
// below a list) are skipped; in a list separated by semicolons a frequency may have a decimal comma.
std::variant<WatchList, std::vector<WatchListFault>> ParseWatchList(std::string_view text);
// The same from a file; a file that cannot be read, or is too large, says so.
std::variant<WatchList, std::vector<WatchListFault>> LoadWatchList(const std::string& path);

// Why `value` cannot be in `column` ("name", "address", "freq", "net", "host1".."host10"), alone; nullopt
// when it can.
std::optional<WatchListProblem> CellProblem(std::string_view column, std::string_view value);
// The same in words.
std::optional<std::string> CellFault(std::string_view column, std::string_view value);
// Every fault of the list: each cell, a freq without a net (or the other way), a name given twice, an
// empty list.
std::vector<WatchListFault> CheckWatchList(const WatchList& list);

// The list as a CSV file (comma-separated, UTF-8 with a byte-order mark, CRLF) with the columns of
// WatchListColumns and then the others. A cell that starts with = + - or @ is written after a ' so that a
// spreadsheet shows it instead of running it as a formula; ParseWatchList reads it back without the '.
std::string SaveWatchList(const WatchList& list);

// One frame of an entry: its kind ("channel" or "host-address"), the slot (1-10, 0 for the channel) and
// its bytes.
struct WatchFrame {
    std::string kind;
    int slot = 0;
    std::vector<uint8_t> bytes;
};
// The frames of a checked entry, in order: the channel (when given), then each slot with an address, each
// numbered by `nextSequence` as it is built. Values are read by the wireless page's own rules, so the bytes
// are those of its buttons.
std::vector<WatchFrame> EntryFrames(const WatchEntry& entry, const std::function<uint8_t()>& nextSequence);
// The groups an entry belongs to: its cell in the optional "groups" column, names split at ';' ("kitchen;
// floor-2"), blanks around them dropped; none when the list has no such column.
std::vector<std::string> EntryGroups(const WatchList& list, const WatchEntry& entry);

// The call number a nurse-call or alarm panel pages this watch by: its cell in the optional "call" column,
// blanks around it dropped; "" for none. Compare them through CallKey.
std::string EntryCall(const WatchList& list, const WatchEntry& entry);
// The escalation policy of the panel's calls to this watch: its cell in the optional "escalate" column,
// blanks around it dropped; "" for none.
std::string EntryEscalation(const WatchList& list, const WatchEntry& entry);
// A call number as it is matched: without leading zeros ("0550" and "550" are one number), "0" for zeros.
std::string CallKey(std::string_view call);
inline constexpr std::size_t MAX_CALL_DIGITS = 16;

// The frames of the whole list, counted without numbering any.
std::size_t FrameCount(const WatchList& list);

} // namespace velkor
