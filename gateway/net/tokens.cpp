#include "gateway/net/tokens.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <utility>

namespace velkor::gateway {

namespace {

constexpr std::pair<Scope, const char*> SCOPE_NAMES[] = {{SEND, "send"}, {READ, "read"}, {ADMIN, "admin"}};

} // namespace

std::vector<std::string> ScopeNames(unsigned scopes) {
    std::vector<std::string> names;
    for (const auto& [scope, name] : SCOPE_NAMES) {
        if ((scopes & scope) != 0) {
            names.emplace_back(name);
        }
    }
    return names;
}

std::optional<Scope> ScopeNamed(std::string_view name) {
    for (const auto& [scope, known] : SCOPE_NAMES) {
        if (name == known) {
            return scope;
        }
    }
    return std::nullopt;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    while (standard.size() % 4 != 0) {
        standard += '=';
    }
    if (standard.empty() ||
        standard.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
            std::string::npos) {
        return std::nullopt;
    }
    std::string decoded(standard.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                       reinterpret_cast<const unsigned char*>(standard.data()),
                                       static_cast<int>(standard.size()));
    if (length < 0) {
        return std::nullopt;
    }
    // EVP_DecodeBlock counts the padding's bytes as decoded zeros.
    const std::size_t padding = standard.size() - standard.find_last_not_of('=') - 1;
    decoded.resize(static_cast<std::size_t>(length) - std::min<std::size_t>(padding, 2));
    return decoded;
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    // The length shows, the content does not: every byte of the longer one is looked at.
    const std::size_t length = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0U : 1U;
    for (std::size_t i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

std::optional<Tokens> Tokens::Parse(std::string_view text, std::string* error) {
    Tokens tokens;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream read(line);
        std::vector<std::string> words;
        for (std::string word; read >> word;) {
            words.push_back(std::move(word));
        }
        if (words.empty() || words[0].starts_with('#')) {
            continue;
        }
        std::string to;
        if (words.size() > 1 && words.back().starts_with("to=")) {
            to = words.back().substr(3);
            words.pop_back();
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        if (words.size() > 3) {
            *error = where + "a line holds more than NAME TOKEN SCOPES to=RECIPIENTS";
            return std::nullopt;
        }
        const std::string first = words[0];
        const std::string second = words.size() > 1 ? words[1] : "";
        const std::string scopes = words.size() > 2 ? words[2] : "";
        Entry entry = second.empty() ? Entry{Key{"", ALL_SCOPES, ""}, first}
                                     : Entry{Key{first, ALL_SCOPES, ""}, second};
        if (!scopes.empty()) {
            entry.key.scopes = 0;
            std::istringstream list(scopes);
            std::string scope;
            while (std::getline(list, scope, ',')) {
                if (const std::optional<Scope> one = ScopeNamed(scope)) {
                    entry.key.scopes |= *one;
                } else {
                    *error = where + "\"" + scope + "\" is not a scope (send, read, admin, comma-separated)";
                    return std::nullopt;
                }
            }
        }
        entry.key.to = to;
        tokens.m_entries.push_back(std::move(entry));
    }
    if (tokens.m_entries.empty()) {
        *error = "no token in it";
        return std::nullopt;
    }
    return tokens;
}

std::optional<Tokens> Tokens::Load(const std::string& path, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // As ssh with a key: secrets every user of the machine can read are no longer secrets.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        *error = path + ": readable or writable by every user; the tokens in it are not secret (chmod o-rw " +
                 path + ")";
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::optional<Tokens> tokens = Parse(text.str(), error);
    if (!tokens) {
        *error = path + ": " + *error;
    }
    return tokens;
}

std::optional<Key> Tokens::Match(std::string_view token) const {
    std::optional<Key> found;
    for (const Entry& entry : m_entries) {
        if (ConstantTimeEqual(entry.token, token) && !found) {
            found = entry.key;
        }
    }
    return found;
}

bool Tokens::Login(std::string_view user, std::string_view password) const {
    bool accepted = false;
    for (const Entry& entry : m_entries) {
        const bool token = ConstantTimeEqual(entry.token, password);
        accepted |=
            token && (entry.key.scopes & SEND) != 0 && (entry.key.name.empty() || entry.key.name == user);
    }
    return accepted;
}

} // namespace velkor::gateway
