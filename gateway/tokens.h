#pragma once
// The secrets that let a client in: a file with one entry a line, "TOKEN" or "NAME TOKEN" (the name says
// who it is in the log and is the user SNPP's LOGI must give with it); blank lines and lines starting with
// # are skipped.
//
// Threads: const after Load, so any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

class Tokens {
public:
    // nullopt with the reason in `error` for a file that cannot be read or has no entry.
    static std::optional<Tokens> Load(const std::string& path, std::string* error);
    static std::optional<Tokens> Parse(std::string_view text, std::string* error);

    // The entry `token` is, compared in constant time whichever entry matches; its name ("" for none).
    std::optional<std::string> Match(std::string_view token) const;
    // SNPP's LOGI: `password` is an entry's token, and `user` is that entry's name when it has one.
    bool Login(std::string_view user, std::string_view password) const;

private:
    struct Entry {
        std::string name;
        std::string token;
    };
    std::vector<Entry> m_entries;
};

// Compares without stopping at the first difference, so the time says nothing of where it is.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

} // namespace velkor::gateway
