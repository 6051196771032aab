#include "gateway/queue/page_details.h"

namespace velkor::gateway {

namespace {

// The ASCII unit and record separators: a detail's values come readable (control bytes spelled out), so
// neither is ever in one.
constexpr char UNIT = '\x1f';
constexpr char RECORD = '\x1e';

} // namespace

std::string DetailsText(const std::vector<Detail>& details) {
    std::string text;
    for (const Detail& detail : details) {
        if (!text.empty()) {
            text += "; ";
        }
        text += detail.words;
        text += ' ';
        text += detail.value;
    }
    return text;
}

std::string DetailListText(const std::vector<Detail>& details) {
    std::string text;
    for (const Detail& detail : details) {
        text += detail.name;
        text += UNIT;
        text += detail.words;
        text += UNIT;
        text += detail.value;
        text += RECORD;
    }
    return text;
}

std::vector<Detail> ParseDetailList(std::string_view text) {
    std::vector<Detail> details;
    while (!text.empty()) {
        const std::size_t end = text.find(RECORD);
        std::string_view record = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::size_t first = record.find(UNIT);
        const std::size_t second = first == std::string_view::npos ? first : record.find(UNIT, first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        details.push_back(Detail{std::string(record.substr(0, first)),
                                 std::string(record.substr(first + 1, second - first - 1)),
                                 std::string(record.substr(second + 1))});
    }
    return details;
}

} // namespace velkor::gateway
