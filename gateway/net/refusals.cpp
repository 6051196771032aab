#include "gateway/net/refusals.h"

#include "frames/utf8.h"
#include "gateway/log/log.h"

namespace velkor::gateway {

void Refusals::Count(const std::string& listener, const std::string& reason, const std::string& detail) {
    std::string line;
    {
        std::lock_guard lock(m_mutex);
        Kind& kind = m_kinds[{listener, reason}];
        ++kind.count;
        const auto now = std::chrono::steady_clock::now();
        if (kind.count > 1 && now - kind.logged < LOG_EVERY) {
            ++kind.unlogged;
            return;
        }
        line = listener + " refused (" + reason + "): " + ValidUtf8(detail);
        if (kind.unlogged > 0) {
            line += " (and " + std::to_string(kind.unlogged) + " more like it since the last line)";
        }
        kind.unlogged = 0;
        kind.logged = now;
    }
    LogWarning(line);
}

std::map<std::pair<std::string, std::string>, uint64_t> Refusals::Counts() const {
    std::lock_guard lock(m_mutex);
    std::map<std::pair<std::string, std::string>, uint64_t> counts;
    for (const auto& [key, kind] : m_kinds) {
        counts[key] = kind.count;
    }
    return counts;
}

std::string HttpRefusalReason(int status) {
    switch (status) {
    case 400:
        return "bad_request";
    case 401:
        return "no_token";
    case 403:
        return "scope";
    case 404:
        return "not_found";
    case 405:
        return "method";
    case 409:
        return "conflict";
    case 413:
        return "body_too_large";
    case 414:
        return "uri_too_long";
    case 416:
        return "range";
    case 422:
        return "invalid";
    case 431:
        return "header_too_large";
    case 500:
        return "internal_error";
    case 503:
        return "unavailable";
    default:
        return "status_" + std::to_string(status);
    }
}

} // namespace velkor::gateway
