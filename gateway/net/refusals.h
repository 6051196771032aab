#pragma once
// Every request a listener refuses, counted by listener and reason for /metrics, and logged: a refusal
// nobody sees is a lost page. The log says the first of each kind, then at most one line every
// LOG_EVERY with how many came meanwhile, so a flood of bad requests cannot flood the journal.
//
// Threads: any thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velkor::gateway {

class Refusals {
public:
    static constexpr std::chrono::seconds LOG_EVERY{10};

    // One refusal by `listener` ("http", "snpp") for `reason` (a short stable name: "body_too_large"),
    // `detail` saying which request and why, for the log.
    void Count(const std::string& listener, const std::string& reason, const std::string& detail);
    // (listener, reason) -> refusals since the start.
    std::map<std::pair<std::string, std::string>, uint64_t> Counts() const;

private:
    struct Kind {
        uint64_t count = 0;
        uint64_t unlogged = 0;
        std::chrono::steady_clock::time_point logged{};
    };
    mutable std::mutex m_mutex; // guards m_kinds
    std::map<std::pair<std::string, std::string>, Kind> m_kinds;
};

// The reason name of an HTTP refusal's status.
std::string HttpRefusalReason(int status);

} // namespace velkor::gateway
