#pragma once
// Webhooks of any system that posts JSON, each named in a small file that says which recipients, text and
// priority to make of the posted body, fields picked by JSON Pointer (RFC 6901):
//
//   [uptime]
//   to = it-desk
//   text = {/monitor/name}：{/heartbeat/msg}
//   priority = high when {/heartbeat/status} = 0
//
// Threads: const after Parse, so any thread.

#include "gateway/intake/page_json.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

// A text with {/pointer} fields in it.
struct Template {
    struct Piece {
        std::string text;    // as written, when pointer is empty
        std::string pointer; // a field of the body
    };
    std::vector<Piece> pieces;
};

struct Hook {
    std::string name;
    Template to; // recipients, separated by commas
    Template text;
    Priority priority = Priority::Normal;
    // "high when {/p} = v" (or !=): high when the field's text is (or is not) `value`.
    std::optional<std::string> whenPointer;
    std::string whenValue;
    bool whenEqual = true;
};

// What a hook makes of a body: the recipients as written and the text, or the reason it cannot (a field
// missing or not text, naming its pointer).
struct HookPage {
    std::vector<std::string> to;
    std::string text;
    Priority priority = Priority::Normal;
};

class Hooks {
public:
    // Every fault ("FILE:LINE: reason", one a line) in `error` for a file that is not all right.
    static std::optional<Hooks> Parse(std::string_view text, const std::string& file, std::string* error);
    static std::optional<Hooks> Load(const std::string& path, std::string* error);

    const Hook* Find(std::string_view name) const;
    std::vector<std::string> Names() const;

private:
    std::map<std::string, Hook, std::less<>> m_hooks;
};

// Fills the hook's templates from `body` (parsed JSON). Throws PageRefusal (422) naming the pointer.
HookPage ApplyHook(const Hook& hook, const Json& body);

// The recipients a hook's `to` names as written, without a field in them (known before any body).
std::vector<std::string> FixedRecipients(const Hook& hook);

} // namespace velkor::gateway
