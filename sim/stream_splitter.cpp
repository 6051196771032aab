#include "stream_splitter.h"

#include "frames/command_frame.h"
#include "frames/module_frame.h"
#include "frames/watch_commands.h"

#include <algorithm>
#include <array>

namespace velkor::sim {
namespace {

constexpr std::array<uint8_t, 5> kTransmitterStart = {0xAF, 0xAF, 0x00, 0x00, 0xAF};
// The longest frame any format can have: a CommandFrame with 255 data bytes.
constexpr std::size_t kLongestFrame = MAX_COMMAND_DATA + COMMAND_FRAME_OVERHEAD;
// Unknown bytes are reported in pieces of at most this size, so noise never piles up unseen.
constexpr std::size_t kUnknownPiece = 1024;

bool ChecksumOk(Format format, std::span<const uint8_t> frame) {
    switch (format) {
    case Format::Command:
        return ByteSum(frame.first(frame.size() - 1)) == frame.back();
    case Format::Transmitter:
        return ByteSum(frame.first(20)) == frame[20] && frame[21] == 0x0D && frame[22] == 0x0A;
    case Format::Module:
        return ByteSum(frame.first(frame.size() - 2)) == frame[frame.size() - 2] &&
               frame.back() == MODULE_FRAME_END;
    case Format::Unknown:
        break;
    }
    return false;
}

enum class Inside { None, Found, Pending };

// Does a frame with a correct checksum start inside the first `length` bytes of `bytes` (after byte 0)?
// Pending: one may, but its end has not arrived yet.
Inside ScanInside(std::span<const uint8_t> bytes, std::size_t length) {
    Inside result = Inside::None;
    for (std::size_t offset = 1; offset < length; ++offset) {
        std::span<const uint8_t> rest = bytes.subspan(offset);
        bool needMore = false;
        Format format = DetectFormat(rest, &needMore);
        if (needMore) {
            result = Inside::Pending;
            continue;
        }
        if (format == Format::Unknown) {
            continue;
        }
        std::size_t inner = FrameLength(format, rest);
        if (inner == 0 || inner > rest.size()) {
            result = Inside::Pending;
        } else if (ChecksumOk(format, rest.first(inner))) {
            return Inside::Found;
        }
    }
    return result;
}

} // namespace

const char* FormatName(Format format) {
    switch (format) {
    case Format::Command:
        return "command";
    case Format::Transmitter:
        return "transmitter";
    case Format::Module:
        return "module";
    case Format::Unknown:
        break;
    }
    return "unknown";
}

Format DetectFormat(std::span<const uint8_t> bytes, bool* needMore) {
    *needMore = false;
    if (bytes.empty()) {
        *needMore = true;
        return Format::Unknown;
    }
    if (bytes[0] == FRAME_START) {
        return Format::Command;
    }
    if (bytes[0] == MODULE_FRAME_START) {
        if (bytes.size() < 2) {
            *needMore = true;
            return Format::Unknown;
        }
        return bytes[1] == MODULE_FRAME_SECOND ? Format::Module : Format::Unknown;
    }
    std::size_t n = std::min(bytes.size(), kTransmitterStart.size());
    if (std::equal(kTransmitterStart.begin(), kTransmitterStart.begin() + static_cast<std::ptrdiff_t>(n),
                   bytes.begin())) {
        *needMore = n < kTransmitterStart.size();
        return *needMore ? Format::Unknown : Format::Transmitter;
    }
    return Format::Unknown;
}

std::size_t FrameLength(Format format, std::span<const uint8_t> bytes) {
    switch (format) {
    case Format::Command:
        return bytes.size() > 7 ? COMMAND_FRAME_OVERHEAD + bytes[7] : 0; // length at offset 7
    case Format::Transmitter:
        return TRANSMITTER_FRAME_SIZE;
    case Format::Module:
        return bytes.size() > 3 ? MODULE_FRAME_OVERHEAD + bytes[3] : 0; // n at offset 3
    case Format::Unknown:
        break;
    }
    return 0;
}

std::vector<SplitFrame> StreamSplitter::Feed(std::span<const uint8_t> bytes) {
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    std::vector<SplitFrame> out;
    Drain(out, false);
    return out;
}

std::vector<SplitFrame> StreamSplitter::Flush() {
    std::vector<SplitFrame> out;
    Drain(out, true);
    EmitUnknown(out);
    return out;
}

void StreamSplitter::EmitUnknown(std::vector<SplitFrame>& out) {
    if (!m_unknown.empty()) {
        out.push_back({Format::Unknown, std::move(m_unknown)});
        m_unknown.clear();
    }
}

void StreamSplitter::Drain(std::vector<SplitFrame>& out, bool flushing) {
    std::vector<uint8_t> head;
    while (!m_pending.empty()) {
        // Enough to hold a broken frame and a whole frame starting inside it.
        std::size_t look = std::min(m_pending.size(), 2 * kLongestFrame);
        head.assign(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(look));
        bool needMore = false;
        Format format = DetectFormat(head, &needMore);
        std::size_t length = format == Format::Unknown ? 0 : FrameLength(format, head);
        bool complete = format != Format::Unknown && length != 0 && length <= head.size();
        if (!complete && (needMore || format != Format::Unknown) && !flushing) {
            break; // a frame may be starting: wait for the rest
        }
        bool skip = !complete; // starts nothing, or the line went quiet in the middle of a frame
        if (complete && !ChecksumOk(format, std::span<const uint8_t>(head).first(length))) {
            // A broken frame, or noise that starts like one and hides a good frame: look inside.
            Inside inside = ScanInside(head, length);
            if (inside == Inside::Pending && !flushing && head.size() < 2 * kLongestFrame) {
                break;
            }
            skip = inside == Inside::Found;
        }
        if (skip) {
            m_unknown.push_back(m_pending.front());
            m_pending.pop_front();
            if (m_unknown.size() >= kUnknownPiece) {
                EmitUnknown(out);
            }
            continue;
        }
        EmitUnknown(out);
        out.push_back(
            {format, std::vector<uint8_t>(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(length))});
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(length));
    }
}

} // namespace velkor::sim
