#pragma once
// The text of a text message as velkor-cli takes it: from its argument or standard input, checked before
// anything is sent.

#include "frames/strict_text.h"

#include <string>
#include <vector>

namespace velkor::cli {

// Standard input is read only as far as can matter: a text message takes 84 bytes.
inline constexpr std::size_t MAX_INPUT_BYTES = 4096;

// The text of `word`, or of standard input for "-" (without the one line break that ends it). Throws
// ArgumentError for more than MAX_INPUT_BYTES of input, text that is not UTF-8, and a control character
// other than a line break (it would reach the watch's screen as garbage; a NUL would silently end the
// text), naming the character and its position.
std::u16string TextArgument(const std::string& word);

using velkor::CharactersWithoutGbk;

} // namespace velkor::cli
