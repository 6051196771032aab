#pragma once
// What the site's console needs besides the API: the site's quick texts and which characters the watches
// can show (for the live byte count in the browser).
//
// Threads: any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

// A site's usual text, paged with one touch: its button's label, the text, and whom it goes to ("" leaves
// the recipients to the person).
struct QuickText {
    std::string label;
    std::string text;
    std::string to;
};

// A CSV file of label,text[,to] (a header line label,text,to is skipped); every text checked as a page's
// text is. nullopt with every fault ("FILE:LINE: reason", one a line) in `error`.
std::optional<std::vector<QuickText>> ParseQuickTexts(std::string_view csv, const std::string& file,
                                                      std::string* error);
std::optional<std::vector<QuickText>> LoadQuickTexts(const std::string& path, std::string* error);

// 8 192 bytes: bit (c % 8) of byte (c / 8) is set when the character U+c (of the Basic Multilingual Plane)
// is one GBK has; ASCII counts one byte on a watch, every other such character two, and the rest are sent
// as "?".
const std::string& GbkCharacterMap();

// Where the console's files are: `given` when set; else beside the program in the build tree; else the
// installed copy. "" when none is there.
std::string ConsoleFolder(const std::string& given, const std::string& program);

} // namespace velkor::gateway
