#include "gateway/intake/quick_texts.h"

#include "frames/csv.h"
#include "frames/strict_text.h"
#include "frames/text_encoding.h"
#include "gateway/intake/page_text.h"

#include <fstream>
#include <sstream>

namespace velkor::gateway {
namespace {

constexpr std::size_t MAX_QUICK_TEXTS = 200;
constexpr std::size_t MAX_FILE_BYTES = 256 * 1024;

} // namespace

std::optional<std::vector<QuickText>> ParseQuickTexts(std::string_view csv, const std::string& file,
                                                      std::string* error) {
    std::variant<CsvTable, std::string> read = ReadCsv(csv);
    if (auto* reason = std::get_if<std::string>(&read)) {
        *error = file + ": " + *reason;
        return std::nullopt;
    }
    std::vector<QuickText> texts;
    std::vector<std::string> faults;
    const auto fault = [&](std::size_t line, const std::string& reason) {
        faults.push_back(file + ":" + std::to_string(line) + ": " + reason);
    };
    for (const CsvRecord& record : std::get<CsvTable>(read).records) {
        const std::vector<std::string>& fields = record.fields;
        if (texts.empty() && faults.empty() && fields.size() >= 2 && fields[0] == "label" &&
            fields[1] == "text") {
            continue; // the header line
        }
        if (fields.size() < 2 || fields.size() > 3) {
            fault(record.line, "label,text or label,text,to");
            continue;
        }
        if (fields[0].empty()) {
            fault(record.line, "a label is needed");
            continue;
        }
        std::variant<PageText, std::string> text = CheckPageText(fields[1], Charset::Utf8);
        if (auto* reason = std::get_if<std::string>(&text)) {
            fault(record.line, "text: " + *reason);
            continue;
        }
        texts.push_back(QuickText{fields[0], fields[1], fields.size() == 3 ? fields[2] : ""});
    }
    if (texts.size() > MAX_QUICK_TEXTS) {
        faults.push_back(file + ": more than " + std::to_string(MAX_QUICK_TEXTS) + " quick texts");
    }
    if (texts.empty() && faults.empty()) {
        faults.push_back(file + ": no quick texts in it (label,text[,to] a line)");
    }
    if (!faults.empty()) {
        *error = JoinLines(faults);
        return std::nullopt;
    }
    return texts;
}

std::optional<std::vector<QuickText>> LoadQuickTexts(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().size() > MAX_FILE_BYTES) {
        *error =
            path + ": larger than " + std::to_string(MAX_FILE_BYTES / 1024) + " kB: not a quick texts file";
        return std::nullopt;
    }
    return ParseQuickTexts(text.str(), path, error);
}

} // namespace velkor::gateway
