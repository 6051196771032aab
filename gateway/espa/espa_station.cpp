#include "gateway/espa/espa_station.h"

namespace velkor::gateway {
namespace {

using namespace velkor::espa;

// A header or a block's text longer than this is not a panel's: dropped.
constexpr std::size_t MAX_HEADER = 8;
constexpr std::size_t MAX_TEXT = 1024;

bool IsDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

} // namespace

EspaStation::EspaStation(StationSettings settings, BlockHandler handler)
    : m_settings(settings), m_handler(std::move(handler)) {}

std::vector<EspaStation::Note> EspaStation::TakeNotes() {
    std::vector<Note> notes;
    notes.swap(m_notes);
    return notes;
}

void EspaStation::Reset() {
    m_state = State::Idle;
    m_header.clear();
    m_text.clear();
    m_lastBlock.clear();
    m_lastReply.clear();
}

std::string EspaStation::Dropped(const std::string& why, State next) {
    ++m_resets;
    m_notes.push_back(Note{true, why});
    m_header.clear();
    m_text.clear();
    m_state = next;
    return {};
}

void EspaStation::Tick(Clock::time_point now) {
    if (m_state == State::Idle || now - m_lastByte < m_settings.silence) {
        return;
    }
    switch (m_state) {
    case State::Header:
    case State::Text:
    case State::Check:
        Dropped("a block cut short by " + std::to_string(m_settings.silence.count()) +
                    " ms of silence: dropped (the panel sends it again)",
                State::Idle);
        break;
    case State::StatusSelect:
    case State::StatusSent:
        ++m_statusTries;
        Dropped("the panel did not answer the status report", State::Idle);
        break;
    default:
        m_state = State::Idle; // a poll or selection the panel did not go on with
        break;
    }
    m_lastBlock.clear();
}

std::string EspaStation::StatusBlock() const {
    return BuildBlock(STATUS_INFORMATION,
                      {Record{CALL_ADDRESS, m_pendingStatus->call}, *m_pendingStatus->status});
}

std::string EspaStation::OnPoll() {
    if (m_pendingStatus && m_statusTries >= m_settings.retries) {
        m_notes.push_back(Note{true, "the status of call " + m_pendingStatus->call + " given up after " +
                                         std::to_string(m_statusTries) + " tries"});
        m_pendingStatus.reset();
    }
    if (!m_pendingStatus) {
        m_state = State::Idle;
        return std::string(1, static_cast<char>(EOT)); // nothing to report
    }
    // Something to report: the paging system selects the panel and sends it the status.
    m_state = State::StatusSelect;
    std::string select(1, m_panel);
    select += static_cast<char>(ENQ);
    return select;
}

std::string EspaStation::OnBlock() {
    const std::string raw = m_header + static_cast<char>(STX) + m_text;
    std::string checked = raw;
    checked += static_cast<char>(ETX);
    std::string reply;
    m_state = State::Selected;
    // A block the panel sends again because our ACK did not reach it: ACKed, not taken twice.
    if (!m_lastBlock.empty() && raw == m_lastBlock) {
        m_notes.push_back(Note{true, "the same block again (the panel missed the ACK): taken once"});
        reply = std::string(1, static_cast<char>(ACK));
    } else if (!m_lateBlock.empty() && raw == m_lateBlock) {
        m_notes.push_back(Note{true, "the block stored too late to answer, sent again: ACKed, taken once"});
        m_lateBlock.clear();
        m_lastBlock = raw;
        reply = std::string(1, static_cast<char>(ACK));
    } else {
        ++m_blocks;
        const std::string header = m_header;
        const BlockOutcome outcome =
            m_handler(header.size() == 1 ? header.front() : '\0', ParseRecords(m_text), raw);
        if (outcome.stored && outcome.late) {
            m_lateBlock = raw;
            m_header.clear();
            m_text.clear();
            m_lastReply.clear();
            m_notes.push_back(Note{true, "a call stored after the panel stopped waiting: not answered late; "
                                         "ACKed when the panel sends it again"});
            return {};
        }
        if (outcome.stored) {
            m_lateBlock.clear();
            m_lastBlock = raw;
            if (outcome.status) {
                m_pendingStatus = outcome;
                m_statusTries = 0;
            }
            reply = std::string(1, static_cast<char>(ACK));
        } else {
            ++m_naks;
            reply = std::string(1, static_cast<char>(NAK));
        }
    }
    m_header.clear();
    m_text.clear();
    m_lastReply = reply;
    return reply;
}

std::string EspaStation::Feed(uint8_t input, Clock::time_point now) {
    Tick(now);
    m_lastByte = now;
    const uint8_t byte = input & 0x7F;
    // The BCC may have any value, EOT's and SOH's included.
    if (m_state == State::Check) {
        return OnCheck(byte);
    }
    if (byte == EOT) {
        OnEot();
        return {};
    }
    if (byte == SOH && (m_state == State::Selected || m_state == State::Header || m_state == State::Text)) {
        if (m_state != State::Selected) {
            m_notes.push_back(Note{true, "SOH in the middle of a block: the block starts afresh"});
        }
        m_header.clear();
        m_text.clear();
        m_state = State::Header;
        return {};
    }
    switch (m_state) {
    case State::Header:
    case State::Text:
        return OnBlockByte(byte);
    case State::StatusSelect:
    case State::StatusSent:
        return OnStatusAnswer(byte);
    default:
        return OnAddressing(byte);
    }
}

std::string EspaStation::OnCheck(uint8_t byte) {
    const std::string checked = m_header + static_cast<char>(STX) + m_text + static_cast<char>(ETX);
    if (BlockCheck(checked) == byte) {
        return OnBlock();
    }
    ++m_naks;
    m_notes.push_back(Note{true, "a block with a wrong BCC: NAKed (the panel sends it again)"});
    m_header.clear();
    m_text.clear();
    m_state = State::Selected;
    m_lastReply = std::string(1, static_cast<char>(NAK));
    return m_lastReply;
}

void EspaStation::OnEot() {
    switch (m_state) {
    case State::Header:
    case State::Text:
        Dropped("EOT in the middle of a block: the block is dropped", State::AfterEot);
        break;
    case State::StatusSelect:
    case State::StatusSent:
        ++m_statusTries;
        Dropped("the panel ended the status report with EOT", State::AfterEot);
        break;
    default:
        m_state = State::AfterEot;
        break;
    }
    m_lastBlock.clear();
}

std::string EspaStation::OnAddressing(uint8_t byte) {
    switch (m_state) {
    case State::Idle:
    case State::Selected:
        if (IsDigit(byte)) {
            m_digit = static_cast<char>(byte);
            m_state = State::SelectDigit;
        } else if (byte == ENQ && m_state == State::Selected && !m_lastReply.empty()) {
            return m_lastReply; // the panel did not get our answer and asks again
        }
        return {};
    case State::AfterEot:
    case State::AfterPoll:
        // After EOT a digit is a poll's; after another station's poll, a select's.
        if (IsDigit(byte)) {
            m_digit = static_cast<char>(byte);
            m_state = m_state == State::AfterEot ? State::PollDigit : State::SelectDigit;
        } else {
            m_state = State::Idle;
        }
        return {};
    case State::PollDigit:
        if (byte != ENQ) {
            m_state = State::Idle;
            return {};
        }
        if (m_digit == m_settings.address) {
            return OnPoll();
        }
        m_panel = m_digit; // the panel polls itself before it selects us
        m_state = State::AfterPoll;
        return {};
    case State::SelectDigit:
        if (byte == ENQ && m_digit == m_settings.address) {
            m_state = State::Selected;
            m_lastReply = std::string(1, static_cast<char>(ACK));
            return m_lastReply;
        }
        m_state = IsDigit(byte) ? State::SelectDigit : State::Idle;
        m_digit = static_cast<char>(byte);
        return {};
    default:
        return {};
    }
}

std::string EspaStation::OnBlockByte(uint8_t byte) {
    if (m_state == State::Header) {
        if (byte == STX) {
            m_state = State::Text;
        } else if (m_header.size() >= MAX_HEADER) {
            return Dropped("a block header too long: the block is dropped", State::Idle);
        } else {
            m_header += static_cast<char>(byte);
        }
        return {};
    }
    if (byte == ETX) {
        m_state = State::Check;
    } else if (m_text.size() >= MAX_TEXT) {
        return Dropped("a block longer than " + std::to_string(MAX_TEXT) + " bytes: dropped", State::Idle);
    } else {
        m_text += static_cast<char>(byte);
    }
    return {};
}

std::string EspaStation::OnStatusAnswer(uint8_t byte) {
    if (IsDigit(byte)) {
        return {}; // "1 ACK": the panel's address before its answer
    }
    if (m_state == State::StatusSelect) {
        if (byte == ACK) {
            m_state = State::StatusSent;
            return StatusBlock();
        }
        if (byte == NAK) {
            ++m_statusTries;
            m_state = State::Idle;
            return std::string(1, static_cast<char>(EOT));
        }
        return {};
    }
    if (byte == ACK) {
        m_notes.push_back(Note{false, "the status of call " + m_pendingStatus->call + " reported"});
        m_pendingStatus.reset();
        m_state = State::Idle;
        return std::string(1, static_cast<char>(EOT));
    }
    if (byte == NAK) {
        if (++m_statusTries >= m_settings.retries) {
            m_state = State::Idle;
            return std::string(1, static_cast<char>(EOT));
        }
        return StatusBlock();
    }
    return {};
}

} // namespace velkor::gateway
