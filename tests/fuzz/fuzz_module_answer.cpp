// Any received frame through the module page's answer decoding: never a crash, never a read past the
// frame, and what the page would show is always well formed.

#include "frames/module_frame.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velkor::ModuleAnswer answer = velkor::DecodeModuleAnswer({data, size});
    if (answer.status != velkor::AnswerStatus::Accepted) {
        if (!answer.message.empty() || answer.hasConfig || !answer.watchAddressText.empty()) {
            std::abort(); // a refused frame must change nothing on the page
        }
        return 0;
    }
    if (size < velkor::ModuleAnswerLength(answer.command)) {
        std::abort();
    }
    if (answer.command == velkor::MODCMD_READ_WATCH_ADDRESS) {
        long long value = std::stoll(answer.watchAddressText);
        if (value < INT32_MIN || value > INT32_MAX || !answer.message.empty()) {
            std::abort();
        }
    } else if (answer.message.empty() || answer.caption.empty()) {
        std::abort(); // every other accepted answer shows a box
    }
    if (answer.hasConfig) {
        // The list positions are bytes; the texts fit what the edits can show.
        if (answer.sleepIndex > 255 || answer.breathingIndex > 255 || answer.powerIndex > 255 ||
            answer.frequencyText.size() > 7 || answer.networkAddressText.size() > 3) {
            std::abort();
        }
    }
    return 0;
}
