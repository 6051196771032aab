#pragma once
// Webhooks of any system that posts JSON, each named in a small file that says which recipients, text and
// priority to make of the posted body, fields picked by JSON Pointer (RFC 6901):
//
//   [uptime]
//   to = it-desk
//   text = {/monitor/name}：{/heartbeat/msg}
//   priority = high when {/heartbeat/status} = 0
//   key = {/monitor/id}                       (what ties a resolution to the page it resolves)
//   resolve = when {/heartbeat/status} = 1    (a body that resolves the key's pages instead of paging)
//   repeat = 30                               (until it is acknowledged or resolved; answer = yes alone asks)
//   escalate = ward-2
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

// "{/p} = v" (or !=): whether the field's text is (or is not) `value`.
struct Condition {
    std::string pointer;
    std::string value;
    bool equal = true;
};

struct Hook {
    std::string name;
    Template to; // recipients, separated by commas
    Template text;
    Priority priority = Priority::Normal;
    std::optional<Condition> highWhen;    // "priority = high when ..."
    std::optional<Template> key;          // ties the pages of one thing together
    std::optional<Condition> resolveWhen; // a body that resolves the key's pages
    bool answer = false;
    int repeatEvery = 0; // until answered
    std::string escalate;
};

// What a hook makes of a body: the recipients as written and the text, or the reason it cannot (a field
// missing or not text, naming its pointer).
struct HookPage {
    std::vector<std::string> to;
    std::string text;
    Priority priority = Priority::Normal;
    std::string cause;     // "hook NAME KEY" with a key; "" without
    bool resolves = false; // the body resolves the cause's pages: nothing to page
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
