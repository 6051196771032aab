#include "espa.h"

#include <algorithm>
#include <array>

namespace velkor::espa {

uint8_t BlockCheck(std::string_view bytes) {
    uint8_t check = 0;
    for (char byte : bytes) {
        check ^= static_cast<uint8_t>(byte);
    }
    return check;
}

std::string BuildBlock(char header, const std::vector<Record>& records) {
    std::string checked;
    checked += header;
    checked += static_cast<char>(STX);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) {
            checked += static_cast<char>(RS);
        }
        checked += records[i].id;
        checked += static_cast<char>(US);
        checked += records[i].value;
    }
    checked += static_cast<char>(ETX);
    std::string block(1, static_cast<char>(SOH));
    block += checked;
    block += static_cast<char>(BlockCheck(checked));
    return block;
}

std::optional<std::vector<Record>> ParseRecords(std::string_view text) {
    std::vector<Record> records;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(static_cast<char>(RS)), text.size());
        std::string_view piece = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t separator = piece.find(static_cast<char>(US));
        std::string_view id = piece.substr(0, separator);
        while (!id.empty() && id.front() == ' ') {
            id.remove_prefix(1);
        }
        while (!id.empty() && id.back() == ' ') {
            id.remove_suffix(1);
        }
        if (id.empty() && separator == std::string_view::npos) {
            continue; // RS RS, or the RS some panels put before ETX
        }
        if (id.size() != 1 || id.front() < '0' || id.front() > '9') {
            return std::nullopt;
        }
        Record record;
        record.id = id.front();
        if (separator != std::string_view::npos) {
            record.value = std::string(piece.substr(separator + 1));
        }
        records.push_back(std::move(record));
    }
    return records;
}

const std::string* FindRecord(const std::vector<Record>& records, char id) {
    const std::string* found = nullptr;
    for (const Record& record : records) {
        if (record.id == id) {
            found = &record.value;
        }
    }
    return found;
}

std::string RecordName(char id) {
    switch (id) {
    case CALL_ADDRESS:
        return "call address";
    case DISPLAY_MESSAGE:
        return "display message";
    case BEEP_CODING:
        return "beep coding";
    case CALL_TYPE:
        return "call type";
    case TRANSMISSIONS:
        return "transmissions";
    case PRIORITY:
        return "priority";
    case CALL_STATUS:
        return "call status";
    case PAGER_STATUS:
        return "pager status";
    default:
        std::string name = "record ";
        name += id;
        return name;
    }
}

std::string RecordCode(char id) {
    std::string code = RecordName(id);
    for (char& c : code) {
        c = c == ' ' ? '_' : c;
    }
    return code;
}

std::string Readable(std::string_view bytes) {
    static const std::array<const char*, 32> names = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                                      "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                                      "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                                      "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x20) {
            text += '<';
            text += names[byte];
            text += '>';
        } else if (byte >= 0x7F) {
            text += "<";
            text += hex[byte >> 4];
            text += hex[byte & 0x0F];
            text += ">";
        } else {
            text += c;
        }
    }
    return text;
}

} // namespace velkor::espa
