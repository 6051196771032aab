#include "child_process.h"

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

void ExecInChild(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

ChildProcess::ChildProcess(std::vector<std::string> args, const Options& options) {
    int out[2];
    int err[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    m_pid = fork();
    if (m_pid == 0) {
        if (options.input.empty()) {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        } else {
            dup2(in[0], STDIN_FILENO);
        }
        if (options.asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        ExecInChild(args);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    // The input is small; it fits the pipe, so writing it here cannot block.
    if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) < 0) {
        close(in[1]);
        throw std::runtime_error("write to the child");
    }
    close(in[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_outFd, m_errFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ChildProcess::Signal(int signal) const {
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_outFd >= 0 || m_errFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return -1;
        }
        pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        int* ends[2] = {&m_outFd, &m_errFd};
        std::string* texts[2] = {&m_out, &m_err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = read(*ends[i], buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(*ends[i]);
                *ends[i] = -1;
            }
        }
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
