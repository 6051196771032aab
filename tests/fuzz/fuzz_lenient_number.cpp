// Any text through the lenient number reading and into every frequency word: no undefined conversion,
// and the words always fit 24 bits.

#include "frames/lenient_number.h"
#include "frames/module_frame.h"
#include "frames/watch_commands.h"

#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

// Bytes as text of the characters a decimal number is made of, so that most inputs are numbers.
std::u16string DecimalLike(const uint8_t* data, size_t size, std::string* ascii) {
    static const char kAlphabet[] = "0123456789.eE+-0000000000";
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        char c = kAlphabet[data[i] % (sizeof kAlphabet - 1)];
        ascii->push_back(c);
        text.push_back(static_cast<char16_t>(c));
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    double mhz = velkor::ReadLenientDouble(text);
    if (velkor::FrequencyWord(mhz) > 0xFFFFFF || velkor::ModuleFrequencyWord(mhz) > 0xFFFFFF) {
        std::abort();
    }
    velkor::ChannelFromText(text, text);
    velkor::LoraConfigFromControls(text, -1, 300, text, 6);
    velkor::WatchAddressData(text);
    int32_t value = velkor::ReadLenientInt(text);
    (void)value;
    velkor::ReadBackFrequencyText(static_cast<uint32_t>(value) & 0xFFFFFF);

    // The reading agrees with the C library's in the C locale, to the bit, out-of-range values included.
    std::string ascii;
    std::u16string decimal = DecimalLike(data, size, &ascii);
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    double expected = strtod_l(ascii.c_str(), nullptr, c);
    double got = velkor::ReadLenientDouble(decimal);
    if (std::memcmp(&expected, &got, sizeof got) != 0) {
        std::abort();
    }
    return 0;
}
