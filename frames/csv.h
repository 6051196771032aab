#pragma once
// CSV as spreadsheet programs save it (RFC 4180): fields split at the separator, quoted fields may hold the
// separator, doubled quotes and line breaks; CRLF and LF both end a record; a UTF-8 byte-order mark is
// skipped. The separator is a comma, or a semicolon (what spreadsheets of a Chinese or European locale
// write), told by the first of the two outside quotes on the header line.

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor {

struct CsvRecord {
    std::size_t line = 0; // the line it starts on
    std::vector<std::string> fields;
};

struct CsvTable {
    char separator = ',';
    std::vector<CsvRecord> records; // blank lines left out
};

// The records of `text`, or the reason it cannot be read ("line 4: a quoted field never ends").
// Unquoted fields lose the blanks around them.
std::variant<CsvTable, std::string> ReadCsv(std::string_view text);

// `value` as a field: quoted when it holds the separator, a quote, a line break or outer blanks.
std::string CsvField(std::string_view value, char separator = ',');

} // namespace velkor
