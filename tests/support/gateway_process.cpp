#include "support/gateway_process.h"

#include "support/eventually.h"
#include "support/loopback.h"

#include <csignal>
#include <poll.h>
#include <string_view>
#include <unistd.h>

bool HttpAnswers(int port) {
    const int socket = ConnectLoopback(port);
    if (socket < 0) {
        return false;
    }
    constexpr std::string_view request = "GET /v1/health HTTP/1.0\r\n\r\n";
    bool answered = ::write(socket, request.data(), request.size()) == static_cast<ssize_t>(request.size());
    if (answered) {
        pollfd ready{socket, POLLIN, 0};
        char head[8] = {};
        answered = ::poll(&ready, 1, 1000) == 1 && ::read(socket, head, sizeof head) > 5 &&
                   std::string_view(head, 5) == "HTTP/";
    }
    ::close(socket);
    return answered;
}

GatewayProcess::GatewayProcess(const GatewaySetup& setup)
    : m_http(FreeLoopbackPort()), m_snpp(FreeLoopbackPort()) {
    const std::string environment =
        setup.sequenceDir.empty() ? std::string() : "VELKOR_SEQUENCE_DIR=\"" + setup.sequenceDir + "\" ";
    std::vector<std::string> args = {"/bin/sh",
                                     "-c",
                                     environment + "exec \"$0\" \"$@\" 2>>\"" + setup.log + "\"",
                                     setup.program,
                                     "--port",
                                     setup.port,
                                     "--db",
                                     setup.database,
                                     "--http",
                                     "127.0.0.1:" + std::to_string(m_http),
                                     "--snpp",
                                     "127.0.0.1:" + std::to_string(m_snpp)};
    args.insert(args.end(), setup.extra.begin(), setup.extra.end());
    m_process = std::make_unique<ChildProcess>(args);
    Eventually([this] { return HttpAnswers(m_http); }, std::chrono::seconds(10));
}

GatewayProcess::~GatewayProcess() {
    if (m_process) {
        Stop(SIGTERM);
    }
}

int GatewayProcess::Stop(int signal) {
    m_process->Signal(signal);
    const int status = m_process->Wait(std::chrono::seconds(15));
    m_process.reset();
    return status;
}
