// The simulator's stream splitter and decoder on any byte stream, cut into reads of any size: every
// byte comes out exactly once, in order, and every frame decodes to JSON.

#include "sim/frame_decoder.h"
#include "sim/stream_splitter.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the rest is cut into reads.
    std::size_t piece = data[0] % 37 + 1;
    ++data;
    --size;
    velkor::sim::StreamSplitter splitter;
    std::vector<uint8_t> out;
    auto take = [&](const std::vector<velkor::sim::SplitFrame>& frames) {
        for (const auto& frame : frames) {
            if (frame.bytes.empty()) {
                std::abort();
            }
            out.insert(out.end(), frame.bytes.begin(), frame.bytes.end());
            velkor::sim::DecodedFrame decoded = velkor::sim::DecodeFrame(frame, velkor::sim::Direction::In);
            if (velkor::sim::ToJson(decoded).empty() || (!decoded.valid && decoded.reason.empty())) {
                std::abort();
            }
        }
    };
    for (std::size_t at = 0; at < size; at += piece) {
        take(splitter.Feed({data + at, std::min(piece, size - at)}));
    }
    take(splitter.Flush());
    if (out.size() != size || !std::equal(out.begin(), out.end(), data)) {
        std::abort();
    }
    return 0;
}
