// velkor-gateway: pages from other software (HTTP, SNPP, MQTT, webhooks, a nurse-call panel) into one
// durable queue, sent to the watches through the transmitter on one serial port.

#include "gateway/app/gateway.h"
#include "gateway/app/options.h"
#include "gateway/app/service.h"
#include "gateway/log/log.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <pthread.h>

namespace velkor::gateway {
namespace {

// Each line of `text` after the program's name, as the other refusals at start.
void Refuse(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::fprintf(stderr, "velkor-gateway: %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

sigset_t Signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// The signals were blocked in every thread before they started; only this one takes them, and between
// them keeps the service manager told: the status line, and the watchdog while the sending loop turns.
// The signal that ended it.
int Supervise(Gateway& gateway) {
    ServiceManager service;
    service.Ready(StatusLine(gateway.Health()));
    const std::optional<std::chrono::milliseconds> watchdog = service.WatchdogEvery();
    const auto turn = std::min<std::chrono::milliseconds>(watchdog.value_or(std::chrono::seconds(5)),
                                                          std::chrono::seconds(5));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(turn);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(turn - seconds).count())};
    const sigset_t signals = Signals();
    while (true) {
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGHUP) {
            gateway.Reload();
        } else if (signal >= 0) {
            service.Stopping();
            return signal;
        } else {
            // A turn without a signal: a sending loop that has not turned for twice the watchdog's time is
            // stuck for good, and the service manager restarts the gateway once it stops being fed.
            if (watchdog && std::chrono::steady_clock::now() - gateway.LastTurn() < 2 * *watchdog) {
                service.FeedWatchdog();
            }
            service.Status(StatusLine(gateway.Health()));
        }
    }
}

int Serve(const Options& options) {
    Gateway gateway(options);
    std::string error;
    if (!gateway.Open(&error)) {
        Refuse(error);
        return 1;
    }
    gateway.Start();
    const int signal = Supervise(gateway);
    LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    gateway.Stop();
    return 0;
}

} // namespace
} // namespace velkor::gateway

int main(int argc, char** argv) {
    try {
        std::vector<std::string> arguments(argv + 1, argv + argc);
        velkor::gateway::ParsedOptions parsed = velkor::gateway::ParseOptions(arguments);
        if (!parsed.options) {
            std::fputs(parsed.output.c_str(), parsed.exitCode == 0 ? stdout : stderr);
            return parsed.exitCode;
        }
        // A client that goes away mid-reply must not end the gateway.
        std::signal(SIGPIPE, SIG_IGN);
        const sigset_t signals = velkor::gateway::Signals();
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        return velkor::gateway::Serve(*parsed.options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velkor-gateway: %s\n", error.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "velkor-gateway: unexpected failure\n");
        return 1;
    }
}
