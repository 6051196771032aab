// Any text through the lenient number reading and into every frequency word: no undefined conversion,
// and the words always fit 24 bits.

#include "frames/lenient_number.h"
#include "frames/module_frame.h"
#include "frames/watch_commands.h"

#include <cstdlib>
#include <cstring>
#include <string>

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
    return 0;
}
