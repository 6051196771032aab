#pragma once
// The site's quick texts: its usual pages, each a button of the console, and what a panel's call may page.
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

} // namespace velkor::gateway
