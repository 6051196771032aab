#include "gateway/hooks/hooks_file.h"

#include "frames/strict_text.h"

#include <fstream>
#include <sstream>

namespace velkor::gateway {
namespace {

constexpr std::size_t MAX_HOOKS_FILE = 64 * 1024;

bool ValidPointer(const std::string& pointer) {
    try {
        [[maybe_unused]] const Json::json_pointer parsed(pointer);
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

// `value` as a template; the reason it is not one ("{" without "}", a pointer that is not one).
std::variant<Template, std::string> ReadTemplate(std::string_view value) {
    Template result;
    std::string literal;
    for (std::size_t at = 0; at < value.size();) {
        if (value[at] != '{') {
            literal += value[at++];
            continue;
        }
        const std::size_t close = value.find('}', at);
        if (close == std::string_view::npos) {
            return std::string("a { without its }");
        }
        std::string pointer(value.substr(at + 1, close - at - 1));
        if (!pointer.starts_with('/') || !ValidPointer(pointer)) {
            return "{" + pointer + "} is not a JSON Pointer (/field/sub-field, ~0 for ~, ~1 for /)";
        }
        if (!literal.empty()) {
            result.pieces.push_back({std::move(literal), {}});
            literal.clear();
        }
        result.pieces.push_back({{}, std::move(pointer)});
        at = close + 1;
    }
    if (!literal.empty()) {
        result.pieces.push_back({std::move(literal), {}});
    }
    return result;
}

// The text of the field at `pointer`: a string as it is, a number or true/false as JSON writes it.
std::string FieldText(const Json& body, const std::string& pointer) {
    const Json::json_pointer path(pointer);
    const Json* found = nullptr;
    try {
        // On an array a token that is no index throws instead of answering "not there".
        found = body.contains(path) ? &body.at(path) : nullptr;
    } catch (const Json::exception&) {
        found = nullptr;
    }
    if (found == nullptr) {
        throw PageRefusal{422,
                          "{" + pointer + "}: the body has no such field" +
                              std::string(body.is_array() ? " (the body is an array: /0, /1...)" : ""),
                          "template_field_missing"};
    }
    const Json& field = *found;
    if (field.is_string()) {
        return field.get<std::string>();
    }
    if (field.is_number() || field.is_boolean()) {
        return field.dump();
    }
    throw PageRefusal{
        422,
        "{" + pointer + "}: the field is " +
            (field.is_null() ? std::string("null") : std::string("not text but ") + field.type_name()) +
            ", not text",
        "template_field_not_text"};
}

std::string Fill(const Template& text, const Json& body) {
    std::string out;
    for (const Template::Piece& piece : text.pieces) {
        out += piece.pointer.empty() ? piece.text : FieldText(body, piece.pointer);
    }
    return out;
}

// Why `name` cannot be a hook's ("" when it can); `taken` when the file has it already.
std::string NameFault(const std::string& name, bool taken) {
    if (name.empty() ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string::npos) {
        return "a hook's name is lower-case letters, digits, - and _ (it is part of the address)";
    }
    if (name == "alertmanager") {
        return "[alertmanager] is Alertmanager's own hook";
    }
    return taken ? "[" + name + "] is given twice" : std::string();
}

// "when {/pointer} = value" (or !=) after `lead` ("high " for a priority, "" for a resolution).
std::optional<Condition> ReadCondition(const std::string& value, const std::string& lead) {
    const std::string prefix = lead + "when {";
    const std::size_t close = value.find('}');
    const std::size_t op = close == std::string::npos ? std::string::npos : value.find('=', close);
    if (!value.starts_with(prefix) || close == std::string::npos || op == std::string::npos) {
        return std::nullopt;
    }
    const std::string pointer = value.substr(prefix.size(), close - prefix.size());
    const std::string_view between = TrimBlanks(std::string_view(value).substr(close + 1, op - close - 1));
    if (!pointer.starts_with('/') || !ValidPointer(pointer) || (!between.empty() && between != "!")) {
        return std::nullopt;
    }
    return Condition{pointer, std::string(TrimBlanks(std::string_view(value).substr(op + 1))),
                     between.empty()};
}

// priority = high, normal, or "high when {/pointer} = value" (or !=) into `hook`; false when it is none.
bool ReadHookPriority(const std::string& value, Hook& hook) {
    if (value == "high" || value == "normal") {
        hook.priority = value == "high" ? Priority::High : Priority::Normal;
        return true;
    }
    hook.highWhen = ReadCondition(value, "high ");
    return hook.highWhen.has_value();
}

// The keys of a page that must be answered: key, resolve, answer, repeat, escalate; the fault, or "".
std::string ReadAnswerSetting(const std::string& key, const std::string& value, Hook& hook) {
    if (key == "resolve") {
        hook.resolveWhen = ReadCondition(value, "");
        return hook.resolveWhen ? "" : "resolve is when {/field} = value (or !=)";
    }
    if (key == "answer") {
        if (value != "yes" && value != "no") {
            return "answer is yes or no";
        }
        hook.answer = value == "yes";
        return "";
    }
    if (key == "repeat") {
        const int every = std::atoi(value.c_str());
        if (std::to_string(every) != value ||
            std::find(std::begin(REPEAT_INTERVALS), std::end(REPEAT_INTERVALS), every) ==
                std::end(REPEAT_INTERVALS)) {
            return "repeat is 5, 10, 20, 30 or 60 (seconds, until the page is answered)";
        }
        hook.repeatEvery = every;
        return "";
    }
    if (key == "escalate") {
        hook.escalate = value;
        return "";
    }
    std::variant<Template, std::string> read = ReadTemplate(value);
    if (auto* reason = std::get_if<std::string>(&read)) {
        return key + ": " + *reason;
    }
    hook.key = std::get<Template>(std::move(read));
    return "";
}

// What a hook lacks at its end, a reason each.
std::vector<std::string> Unfinished(const Hook& hook) {
    std::vector<std::string> reasons;
    if (hook.to.pieces.empty() || hook.text.pieces.empty()) {
        reasons.push_back("[" + hook.name + "] needs both to = ... and text = ...");
    }
    if ((hook.resolveWhen || hook.repeatEvery > 0) && !hook.key) {
        reasons.push_back("[" + hook.name + "] needs key = ... to tie a resolution to its page");
    }
    return reasons;
}

bool KnownKey(const std::string& key) {
    for (const char* known : {"to", "text", "priority", "key", "resolve", "answer", "repeat", "escalate"}) {
        if (key == known) {
            return true;
        }
    }
    return false;
}

// A hook's to, text or priority into `hook`; the fault, or "".
std::string ReadSetting(const std::string& key, const std::string& value, Hook& hook) {
    if (value.empty()) {
        return key + " is empty";
    }
    if (key == "priority") {
        return ReadHookPriority(value, hook)
                   ? ""
                   : "priority is high, normal, or high when {/field} = value (or !=)";
    }
    if (key != "to" && key != "text") {
        return ReadAnswerSetting(key, value, hook);
    }
    std::variant<Template, std::string> read = ReadTemplate(value);
    if (auto* reason = std::get_if<std::string>(&read)) {
        return key + ": " + *reason;
    }
    (key == "to" ? hook.to : hook.text) = std::get<Template>(std::move(read));
    return "";
}

} // namespace

std::optional<Hooks> Hooks::Parse(std::string_view text, const std::string& file, std::string* error) {
    Hooks hooks;
    std::vector<std::string> faults;
    std::istringstream lines{std::string(text)};
    std::string line;
    std::size_t number = 0;
    Hook* current = nullptr;
    std::size_t currentLine = 0;
    std::map<std::string, bool> seen;
    const auto fault = [&](std::size_t where, const std::string& reason) {
        faults.push_back(file + ":" + std::to_string(where) + ": " + reason);
    };
    const auto finish = [&] {
        for (const std::string& reason : current ? Unfinished(*current) : std::vector<std::string>{}) {
            fault(currentLine, reason);
        }
    };
    while (std::getline(lines, line)) {
        ++number;
        const std::string trimmed = std::string(TrimBlanks(line));
        if (trimmed.empty() || trimmed.starts_with('#') || trimmed.starts_with(';')) {
            continue;
        }
        if (trimmed.starts_with('[')) {
            finish();
            current = nullptr;
            if (!trimmed.ends_with(']')) {
                fault(number, "a section is [name]");
                continue;
            }
            const std::string name =
                std::string(TrimBlanks(std::string_view(trimmed).substr(1, trimmed.size() - 2)));
            if (const std::string reason = NameFault(name, hooks.m_hooks.contains(name)); !reason.empty()) {
                fault(number, reason);
                continue;
            }
            current = &hooks.m_hooks[name];
            current->name = name;
            currentLine = number;
            seen.clear();
            continue;
        }
        const std::size_t equals = trimmed.find('=');
        if (equals == std::string::npos) {
            fault(number, "a line is [name], key = value, or a # comment");
            continue;
        }
        if (!current) {
            fault(number, "key = value before the first [name]");
            continue;
        }
        const std::string key = std::string(TrimBlanks(std::string_view(trimmed).substr(0, equals)));
        const std::string value = std::string(TrimBlanks(std::string_view(trimmed).substr(equals + 1)));
        if (!KnownKey(key)) {
            fault(
                number,
                "\"" + key +
                    "\" is not a key of a hook (to, text, priority, key, resolve, answer, repeat, escalate)");
            continue;
        }
        if (seen[key]) {
            fault(number, key + " is given twice in [" + current->name + "]");
            continue;
        }
        seen[key] = true;
        if (const std::string reason = ReadSetting(key, value, *current); !reason.empty()) {
            fault(number, reason);
        }
    }
    finish();
    if (hooks.m_hooks.empty() && faults.empty()) {
        faults.push_back(file + ": no hooks in it ([name], then to = ... and text = ...)");
    }
    if (!faults.empty()) {
        *error = JoinLines(faults);
        return std::nullopt;
    }
    return hooks;
}

std::optional<Hooks> Hooks::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().size() > MAX_HOOKS_FILE) {
        *error = path + ": larger than " + std::to_string(MAX_HOOKS_FILE / 1024) + " kB: not a hooks file";
        return std::nullopt;
    }
    return Parse(text.str(), path, error);
}

const Hook* Hooks::Find(std::string_view name) const {
    auto found = m_hooks.find(name);
    return found == m_hooks.end() ? nullptr : &found->second;
}

std::vector<std::string> Hooks::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, hook] : m_hooks) {
        names.push_back(name);
    }
    return names;
}

HookPage ApplyHook(const Hook& hook, const Json& body) {
    HookPage page;
    page.to = SplitRecipients(Fill(hook.to, body));
    page.text = Fill(hook.text, body);
    page.priority = hook.priority;
    if (hook.highWhen) {
        const bool same = FieldText(body, hook.highWhen->pointer) == hook.highWhen->value;
        page.priority = same == hook.highWhen->equal ? Priority::High : Priority::Normal;
    }
    if (hook.key) {
        page.cause = "hook " + hook.name + " " + Fill(*hook.key, body);
    }
    if (hook.resolveWhen) {
        page.resolves = (FieldText(body, hook.resolveWhen->pointer) == hook.resolveWhen->value) ==
                        hook.resolveWhen->equal;
    }
    return page;
}

std::vector<std::string> FixedRecipients(const Hook& hook) {
    // A field marked by a byte no name holds; a recipient with a field in it is not known before a body.
    std::string written;
    for (const Template::Piece& piece : hook.to.pieces) {
        written += piece.pointer.empty() ? piece.text : std::string(1, '\x01');
    }
    std::vector<std::string> fixed;
    for (std::string& one : SplitRecipients(written)) {
        if (one.find('\x01') == std::string::npos) {
            fixed.push_back(std::move(one));
        }
    }
    return fixed;
}

} // namespace velkor::gateway
