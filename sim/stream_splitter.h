#pragma once
// Splits the byte stream the tool sends into frames by their format, not by silence: CommandFrame
// (5A, length at offset 7), TransmitterChannelFrame (AF AF 00 00 AF, 23 bytes) and ModuleFrame (FA 80,
// length at offset 3). Bytes that start no frame are skipped one at a time and reported together.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace velkor::sim {

enum class Format { Command, Transmitter, Module, Unknown };

const char* FormatName(Format format);

struct SplitFrame {
    Format format;
    std::vector<uint8_t> bytes;
};

class StreamSplitter {
public:
    // Takes received bytes; returns the frames they complete, in order.
    std::vector<SplitFrame> Feed(std::span<const uint8_t> bytes);
    // The line went quiet: whatever is pending can never complete and is returned as it stands
    // (an incomplete frame keeps its format so the decoder can call it truncated).
    std::vector<SplitFrame> Flush();
    // Bytes wait for the rest of a frame, or unknown bytes wait to be reported: a Flush after the line
    // has been quiet hands them out.
    bool HasPending() const { return !m_pending.empty() || !m_unknown.empty(); }

private:
    void Drain(std::vector<SplitFrame>& out, bool flushing);
    void EmitUnknown(std::vector<SplitFrame>& out);

    std::deque<uint8_t> m_pending;
    std::vector<uint8_t> m_unknown;
};

// Length of the frame of `format` that starts at bytes[0]: 0 when more bytes are needed to tell, or
// the whole length once it is known. Exposed for the decoder's resynchronisation.
std::size_t FrameLength(Format format, std::span<const uint8_t> bytes);
// The format whose start matches bytes[0..]: Unknown when none can, or nullopt-like Unknown with
// `needMore` set when the bytes so far are a prefix of a start.
Format DetectFormat(std::span<const uint8_t> bytes, bool* needMore);

} // namespace velkor::sim
