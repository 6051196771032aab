// Any received frame through the module page's answer decoding: never a crash, never a read past the
// frame, and what the page would show is always well formed.

#include "frames/module_frame.h"
#include "resources/module_answer_texts.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velkor::ModuleAnswer answer = velkor::DecodeModuleAnswer({data, size});
    const bool decodedSomething = answer.config || answer.clock || answer.watchAddress;
    if (answer.status != velkor::AnswerStatus::Accepted) {
        if (decodedSomething) {
            std::abort(); // a refused frame must change nothing on the page
        }
        return 0;
    }
    if (size < velkor::ModuleAnswerLength(answer.command)) {
        std::abort();
    }
    velkor::resources::AnswerNotice notice = velkor::resources::ModuleAnswerNotice(answer);
    if (answer.command == velkor::MODCMD_READ_WATCH_ADDRESS) {
        if (!answer.watchAddress || !notice.message.empty()) {
            std::abort();
        }
    } else if (notice.message.empty() || notice.caption.empty()) {
        std::abort(); // every other accepted answer shows a box
    }
    if (answer.config) {
        // The texts fit what the edits can show.
        if (velkor::ReadBackFrequencyText(answer.config->frequencyWord).size() > 7 ||
            velkor::ReadBackNetworkAddressText(answer.config->networkAddress).size() > 3) {
            std::abort();
        }
    }
    return 0;
}
