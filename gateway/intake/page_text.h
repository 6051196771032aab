#pragma once
// The text of a page as a listener receives it, checked and converted as the text page converts it,
// before anything is queued.

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velkor::gateway {

// The character set a listener reads page texts in: UTF-8, or GBK bytes for panels that send them.
enum class Charset { Utf8, Gbk };
const char* CharsetName(Charset charset); // "utf-8", "gbk"

struct PageText {
    std::string utf8;                 // the text, for the record and the log
    std::string gbk;                  // the bytes the watch gets: at most 84, whole characters only
    std::vector<std::string> missing; // characters GBK lacks, sent as "?" ("😀 (U+1F600)")
};

// `bytes` checked and converted. A refusal's reason names the fault and, for a long text, the byte count:
// empty; not valid in `charset`; a control character other than a line break; more than 84 bytes in GBK.
// Throws TextConversionError when the conversion cannot run at all.
std::variant<PageText, std::string> CheckPageText(std::string_view bytes, Charset charset);

// `text` as a page's text: control characters other than line breaks as spaces, and cut on a whole
// character with "…" when it is longer than the watches show.
std::string FitPageText(std::string_view text);

} // namespace velkor::gateway
