#include "panel_station.h"

#include "frame_decoder.h"
#include "frames/espa.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace velkor::sim {
namespace {

using namespace velkor::espa;
using Clock = std::chrono::steady_clock;

constexpr int ANSWER_MS = 3000;
constexpr int TRIES = 3;

std::string Bytes(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// "select station 2". (Appended: GCC 12 at -O3 warns falsely, -Wrestrict, on "text" + std::string(...).)
std::string Station(const char* what, char station) {
    std::string text = what;
    text += " station ";
    text += station;
    return text;
}

} // namespace

std::optional<PanelCall> ParsePanelCall(const std::string& line) {
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    PanelCall call;
    if (!text.empty() && text.front() == '!') {
        call.high = true;
        text.remove_prefix(1);
    }
    const std::size_t space = text.find(' ');
    call.address = std::string(text.substr(0, space));
    if (call.address.empty() || call.address.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    if (space != std::string_view::npos) {
        call.message = std::string(text.substr(space + 1));
    }
    return call;
}

PanelStation::PanelStation(int master, PanelOptions options, std::function<void(const std::string&)> print)
    : m_master(master), m_options(std::move(options)), m_print(std::move(print)) {}

void PanelStation::Say(const std::string& dir, const std::string& bytes, const std::string& meaning) {
    if (m_options.json) {
        m_print("{\"dir\":\"" + dir + "\",\"bytes\":" + JsonString(Readable(bytes)) +
                ",\"meaning\":" + JsonString(meaning) + "}");
    } else {
        m_print((dir == "out" ? "panel -> " : "panel <- ") + Readable(bytes) +
                (meaning.empty() ? "" : "   (" + meaning + ")"));
    }
}

void PanelStation::Send(const std::string& bytes, const std::string& meaning) {
    Say("out", bytes, meaning);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_lineGone = true;
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string PanelStation::Answer(int waitMs, const std::string& enough) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    bool afterEtx = false;
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd fd{m_master, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0) {
            continue;
        }
        char byte = 0;
        const ssize_t n = read(m_master, &byte, 1);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            // EIO: nobody has the port open; the paging system is not there.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        got += static_cast<char>(byte & 0x7F);
        if (afterEtx) {
            break; // the BCC
        }
        if (static_cast<uint8_t>(got.back()) == ETX &&
            enough.find(static_cast<char>(ETX)) != std::string::npos) {
            afterEtx = true;
            continue;
        }
        if (enough.find(got.back()) != std::string::npos && got.back() != static_cast<char>(ETX)) {
            break;
        }
    }
    return got;
}

bool PanelStation::SendCall(const PanelCall& call) {
    if (m_options.garbage) {
        std::uniform_int_distribution<int> byte(0x20, 0x7E);
        std::string noise;
        for (int i = 0; i < 12; ++i) {
            noise += static_cast<char>(byte(m_random));
        }
        noise += Bytes({ENQ, ACK, STX, ETX, US, RS});
        Send(noise, "noise");
        Send(Bytes({EOT, static_cast<uint8_t>(m_options.station), ENQ,
                    static_cast<uint8_t>(m_options.pagingSystem), ENQ}),
             Station("select", m_options.pagingSystem));
        Say("in", Answer(ANSWER_MS, Bytes({ACK, NAK})), "");
        Send(Bytes({SOH, '1', STX, '1', US}) + call.address.substr(0, 1), "half a block, then silence");
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    }
    bool selected = false;
    for (int i = 0; i < TRIES && !selected && !m_lineGone; ++i) {
        Send(Bytes({EOT, static_cast<uint8_t>(m_options.station), ENQ,
                    static_cast<uint8_t>(m_options.pagingSystem), ENQ}),
             Station("select", m_options.pagingSystem));
        const std::string answer = Answer(ANSWER_MS, Bytes({ACK, NAK, EOT}));
        selected = answer.find(static_cast<char>(ACK)) != std::string::npos;
        Say("in", answer, answer.empty() ? "no answer" : selected ? "selected" : "refused");
    }
    if (!selected) {
        Send(Bytes({EOT}), "end: the paging system does not answer");
        return false;
    }
    std::vector<Record> records = {Record{CALL_ADDRESS, call.address}};
    if (!call.message.empty()) {
        records.push_back(Record{DISPLAY_MESSAGE, call.message});
    }
    records.push_back(Record{BEEP_CODING, "1"});
    records.push_back(Record{CALL_TYPE, "1"});
    records.push_back(Record{TRANSMISSIONS, "1"});
    records.push_back(Record{PRIORITY, call.high ? "2" : "1"});
    const std::string block = BuildBlock(CALL_TO_PAGER, records);
    const std::string meaning = "call " + call.address +
                                (call.message.empty() ? "" : " \"" + call.message + "\"") +
                                (call.high ? ", priority 2" : "");
    bool taken = false;
    for (int i = 0; i <= TRIES && !taken && !m_lineGone; ++i) {
        std::string bytes = block;
        const bool spoilt = m_options.badBcc && i == 0;
        if (spoilt) {
            bytes.back() = static_cast<char>(bytes.back() ^ 0x21);
        }
        Send(bytes, meaning + (spoilt ? ", with a wrong BCC" : i > 0 ? ", again" : ""));
        const std::string answer = Answer(ANSWER_MS, Bytes({ACK, NAK}));
        taken = answer.find(static_cast<char>(ACK)) != std::string::npos;
        Say("in", answer,
            taken                                                      ? "taken"
            : answer.find(static_cast<char>(NAK)) != std::string::npos ? "NAK: sent again"
                                                                       : "no answer");
    }
    Send(Bytes({EOT}), taken ? "end" : "end: the call was not taken");
    Poll();
    return taken;
}

void PanelStation::Poll() {
    Send(Bytes({EOT, static_cast<uint8_t>(m_options.pagingSystem), ENQ}),
         Station("poll", m_options.pagingSystem));
    const std::string answer = Answer(ANSWER_MS, Bytes({EOT, ENQ}));
    if (answer.empty() || answer.back() != static_cast<char>(ENQ)) {
        Say("in", answer, answer.empty() ? "no answer" : "nothing to report");
        return;
    }
    Say("in", answer, "the paging system has a report");
    Send(Bytes({ACK}), "go on");
    const std::string block = Answer(ANSWER_MS, Bytes({ETX}));
    const std::size_t soh = block.find(static_cast<char>(SOH));
    const std::size_t stx = block.find(static_cast<char>(STX));
    if (soh == std::string::npos || stx == std::string::npos || block.size() < stx + 3 ||
        static_cast<uint8_t>(block[block.size() - 2]) != ETX ||
        BlockCheck(std::string_view(block).substr(soh + 1, block.size() - soh - 2)) !=
            static_cast<uint8_t>(block.back())) {
        Say("in", block, "not a whole block");
        Send(Bytes({NAK}), "");
        Answer(ANSWER_MS, Bytes({EOT}));
        return;
    }
    std::string meaning = "status";
    if (auto records = ParseRecords(std::string_view(block).substr(stx + 1, block.size() - stx - 3))) {
        for (const Record& record : *records) {
            meaning += ", " + RecordName(record.id) + " " + record.value;
        }
    }
    Say("in", block, meaning);
    Send(Bytes({ACK}), "");
    Say("in", Answer(ANSWER_MS, Bytes({EOT})), "");
}

int PanelStation::Run(const volatile std::sig_atomic_t& stop) {
    bool input = true;
    std::string typed;
    auto nextCall = m_options.everySeconds > 0 ? Clock::now() : Clock::time_point::max();
    auto nextPoll = m_options.pollSeconds > 0 ? Clock::now() + std::chrono::seconds(m_options.pollSeconds)
                                              : Clock::time_point::max();
    while (stop == 0 && !m_lineGone) {
        if (!input && m_options.everySeconds == 0) {
            return 0; // every call typed was sent
        }
        const auto next = std::min(nextCall, nextPoll);
        const int wait =
            next == Clock::time_point::max()
                ? 1000
                : static_cast<int>(std::clamp<long long>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count(), 0,
                      1000));
        pollfd fds[2] = {{input ? STDIN_FILENO : -1, POLLIN, 0}, {m_master, POLLIN, 0}};
        poll(fds, 2, wait);
        if ((fds[1].revents & POLLIN) != 0) {
            char buffer[256];
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                Say("in", std::string(buffer, static_cast<std::size_t>(n)), "unasked");
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50)); // nobody has the port open
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[512];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                input = false;
                typed += '\n'; // a last line without its line break
            } else {
                typed.append(buffer, static_cast<std::size_t>(n));
            }
            for (std::size_t end = typed.find('\n'); end != std::string::npos; end = typed.find('\n')) {
                const std::string line = typed.substr(0, end);
                typed.erase(0, end + 1);
                if (std::optional<PanelCall> call = ParsePanelCall(line)) {
                    SendCall(*call);
                } else if (line.find_first_not_of(" \r") != std::string::npos) {
                    m_print("velkor-sim: not a call (NUMBER [MESSAGE], ! first for priority 2): " + line);
                }
            }
        }
        if (Clock::now() >= nextCall) {
            if (std::optional<PanelCall> call = ParsePanelCall(m_options.call)) {
                SendCall(*call);
            }
            nextCall = Clock::now() + std::chrono::seconds(m_options.everySeconds);
        }
        if (Clock::now() >= nextPoll) {
            Poll();
            nextPoll = Clock::now() + std::chrono::seconds(m_options.pollSeconds);
        }
    }
    return 0;
}

} // namespace velkor::sim
