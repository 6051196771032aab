#pragma once
// The secrets that let a client in: a file with one entry a line, "TOKEN", "NAME TOKEN" or "NAME TOKEN
// SCOPES" (the name says who it is in the log and the pages' records, and is the user SNPP's LOGI must give
// with it; SCOPES is a comma-separated list of send, read and admin, and an entry without it has all
// three), and last "to=RECIPIENTS", whom the key's Gotify messages page; blank lines and lines starting
// with # are skipped.
//
// Threads: const after Load, so any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

// What a key may do: send pages; read the queue, the history and the health; admin: cancel others' pages,
// send the time.
enum Scope : unsigned { SEND = 1, READ = 2, ADMIN = 4, ALL_SCOPES = 7 };

// The names of `scopes`, in the order send, read, admin.
std::vector<std::string> ScopeNames(unsigned scopes);
// The scope named `name`; nullopt for none.
std::optional<Scope> ScopeNamed(std::string_view name);

struct Key {
    std::string name; // "" for an entry without one
    unsigned scopes = ALL_SCOPES;
    std::string to; // whom its Gotify messages page ("kitchen", "nurse-3,nurse-4"); "" for nobody
};

class Tokens {
public:
    // nullopt with the reason in `error` for a file that cannot be read or has no entry.
    static std::optional<Tokens> Load(const std::string& path, std::string* error);
    static std::optional<Tokens> Parse(std::string_view text, std::string* error);

    // The entry `token` is, compared in constant time whichever entry matches.
    std::optional<Key> Match(std::string_view token) const;
    // SNPP's LOGI: `password` is the token of an entry that may send, and `user` is that entry's name when
    // it has one.
    bool Login(std::string_view user, std::string_view password) const;

private:
    struct Entry {
        Key key;
        std::string token;
    };
    std::vector<Entry> m_entries;
};

// Base64, standard or URL-safe, padded or not, as clients send their keys in it; nullopt for what is not.
std::optional<std::string> DecodeBase64(std::string_view text);

// Compares without stopping at the first difference, so the time says nothing of where it is.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

} // namespace velkor::gateway
