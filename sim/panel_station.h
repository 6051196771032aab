#pragma once
// A nurse-call or alarm panel (the control station of an ESPA 4.4.4 line) played on the master side of a
// pseudo-terminal: it selects the paging system and sends it calls, polls it, and prints each exchange.

#include <atomic>
#include <csignal>
#include <functional>
#include <optional>
#include <random>
#include <string>

namespace velkor::sim {

struct PanelOptions {
    char station = '1'; // the panel's own address
    char pagingSystem = '2';
    long everySeconds = 0; // a call every N seconds (the --call text), besides those typed
    std::string call = "100 CALL";
    long pollSeconds = 0; // an idle poll every N seconds; 0 polls only after a call
    bool badBcc = false;  // each block goes out first with a wrong BCC
    bool garbage = false; // noise and a half block before each call
    bool json = false;
};

// A typed call: "550 CALL ME 101"; a leading ! asks for priority 2. nullopt for a line that is no call.
struct PanelCall {
    std::string address;
    std::string message;
    bool high = false;
};
std::optional<PanelCall> ParsePanelCall(const std::string& line);

class PanelStation {
public:
    PanelStation(int master, PanelOptions options, std::function<void(const std::string&)> print);
    // Until `stop` is set, standard input ends (with no --every) or the line is gone; the exit status.
    int Run(const volatile std::sig_atomic_t& stop);

private:
    bool SendCall(const PanelCall& call);
    void Poll();
    // What came back within `wait` ms, printed; stops early after one of `enough` bytes.
    std::string Answer(int waitMs, const std::string& enough);
    void Send(const std::string& bytes, const std::string& meaning);
    void Say(const std::string& dir, const std::string& bytes, const std::string& meaning);

    int m_master;
    PanelOptions m_options;
    std::function<void(const std::string&)> m_print;
    std::mt19937 m_random{19840101};
    bool m_lineGone = false;
};

} // namespace velkor::sim
