#include "csv.h"

namespace velkor {
namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && Blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && Blank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// The first comma or semicolon outside quotes on the first line; a comma when there is neither.
char Separator(std::string_view text) {
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ',' || c == ';')) {
            return c;
        } else if (!quoted && (c == '\n' || c == '\r')) {
            break;
        }
    }
    return ',';
}

} // namespace

std::variant<CsvTable, std::string> ReadCsv(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    CsvTable table;
    table.separator = Separator(text);
    CsvRecord record{1, {}};
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    std::size_t line = 1;
    const auto endField = [&] {
        record.fields.push_back(wasQuoted ? field : Trimmed(field));
        field.clear();
        wasQuoted = false;
    };
    const auto endRecord = [&] {
        endField();
        const bool blank = record.fields.size() == 1 && record.fields[0].empty();
        if (!blank) {
            table.records.push_back(std::move(record));
        }
        record = CsvRecord{line, {}};
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                line += c == '\n' ? 1 : 0;
                field += c;
            }
        } else if (c == '"' && Trimmed(field).empty() && !wasQuoted) {
            quoted = true;
            wasQuoted = true;
            field.clear();
        } else if (c == table.separator) {
            endField();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            ++line;
            endRecord();
        } else if (!(wasQuoted && Blank(c))) {
            field += c;
        }
    }
    if (quoted) {
        std::string reason = std::to_string(record.line);
        reason.insert(0, "line "); // not "line " + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that
        return reason + ": a quoted field never ends";
    }
    endRecord();
    return table;
}

std::string CsvField(std::string_view value, char separator) {
    const bool quote = value.find_first_of(std::string("\"\r\n") + separator) != std::string_view::npos ||
                       (!value.empty() && (Blank(value.front()) || Blank(value.back())));
    if (!quote) {
        return std::string(value);
    }
    std::string field = "\"";
    for (char c : value) {
        field += c;
        if (c == '"') {
            field += '"';
        }
    }
    return field + "\"";
}

} // namespace velkor
