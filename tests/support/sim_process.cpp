#include "sim_process.h"

#include "child_process.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {
std::atomic<int> g_counter{0};
}

SimProcess::SimProcess(std::vector<std::string> extra) {
    m_link = "/tmp/velkor-test-sim-" + std::to_string(getpid()) + "-" + std::to_string(g_counter++);
    std::vector<std::string> args = {VELKOR_SIM_PATH, "--json", "--link", m_link};
    args.insert(args.end(), extra.begin(), extra.end());
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    m_pid = fork();
    if (m_pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        ExecInChild(args);
    }
    close(pipeFds[1]);
    m_out = pipeFds[0];
    m_readyLine = WaitForLine("\"event\":\"ready\"", std::chrono::seconds(5));
}

SimProcess::~SimProcess() {
    Stop();
    if (m_out >= 0) {
        close(m_out);
    }
}

std::string SimProcess::ReadLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto newline = m_pending.find('\n'); newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {};
        }
        pollfd fd = {m_out, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0) {
            m_eof = true;
            return {};
        }
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string SimProcess::WaitForLine(const std::string& needle, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && !m_eof) {
        std::string line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (line.find(needle) != std::string::npos) {
            return line;
        }
    }
    return {};
}

int SimProcess::WaitExit(std::chrono::milliseconds timeout) {
    if (m_pid < 0) {
        return m_status;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        usleep(10000);
    }
    return -1;
}

void SimProcess::Signal(int signal) const {
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

void SimProcess::CloseOutput() {
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
    m_eof = true;
}

int SimProcess::Stop() {
    if (m_pid < 0) {
        return m_status;
    }
    kill(m_pid, SIGTERM);
    int rc = WaitExit(std::chrono::seconds(5));
    if (rc < 0) {
        kill(m_pid, SIGKILL);
        rc = WaitExit(std::chrono::seconds(5));
    }
    return rc;
}
