#pragma once
// A nurse-call or alarm panel on a serial port of its own: its calls become pages. The port is kept open
// as the transmitter's is (exclusive, the reason when it cannot be, reopened every 2 s when lost); a call
// is acknowledged to the panel only once its page is stored.
//
// Threads: Run on a thread of its own; Stop and CurrentHealth from any thread.

#include "gateway/espa/espa_station.h"
#include "gateway/intake/answer_settings.h"
#include "gateway/intake/intake.h"
#include "gateway/intake/quick_texts.h"
#include "gateway/transmit/port_keeper.h"
#include "serial/device_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velkor::gateway {

// The page of a call without a display message; {call} is its number.
inline constexpr const char* DEFAULT_CALL_TEXT = "呼叫 {call}";

struct PanelSettings {
    std::string port; // empty: no panel
    int baudRate = 9600;
    Parity parity = Parity::Even;
    int dataBits = 7;
    char address = '2';                          // the gateway's station address
    std::chrono::milliseconds silence{2000};     // a half block is dropped after this
    bool status = false;                         // report each call's outcome at the next poll
    char statusQueued = '1';                     // record 7's value for a call that became a page
    char statusFailed = '2';                     // and for one that did not (no watch has its number)
    std::string defaultText = DEFAULT_CALL_TEXT; // the page of a call without a display message
    // Whether a call's page waits for an answer (the reset at the bed), and repeats until then. A watch's
    // escalation policy in the watch list makes its calls wait for one too.
    AnswerSettings answers;
    // The record and value of a block that resets a call (the nurse at the bed): it answers the call's
    // page instead of paging. Panels differ; call type 0 by default.
    char resetRecord = espa::CALL_TYPE;
    std::string resetValue = "0";
};

// "4=0": the record (a digit) and value of a reset. False with the reason in `error`.
bool ParsePanelReset(std::string_view text, PanelSettings* settings, std::string* error);
// What ties a call's page to its reset: the panel's port and the call number.
std::string CallCause(const PanelSettings& settings, const std::string& call);

// "9600,7E1", "19200,8N1", "9600": the rate, then data bits, parity (N, E, O) and stop bits (1). nullopt
// with the reason in `error`.
bool ParsePanelLine(std::string_view text, PanelSettings* settings, std::string* error);

struct PanelHealth {
    std::string port;
    PortState link;      // open or not, since when and why
    uint64_t calls = 0;  // calls taken (each stored as a page, sent or failed)
    uint64_t blocks = 0; // blocks with a right BCC, calls included
    uint64_t naks = 0;
    uint64_t linkResets = 0;
    uint64_t unknownCalls = 0; // calls to a number no watch has
    double lastCall = 0;
};

// What a call to `call` asks of its page: the panel's answer settings, with the escalation policy the
// watch list gives the watch the number calls.
AnswerSettings CallAnswers(const PanelSettings& settings, const WatchNames& names, const std::string& call);
// The page a call makes: its watch by the call number, its text (a quick text's when the message is its
// label, the default without a message), priority '2' high, the other records kept for the record. A
// number no watch has makes a failed page with the reason.
NewPage CallPage(const std::vector<espa::Record>& records, const WatchNames& names,
                 const std::vector<QuickText>& texts, const PanelSettings& settings);

class EspaPanel {
public:
    EspaPanel(Intake& intake, PanelSettings settings, std::vector<QuickText> texts);
    ~EspaPanel();

    void Run();
    void Stop();
    PanelHealth CurrentHealth();
    // The longest a call waits for the queue before the panel is answered NAK: panels give up on an
    // answer after a second or two, and a late ACK would answer whatever the panel does next.
    static constexpr std::chrono::milliseconds ANSWER_WITHIN{1000};

private:
    void KeepPortOpen();
    BlockOutcome OnBlock(char header, const std::optional<std::vector<espa::Record>>& records,
                         const std::string& raw);
    void Write(const std::string& bytes);
    // A block that resets a call: the call's waiting pages answered, nothing paged.
    BlockOutcome OnReset(const std::vector<espa::Record>& records);

    Intake& m_intake;
    const PanelSettings m_settings;
    const std::vector<QuickText> m_texts;
    DeviceLink m_port{ReceiveMode::Bytes};
    PortKeeper m_keeper;
    EspaStation m_station;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex; // guards m_health
    PanelHealth m_health;
};

} // namespace velkor::gateway
