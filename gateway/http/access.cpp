#include "gateway/http/access.h"

#include <cctype>

namespace velkor::gateway {

namespace {

// Whether `header` starts with the scheme `scheme` (lower case, with its space), in any case.
bool HasScheme(std::string_view header, std::string_view scheme) {
    if (header.size() <= scheme.size()) {
        return false;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::string> TokenOfAuthorization(std::string_view header) {
    if (HasScheme(header, "bearer ")) {
        return std::string(header.substr(7));
    }
    if (HasScheme(header, "basic ")) {
        const std::optional<std::string> pair = DecodeBase64(header.substr(6));
        const std::size_t colon = pair ? pair->find(':') : std::string::npos;
        if (colon != std::string::npos && colon + 1 < pair->size()) {
            return pair->substr(colon + 1);
        }
    }
    return std::nullopt;
}

unsigned ScopeNeeded(const std::string& method, const std::string& path) {
    if (!path.starts_with("/v1/") && path != "/metrics") {
        // The publish APIs' routes (ntfy's /TOPIC and /, Gotify's /message) page; the console's files do not.
        return method == "POST" || method == "PUT" ? unsigned{SEND} : 0U;
    }
    if (method == "POST" && path == "/v1/time") {
        return ADMIN;
    }
    if (method == "POST" || method == "DELETE") {
        return SEND; // a cancel of another's page needs admin too: its handler knows whose it is
    }
    if (path == "/v1/key") {
        return ALL_SCOPES;
    }
    return READ;
}

std::optional<std::string> AllowedMethods(const std::string& path) {
    if (path == "/v1/pages") {
        return "GET, POST";
    }
    if (path.starts_with("/v1/pages/") && path.find('/', 10) == std::string::npos) {
        return "GET, DELETE";
    }
    if (path == "/v1/time" || path.starts_with("/v1/hooks/") ||
        (path.starts_with("/v1/pages/") && path.ends_with("/ack") && path.find('/', 10) == path.size() - 4)) {
        return "POST";
    }
    if (path == "/v1/health" || path == "/metrics" || path == "/v1/events" || path == "/v1/watches" ||
        path == "/v1/texts" || path == "/v1/key" || path == "/v1/unanswered" || path == "/v1/rosters") {
        return "GET";
    }
    return std::nullopt;
}

std::optional<AccessRefusal> CheckAccess(const std::optional<Key>& key, bool given, unsigned needed) {
    if (!key) {
        return !given ? AccessRefusal{401, "token_needed", "a token is needed: Authorization: Bearer TOKEN"}
                      : AccessRefusal{401, "token_unknown", "the token is not one of the gateway's"};
    }
    if ((key->scopes & needed) != 0) {
        return std::nullopt;
    }
    std::string scopes;
    for (const std::string& name : ScopeNames(key->scopes)) {
        scopes += (scopes.empty() ? "" : ",") + name;
    }
    const std::string who = key->name.empty() ? std::string("given") : "\"" + key->name + "\"";
    const std::string what = needed == ADMIN ? "do this (admin)" : needed == SEND ? "send" : "read";
    return AccessRefusal{403, "scope_missing",
                         "the key " + who + " may not " + what +
                             "; its scopes: " + (scopes.empty() ? std::string("none") : scopes)};
}

} // namespace velkor::gateway
