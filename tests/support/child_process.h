#pragma once
// A program run as a child process by a test, its standard output and error collected.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // Starts args[0] with the arguments, standard input from /dev/null.
    explicit ChildProcess(std::vector<std::string> args);
    ~ChildProcess(); // kills it if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the end, reading its output meanwhile; the exit status, 128 + the signal for a killed one,
    // or -1 after `timeout` (it is then killed).
    int Wait(std::chrono::milliseconds timeout);
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};
