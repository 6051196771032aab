#pragma once
// A page's details as the queue keeps them: in words for people ("beep coding 3; call type 1"), and as a
// list of stable names and values that programs say in their own language.

#include "gateway/queue/page_types.h"

#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

// "beep coding 3; call type 1".
std::string DetailsText(const std::vector<Detail>& details);
// The list as one column, and read back (a field that does not read is left out).
std::string DetailListText(const std::vector<Detail>& details);
std::vector<Detail> ParseDetailList(std::string_view text);

} // namespace velkor::gateway
