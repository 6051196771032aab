#pragma once
// A program run as a child process by a test, its standard output and error collected.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// In a forked child: runs args[0] with the arguments; exits with 127 when it cannot.
[[noreturn]] void ExecInChild(std::vector<std::string>& args);

class ChildProcess {
public:
    struct Options {
        std::string input;     // standard input (empty: /dev/null)
        bool asNobody = false; // run as the unprivileged user 65534, with no groups
    };
    // Starts args[0] with the arguments.
    explicit ChildProcess(std::vector<std::string> args) : ChildProcess(std::move(args), Options{}) {}
    ChildProcess(std::vector<std::string> args, const Options& options);
    ~ChildProcess(); // kills it if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the end, reading its output meanwhile; the exit status, 128 + the signal for a killed one,
    // or -1 after `timeout` (it is then killed).
    int Wait(std::chrono::milliseconds timeout);
    // Sends `signal` to it, as a terminal, a service manager or a log-out would.
    void Signal(int signal) const;
    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};
