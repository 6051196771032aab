#pragma once
// Who may do what over HTTP: the key a request carries ("Authorization: Bearer TOKEN", or as the publish
// APIs' clients send it) and the scope each route needs.

#include "gateway/net/tokens.h"

#include <optional>
#include <string>
#include <string_view>

namespace velkor::gateway {

// The token of an Authorization header: "Bearer TOKEN", or "Basic" with the token as the password (as ntfy's
// and Gotify's clients send it); the scheme's name is case-insensitive.
std::optional<std::string> TokenOfAuthorization(std::string_view header);

// The scope a request needs; 0 for the console's own files (they hold no secret, and the page asks for a
// key itself); every scope for /v1/key, which any one of them may read.
unsigned ScopeNeeded(const std::string& method, const std::string& path);

// The methods a resource answers, for 405's Allow; nullopt for no such resource.
std::optional<std::string> AllowedMethods(const std::string& path);

// A refusal of the key, for the answer: 401 (no key, or none of the file's) or 403 (not its scope).
struct AccessRefusal {
    int status = 401;
    std::string code;
    std::string message;
};
// Whether `key` (nullopt: the request held none of the file's) may do what needs `needed`; `given`: whether
// the request held a token at all.
std::optional<AccessRefusal> CheckAccess(const std::optional<Key>& key, bool given, unsigned needed);

} // namespace velkor::gateway
