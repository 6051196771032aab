// The tests' gateway launcher as a program, for the tests that are not C++ (the browser tests): starts
// velkor-gateway as GatewayProcess does, says its ports, and stops it when its standard input closes.
//
//   velkor-test-gateway PROGRAM PORT DATABASE LOG [OPTION...]
//
// Prints {"http": N, "snpp": N, "pid": N} once the HTTP API answers (or {"error": ...}); on end of input,
// SIGTERM, then {"status": N} with the gateway's exit status. Exits 0 when that status is 0.

#include "support/gateway_process.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: velkor-test-gateway PROGRAM PORT DATABASE LOG [OPTION...]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    GatewaySetup setup{argv[1], argv[2], argv[3], std::vector<std::string>(argv + 5, argv + argc),
                       argv[4], ""};
    if (const char* sequence = std::getenv("VELKOR_SEQUENCE_DIR")) {
        setup.sequenceDir = sequence;
    }
    GatewayProcess gateway(setup);
    if (!HttpAnswers(gateway.HttpPort())) {
        std::printf("{\"error\": \"the gateway's HTTP API did not answer within 10 s\"}\n");
        std::fflush(stdout);
        return 1;
    }
    std::printf("{\"http\": %d, \"snpp\": %d, \"pid\": %d}\n", gateway.HttpPort(), gateway.SnppPort(),
                static_cast<int>(gateway.Pid()));
    std::fflush(stdout);
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
        // anything written is ignored; the end of input stops the gateway
    }
    const int status = gateway.Stop(SIGTERM);
    std::printf("{\"status\": %d}\n", status);
    std::fflush(stdout);
    return status == 0 ? 0 : 1;
}
