#pragma once
// velkor-sim run as a child process, its JSON lines read back by the test.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class SimProcess {
public:
    // Starts velkor-sim --json --link LINK plus `extra`, and waits for its ready line.
    explicit SimProcess(std::vector<std::string> extra = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& Link() const { return m_link; }
    bool Ready() const { return !m_readyLine.empty(); }
    const std::string& ReadyLine() const { return m_readyLine; }
    // The next line that contains `needle`, or "" after `timeout`.
    std::string WaitForLine(const std::string& needle, std::chrono::milliseconds timeout);
    // Sends SIGTERM and waits; returns the exit status.
    int Stop();
    // Waits for the process to end by itself; -1 after `timeout`.
    int WaitExit(std::chrono::milliseconds timeout);
    void Signal(int signal) const;
    // Closes our end of its output, as a reader such as `head -1` does when it has what it wants.
    void CloseOutput();

private:
    std::string ReadLine(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_link;
    std::string m_pending;
    std::string m_readyLine;
    bool m_eof = false;
    int m_status = -1;
};
