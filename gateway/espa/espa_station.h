#pragma once
// The paging system's side of a panel's link, without the port: bytes in, the bytes to answer out. The
// panel (the control station) polls the paging system, selects it and sends it blocks; the link never
// wedges: EOT resets it at any point, SOH starts a block afresh, a half block is dropped after a silence,
// other bytes are skipped. Bit 7 of every byte is cleared: a 7-bit line read as 8N1 carries its parity there.
//
// Threads: one owner.

#include "frames/espa.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velkor::gateway {

struct StationSettings {
    char address = '2';                      // the paging system's station address
    std::chrono::milliseconds silence{2000}; // a half exchange is dropped after this long without a byte
    int retries = 3; // a status block NAKed this many times (or a select left unanswered) is given up
};

// What became of a block, for the answer and for the status report.
struct BlockOutcome {
    bool stored = false; // ACK it; otherwise NAK (the panel sends it again)
    // Stored, but only after the panel stopped waiting for the answer: none is sent now (a late ACK
    // would answer whatever the panel does next), and the same block sent again is ACKed, not paged.
    bool late = false;
    std::optional<espa::Record> status; // to report at the next poll, when the panel is told outcomes
    std::string call;                   // the call address it reports on
};

class EspaStation {
public:
    using Clock = std::chrono::steady_clock;
    // Called with every whole block whose BCC is right: its header and records (nullopt when they cannot
    // be read as records). Its answer decides ACK or NAK.
    using BlockHandler = std::function<BlockOutcome(
        char header, const std::optional<std::vector<espa::Record>>&, const std::string& raw)>;

    EspaStation(StationSettings settings, BlockHandler handler);

    // One byte from the panel; the bytes to write back (often none).
    std::string Feed(uint8_t byte, Clock::time_point now);
    // Time passing: drops an exchange the panel left half done.
    void Tick(Clock::time_point now);
    // The port was opened again (or lost): whatever was under way is gone.
    void Reset();

    uint64_t Blocks() const { return m_blocks; }
    uint64_t Naks() const { return m_naks; }
    uint64_t Resets() const { return m_resets; }
    // What the station did, for the log ("a block with a wrong BCC"), taken once; `problem` for what went
    // wrong on the line.
    struct Note {
        bool problem = true;
        std::string text;
    };
    std::vector<Note> TakeNotes();

private:
    enum class State {
        Idle,
        AfterEot,     // EOT: a poll or the panel's own address comes next
        PollDigit,    // EOT d: ENQ makes it a poll of d
        AfterPoll,    // another station was polled: a select may follow
        SelectDigit,  // d: ENQ makes it a select of d
        Selected,     // ACKed a select: blocks, then EOT
        Header,       // SOH seen
        Text,         // STX seen
        Check,        // ETX seen: the next byte is the BCC, whatever its value
        StatusSelect, // we selected the panel to report a status: its ACK comes next
        StatusSent,   // the status block went out: its ACK comes next
    };

    std::string Dropped(const std::string& why, State next);
    // The byte after ETX: the block's check.
    std::string OnCheck(uint8_t byte);
    void OnEot();
    // Polls and selects: whether the panel asks this station.
    std::string OnAddressing(uint8_t byte);
    // A block's header and text.
    std::string OnBlockByte(uint8_t byte);
    // The panel's answers while this station reports a call's status.
    std::string OnStatusAnswer(uint8_t byte);
    std::string OnBlock();
    std::string OnPoll();
    std::string StatusBlock() const;

    const StationSettings m_settings;
    BlockHandler m_handler;
    State m_state = State::Idle;
    char m_digit = 0;
    char m_panel = '1'; // the panel's own address, as it polled itself
    std::string m_header;
    std::string m_text;
    std::string m_lastReply; // repeated when the panel asks with ENQ
    std::string m_lastBlock; // the last block ACKed in this selection: the same one again is not new
    std::string m_lateBlock; // the last block stored too late to answer: the same one again is ACKed
    Clock::time_point m_lastByte{};
    std::optional<BlockOutcome> m_pendingStatus;
    int m_statusTries = 0;
    uint64_t m_blocks = 0;
    uint64_t m_naks = 0;
    uint64_t m_resets = 0;
    std::vector<Note> m_notes;
};

} // namespace velkor::gateway
