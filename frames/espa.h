#pragma once
// The block of the serial protocol nurse-call and alarm panels speak to paging equipment (ISO 1745 basic
// mode, 7-bit text): SOH header STX records ETX BCC, records "id US value" separated by RS, and the block
// check character, the XOR of every byte after SOH up to and including ETX.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::espa {

inline constexpr uint8_t SOH = 0x01;
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t EOT = 0x04;
inline constexpr uint8_t ENQ = 0x05;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;
inline constexpr uint8_t RS = 0x1E;
inline constexpr uint8_t US = 0x1F;

// The headers of a block.
inline constexpr char CALL_TO_PAGER = '1';
inline constexpr char STATUS_INFORMATION = '2';

// The records of a call.
inline constexpr char CALL_ADDRESS = '1';
inline constexpr char DISPLAY_MESSAGE = '2';
inline constexpr char BEEP_CODING = '3';
inline constexpr char CALL_TYPE = '4';
inline constexpr char TRANSMISSIONS = '5';
inline constexpr char PRIORITY = '6';
inline constexpr char CALL_STATUS = '7';
inline constexpr char PAGER_STATUS = '8';

struct Record {
    char id = 0;
    std::string value;
};

// The XOR of `bytes`: what follows ETX, given everything after SOH up to and including ETX.
uint8_t BlockCheck(std::string_view bytes);

// SOH header STX records ETX BCC.
std::string BuildBlock(char header, const std::vector<Record>& records);

// The records of a block's text (between STX and ETX). Lenient, as panels differ: an RS before ETX, blanks
// around an id, and a record without US (its value empty) are taken; an empty piece is skipped. nullopt
// for a record whose id is not one digit.
std::optional<std::vector<Record>> ParseRecords(std::string_view text);

// The value of record `id`, nullptr when the block has none (the last one given wins).
const std::string* FindRecord(const std::vector<Record>& records, char id);

// What a record is called, for logs and the page's record ("beep coding"); "record N" past 8.
std::string RecordName(char id);
// The same as a stable word, for programs that say it in their own language: "beep_coding", "record_9".
std::string RecordCode(char id);

// The bytes as a person reads them on a line monitor: "<EOT>2<ENQ>", printable bytes as they are.
std::string Readable(std::string_view bytes);

} // namespace velkor::espa
