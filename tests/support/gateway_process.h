#pragma once
// velkor-gateway as a process of a test or of the benchmark: on two free loopback ports, its standard error
// in a file (so that a long run never fills a pipe and blocks it), ready once its HTTP API answers.

#include "support/child_process.h"

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

struct GatewaySetup {
    std::string program;            // the velkor-gateway to run
    std::string port;               // the transmitter's (--port)
    std::string database;           // --db
    std::vector<std::string> extra; // further options
    std::string log = "/dev/null";  // where its standard error goes (appended)
    std::string sequenceDir;        // VELKOR_SEQUENCE_DIR, "" for the environment's
};

class GatewayProcess {
public:
    // Starts it, and waits up to 10 s for its HTTP API to answer.
    explicit GatewayProcess(const GatewaySetup& setup);
    ~GatewayProcess(); // SIGTERM, if it still runs
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    int HttpPort() const { return m_http; }
    int SnppPort() const { return m_snpp; }
    // The gateway's own PID (the shell that starts it execs it).
    pid_t Pid() const { return m_process->Pid(); }
    bool Running() const { return m_process != nullptr; }
    void Signal(int signal) const { m_process->Signal(signal); }
    // Sends `signal` and waits for the end: the exit status (-1 when it did not end within 15 s).
    int Stop(int signal);

private:
    int m_http;
    int m_snpp;
    std::unique_ptr<ChildProcess> m_process;
};

// Whether the HTTP server on 127.0.0.1:`port` answers a request (any status) within a second.
bool HttpAnswers(int port);
