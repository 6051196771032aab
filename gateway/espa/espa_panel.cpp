#include "gateway/espa/espa_panel.h"

#include "frames/strict_text.h"
#include "frames/text_encoding.h"
#include "gateway/intake/page_text.h"
#include "gateway/log/log.h"
#include "gateway/queue/clock.h"
#include "serial/port_failure.h"

#include <algorithm>

namespace velkor::gateway {
namespace {

using Clock = std::chrono::steady_clock;

} // namespace

bool ParsePanelLine(std::string_view text, PanelSettings* settings, std::string* error) {
    const std::size_t comma = text.find(',');
    const std::string rate(text.substr(0, comma));
    const std::optional<int> baud = ParseBaudRate(rate);
    if (!baud) {
        *error = rate + ": not a baud rate of the port page's list (1200 to 115200)";
        return false;
    }
    settings->baudRate = *baud;
    if (comma == std::string_view::npos) {
        return true;
    }
    const std::string frame(text.substr(comma + 1));
    if (frame.size() != 3 || (frame[0] != '7' && frame[0] != '8') || frame[2] != '1') {
        *error = frame + ": data bits, parity and stop bits as 7E1 or 8N1 (7 or 8; N, E or O; 1)";
        return false;
    }
    switch (frame[1]) {
    case 'N':
    case 'n':
        settings->parity = Parity::None;
        break;
    case 'E':
    case 'e':
        settings->parity = Parity::Even;
        break;
    case 'O':
    case 'o':
        settings->parity = Parity::Odd;
        break;
    default:
        *error = frame + ": the parity is N, E or O";
        return false;
    }
    settings->dataBits = frame[0] - '0';
    return true;
}

bool ParsePanelReset(std::string_view text, PanelSettings* settings, std::string* error) {
    if (text.size() < 3 || text[1] != '=' || text[0] < '1' || text[0] > '9') {
        *error = std::string(text) + ": RECORD=VALUE, a record's digit and its value, as 4=0";
        return false;
    }
    settings->resetRecord = text[0];
    settings->resetValue = std::string(text.substr(2));
    return true;
}

std::string CallCause(const PanelSettings& settings, const std::string& call) {
    return "espa " + settings.port + " " + call;
}

AnswerSettings CallAnswers(const PanelSettings& settings, const WatchNames& names, const std::string& call) {
    AnswerSettings answers = settings.answers;
    if (std::optional<WatchNames::Called> called = names.FindCall(call);
        called && !called->escalation.empty()) {
        answers.escalate = called->escalation;
    }
    return answers;
}

NewPage CallPage(const std::vector<espa::Record>& records, const WatchNames& names,
                 const std::vector<QuickText>& texts, const PanelSettings& settings) {
    NewPage page;
    page.source = "espa " + settings.port;
    const std::string* address = espa::FindRecord(records, espa::CALL_ADDRESS);
    const std::string* message = espa::FindRecord(records, espa::DISPLAY_MESSAGE);
    const std::string* priority = espa::FindRecord(records, espa::PRIORITY);
    const std::string call = address ? std::string(TrimBlanks(*address)) : std::string();
    std::string text = message ? std::string(TrimBlanks(*message)) : std::string();
    if (text.empty()) {
        text = Replaced(settings.defaultText, "{call}", call);
    } else {
        const auto quick =
            std::find_if(texts.begin(), texts.end(), [&text](const QuickText& q) { return q.label == text; });
        if (quick != texts.end()) {
            text = quick->text;
        }
    }
    page.text = FitPageText(text);
    page.priority = priority && TrimBlanks(*priority) == "2" ? Priority::High : Priority::Normal;
    page.cause = call.empty() ? "" : CallCause(settings, call);
    for (const espa::Record& record : records) {
        if (record.id == espa::CALL_ADDRESS || record.id == espa::DISPLAY_MESSAGE) {
            continue;
        }
        page.details.push_back(
            Detail{espa::RecordCode(record.id), espa::RecordName(record.id), espa::Readable(record.value)});
    }
    if (call.empty()) {
        page.failure = Reason{"the call has no call address (record 1)", "call_without_address"};
    } else if (call.size() > MAX_CALL_DIGITS || call.find_first_not_of("0123456789") != std::string::npos) {
        // Built piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "\"" + std::string(...).
        std::string reason = "\"";
        reason += espa::Readable(call);
        reason += "\" is not a call number";
        page.failure = Reason{std::move(reason), "call_not_a_number"};
    } else if (std::optional<WatchNames::Called> called = names.FindCall(call)) {
        page.recipients.push_back(called->watch);
    } else {
        page.failure = Reason{"no watch has the call number " + call + " (the watch list's call column)",
                              "call_unknown"};
    }
    if (page.failure) {
        return page;
    }
    try {
        std::variant<PageText, std::string> checked = CheckPageText(page.text, Charset::Utf8);
        if (auto* reason = std::get_if<std::string>(&checked)) {
            page.failure = Reason{"the text cannot be paged: " + *reason, "text_not_pageable"};
        } else {
            page.gbk = std::get<PageText>(checked).gbk;
        }
    } catch (const TextConversionError& error) {
        page.failure =
            Reason{std::string("the text cannot be converted: ") + error.what(), "text_not_pageable"};
    }
    return page;
}

EspaPanel::EspaPanel(Intake& intake, PanelSettings settings, std::vector<QuickText> texts)
    : m_intake(intake), m_settings(std::move(settings)), m_texts(std::move(texts)),
      m_keeper("panel port " + m_settings.port, "cannot open the panel port ", "calls cannot come in"),
      m_station(StationSettings{m_settings.address, m_settings.silence, 3},
                [this](char header, const std::optional<std::vector<espa::Record>>& records,
                       const std::string& raw) { return OnBlock(header, records, raw); }) {
    m_health.port = m_settings.port;
}

EspaPanel::~EspaPanel() = default;

void EspaPanel::Stop() {
    m_stopping = true;
    m_port.Interrupt();
    m_port.Wake();
}

PanelHealth EspaPanel::CurrentHealth() {
    const PortState port = m_keeper.State();
    std::lock_guard lock(m_mutex);
    PanelHealth health = m_health;
    health.link = port;
    return health;
}

void EspaPanel::KeepPortOpen() {
    const bool lost = m_keeper.Keep(m_port, [this] {
        if (!m_port.Open(m_settings.port, m_settings.baudRate, m_settings.parity, m_settings.dataBits)) {
            return PortKeeper::NotOpened(m_settings.port, m_port);
        }
        m_station.Reset();
        std::string how = "open at ";
        how += std::to_string(m_settings.baudRate);
        how += " baud, ";
        how += std::to_string(m_settings.dataBits);
        how += " data bits, parity ";
        how += ParityName(m_settings.parity);
        how += ", station ";
        how += m_settings.address;
        return PortKeeper::Tried{true, how, {}};
    });
    if (lost) {
        m_station.Reset();
    }
}

void EspaPanel::Write(const std::string& bytes) {
    if (!m_port.Send({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()})) {
        LogWarning("panel port " + m_settings.port + ": " + espa::Readable(bytes) +
                   " not written: " + PortFailureText(m_settings.port, m_port.LastFailure()));
    }
}

BlockOutcome EspaPanel::OnBlock(char header, const std::optional<std::vector<espa::Record>>& records,
                                const std::string& raw) {
    const std::string from = "panel " + m_settings.port;
    if (header != espa::CALL_TO_PAGER) {
        LogLine(from + ": a block that is not a call (header " + espa::Readable({&header, 1}) +
                ") acknowledged, not paged: " + espa::Readable(raw));
        return BlockOutcome{true, false, std::nullopt, {}};
    }
    const std::string* address = records ? espa::FindRecord(*records, espa::CALL_ADDRESS) : nullptr;
    const std::string call = address ? std::string(TrimBlanks(*address)) : std::string();
    const std::shared_ptr<const WatchNames> names = m_intake.Names();
    const AnswerSettings answers = CallAnswers(m_settings, *names, call);
    // Only calls that wait for an answer have resets: elsewhere every call pages, as it always did.
    if (records && answers.Asks()) {
        const std::string* reset = espa::FindRecord(*records, m_settings.resetRecord);
        if (reset && TrimBlanks(*reset) == m_settings.resetValue) {
            return OnReset(*records);
        }
    }
    NewPage page;
    if (records) {
        page = CallPage(*records, *names, m_texts, m_settings);
    } else {
        page.source = "espa " + m_settings.port;
        page.text = FitPageText(espa::Readable(raw));
        page.failure = Reason{"the call's records cannot be read: " + espa::Readable(raw), "call_unreadable"};
    }
    if (!page.failure) {
        if (const std::string warning = AskForAnswer(page, answers, *m_intake.Policies()); !warning.empty()) {
            LogWarning(from + ": call " + call + ": " + warning);
        }
    }
    // Answered within the panel's wait for it: NAKed (nothing stored) when the queue does not take the
    // call in time, and not answered at all when it took it too late.
    const auto start = Clock::now();
    std::variant<int64_t, std::string> stored = m_intake.Submit(page, ANSWER_WITHIN);
    if (std::holds_alternative<std::string>(stored)) {
        // Not stored, not acknowledged: the panel sends it again.
        LogError(from + ": call " + call + " not stored, NAKed: " + std::get<std::string>(stored));
        return BlockOutcome{false, false, std::nullopt, {}};
    }
    {
        std::lock_guard lock(m_mutex);
        ++m_health.calls;
        m_health.lastCall = WallNow();
        if (page.failure) {
            ++m_health.unknownCalls;
        }
    }
    BlockOutcome outcome{true, Clock::now() - start > ANSWER_WITHIN, std::nullopt, call};
    if (m_settings.status) {
        outcome.status =
            espa::Record{espa::CALL_STATUS,
                         std::string(1, page.failure ? m_settings.statusFailed : m_settings.statusQueued)};
    }
    return outcome;
}

BlockOutcome EspaPanel::OnReset(const std::vector<espa::Record>& records) {
    const std::string from = "panel " + m_settings.port;
    const std::string* address = espa::FindRecord(records, espa::CALL_ADDRESS);
    const std::string call = address ? std::string(TrimBlanks(*address)) : std::string();
    try {
        const std::vector<int64_t> answered = m_intake.Store().Resolve(
            CallCause(m_settings, call), Answer{"acknowledged", from, "espa"}, QueueNow());
        std::string pages;
        for (const int64_t id : answered) {
            pages += (pages.empty() ? " " : ", ") + std::to_string(id);
        }
        LogLine(from + ": call " + call + " reset" +
                (answered.empty() ? std::string(": no page of it waits") : ": page" + pages + " answered"));
    } catch (const StoreError& error) {
        // Not stored, not acknowledged: the panel sends the reset again.
        LogError(from + ": the reset of call " + call + " not stored, NAKed: " + error.what());
        return BlockOutcome{false, false, std::nullopt, {}};
    }
    return BlockOutcome{true, false, std::nullopt, call};
}

void EspaPanel::Run() {
    while (!m_stopping) {
        KeepPortOpen();
        if (!m_port.IsOpen()) {
            const auto wait = std::clamp(
                std::chrono::duration_cast<std::chrono::milliseconds>(m_keeper.NextOpen() - Clock::now()),
                std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
            m_port.TakeBytes(wait);
            continue;
        }
        // Woken by bytes; otherwise often enough to drop a half block soon after its silence.
        const std::string bytes = m_port.TakeBytes(std::clamp(
            m_settings.silence / 2, std::chrono::milliseconds(50), std::chrono::milliseconds(500)));
        for (const char byte : bytes) {
            const std::string answer = m_station.Feed(static_cast<uint8_t>(byte), Clock::now());
            if (!answer.empty() && !m_stopping) {
                Write(answer);
            }
        }
        m_station.Tick(Clock::now());
        for (const EspaStation::Note& note : m_station.TakeNotes()) {
            LogLine("panel " + m_settings.port + ": " + note.text,
                    note.problem ? LogLevel::Warning : LogLevel::Info);
        }
        std::lock_guard lock(m_mutex);
        m_health.blocks = m_station.Blocks();
        m_health.naks = m_station.Naks();
        m_health.linkResets = m_station.Resets();
    }
    m_port.Close();
    LogLine("panel port " + m_settings.port + " closed");
}

} // namespace velkor::gateway
