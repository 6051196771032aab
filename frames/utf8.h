#pragma once
// UTF-8, the text of arguments, files and the network, to and from the UTF-16 the text conversions take.

#include <optional>
#include <string>
#include <string_view>

namespace velkor {

// UTF-8 to UTF-16; nullopt for bytes that are not UTF-8 (a stray or missing continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

// Whether `text` is UTF-8 throughout, by the rules above.
bool IsUtf8(std::string_view text);
// `text` with each byte that starts no UTF-8 character replaced by U+FFFD: what comes from outside (a
// login, a path, a file's name) made safe to store, log and write as JSON.
std::string ValidUtf8(std::string_view text);

// One code point appended as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace velkor
