// velkor-gateway: pages from other software (HTTP, SNPP) into one durable queue, sent to the watches
// through the transmitter on one serial port.

#include "espa_panel.h"
#include "http_api.h"
#include "intake.h"
#include "log.h"
#include "mqtt_link.h"
#include "options.h"
#include "page_store.h"
#include "resources/version.h"
#include "service.h"
#include "snpp_server.h"
#include "tokens.h"
#include "transmitter.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>

namespace velkor::gateway {
namespace {

// Creates the database's folder (private to the gateway's user) when it is missing.
bool PrepareFolder(const std::string& database, std::string* error) {
    const std::filesystem::path folder = std::filesystem::path(database).parent_path();
    if (folder.empty()) {
        return true;
    }
    std::error_code code;
    if (std::filesystem::exists(folder, code)) {
        return true;
    }
    if (!std::filesystem::create_directories(folder, code) && code) {
        *error = folder.string() + ": " + code.message();
        return false;
    }
    ::chmod(folder.c_str(), 0700);
    return true;
}

std::shared_ptr<const WatchNames> LoadWatches(const std::string& path, std::string* error) {
    if (path.empty()) {
        return std::make_shared<const WatchNames>();
    }
    std::optional<WatchNames> names = WatchNames::Load(path, error);
    if (!names) {
        return nullptr;
    }
    return std::make_shared<const WatchNames>(std::move(*names));
}

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

// A quick text or a hook whose recipient the watch list lacks fails every time it is used: said at start,
// and when the files are read again, so that a site hears of it before a call is lost.
void WarnOfUnknownRecipients(const Intake& intake, const std::vector<QuickText>& texts, const Hooks* hooks) {
    const auto check = [&intake](const std::string& what, const std::string& name) {
        const auto resolved = intake.Resolve(name);
        if (const auto* reason = std::get_if<std::string>(&resolved)) {
            LogWarning(what + ": " + *reason + "; its pages will be refused until the watch list has it");
        }
    };
    for (const QuickText& text : texts) {
        for (const std::string& name : SplitRecipients(text.to)) {
            check("quick text \"" + text.label + "\"", name);
        }
    }
    for (const std::string& hookName : hooks ? hooks->Names() : std::vector<std::string>{}) {
        for (const std::string& name : FixedRecipients(*hooks->Find(hookName))) {
            check("hook " + hookName, name);
        }
    }
}

int Serve(const Options& options) {
    std::string error;
    std::optional<Tokens> tokens;
    if (!options.tokenFile.empty()) {
        tokens = Tokens::Load(options.tokenFile, &error);
        if (!tokens) {
            std::fprintf(stderr, "velkor-gateway: %s\n", error.c_str());
            return 1;
        }
    }
    std::shared_ptr<const WatchNames> names = LoadWatches(options.watches, &error);
    if (!names) {
        Refuse(error);
        return 1;
    }
    if (!PrepareFolder(options.database, &error)) {
        std::fprintf(stderr, "velkor-gateway: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<PageStore> store;
    try {
        store = std::make_unique<PageStore>(options.database);
    } catch (const StoreError& failure) {
        std::fprintf(stderr, "velkor-gateway: %s\n", failure.what());
        return 1;
    }

    Transmitter transmitter(
        *store, PortSettings{options.port, options.baudRate, options.parity, options.gap, options.keepDays});
    Intake intake(*store, transmitter, names);

    std::unique_ptr<MqttLink> mqtt;
    if (options.mqtt) {
        try {
            mqtt = std::make_unique<MqttLink>(intake, *options.mqtt);
        } catch (const std::runtime_error& failure) {
            std::fprintf(stderr, "velkor-gateway: %s\n", failure.what());
            return 1;
        }
        store->OnStateChange([&mqtt](int64_t id) { mqtt->PageChanged(id); });
    }

    Refusals refusals;
    std::unique_ptr<SnppServer> snpp;
    if (options.snpp) {
        const int listener = ListenOn(*options.snpp, &error);
        if (listener < 0) {
            std::fprintf(stderr, "velkor-gateway: snpp: %s\n", error.c_str());
            return 1;
        }
        SnppHooks hooks;
        hooks.resolve = [&intake](std::string_view text) { return intake.Resolve(text); };
        hooks.submit = [&intake](const NewPage& page) { return intake.Submit(page); };
        hooks.refused = [&refusals](std::string_view reply) {
            const std::string code(reply.substr(0, 3));
            refusals.Count("snpp", code == "421" ? "hung_up" : "reply_" + code, std::string(reply));
        };
        if (tokens) {
            hooks.login = [&tokens](std::string_view user, std::string_view password) {
                return tokens->Login(user, password);
            };
        }
        snpp = std::make_unique<SnppServer>(listener, hooks, options.snppCharset);
    }
    ConsoleSettings console;
    if (!options.texts.empty()) {
        std::optional<std::vector<QuickText>> texts = LoadQuickTexts(options.texts, &error);
        if (!texts) {
            Refuse(error);
            return 1;
        }
        console.texts = std::move(*texts);
    }
    if (options.http && !options.consoleOff) {
        console.folder = ConsoleFolder(options.console, "/proc/self/exe");
        if (!options.console.empty() &&
            !std::filesystem::exists(std::filesystem::path(options.console) / "index.html")) {
            std::fprintf(stderr, "velkor-gateway: --console %s: no index.html there\n",
                         options.console.c_str());
            return 1;
        }
    }
    std::unique_ptr<EspaPanel> panel;
    if (!options.panel.port.empty()) {
        panel = std::make_unique<EspaPanel>(intake, options.panel, console.texts);
    }
    std::unique_ptr<HttpApi> http;
    std::shared_ptr<const Hooks> loadedHooks;
    if (options.http) {
        http = std::make_unique<HttpApi>(intake, tokens, mqtt.get(), console, options.alerts);
        http->SetRefusals(refusals);
        http->SetPanel(panel.get());
        if (!options.hooks.empty()) {
            std::optional<Hooks> hooks = Hooks::Load(options.hooks, &error);
            if (!hooks) {
                Refuse(error);
                return 1;
            }
            loadedHooks = std::make_shared<const Hooks>(std::move(*hooks));
            http->SetHooks(loadedHooks);
        }
        if (!http->Bind(*options.http, &error)) {
            std::fprintf(stderr, "velkor-gateway: http: %s\n", error.c_str());
            return 1;
        }
    }

    LogLine(
        std::string("velkor-gateway ") + VELKOR_VERSION + ": HTTP " +
        (options.http ? options.http->Text() : "off") + ", SNPP " +
        (options.snpp ? options.snpp->Text() + " (" + CharsetName(options.snppCharset) + ")" : "off") +
        ", database " + options.database + ", " + std::to_string(names->Size()) + " watch names" +
        (tokens ? ", tokens required" : "") +
        (options.http ? (console.folder.empty() ? ", no console" : ", console from " + console.folder) : "") +
        (options.mqtt
             ? ", broker " + options.mqtt->url + " as " + options.mqtt->prefix + "/" + options.mqtt->name
             : std::string()) +
        (panel ? ", panel on " + options.panel.port : std::string()));

    std::thread sending([&transmitter] { transmitter.Run(); });
    std::thread snppThread;
    if (snpp) {
        snppThread = std::thread([&snpp] { snpp->Run(); });
    }
    std::thread httpThread;
    if (http) {
        httpThread = std::thread([&http] { http->Run(); });
    }
    std::thread mqttThread;
    if (mqtt) {
        mqttThread = std::thread([&mqtt] { mqtt->Run(); });
    }
    std::thread panelThread;
    if (panel) {
        panelThread = std::thread([&panel] { panel->Run(); });
    }

    // The signals were blocked in every thread before they started; only this one takes them, and between
    // them keeps the service manager told: the status line, and the watchdog while the sending loop turns.
    ServiceManager service;
    const auto statusLine = [&transmitter, &mqtt, &panel] {
        const Health health = transmitter.CurrentHealth();
        std::string line = "port " + health.port + (health.open ? " open" : " not open") + ", " +
                           std::to_string(health.queueDepth) + " queued";
        if (!health.storeProblem.empty()) {
            line += ", the queue cannot be stored";
        }
        if (!health.sequenceProblem.empty()) {
            line += ", sequence numbers counted in the queue";
        }
        if (health.drainSeconds > 0) {
            line += ", pages will expire unsent";
        }
        if (mqtt) {
            line += mqtt->CurrentHealth().connected ? ", broker connected" : ", broker not connected";
        }
        if (panel) {
            const PanelHealth calls = panel->CurrentHealth();
            line +=
                calls.open ? ", panel open, " + std::to_string(calls.calls) + " calls" : ", panel not open";
        }
        return line;
    };
    WarnOfUnknownRecipients(intake, console.texts, loadedHooks.get());
    service.Ready(statusLine());
    const std::optional<std::chrono::milliseconds> watchdog = service.WatchdogEvery();
    const auto turn = std::min<std::chrono::milliseconds>(watchdog.value_or(std::chrono::seconds(5)),
                                                          std::chrono::seconds(5));
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    int signal = 0;
    while (true) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(turn);
        const timespec wait{static_cast<time_t>(seconds.count()),
                            static_cast<long>(std::chrono::nanoseconds(turn - seconds).count())};
        signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal < 0) {
            // A turn without a signal: a sending loop that has not turned for twice the watchdog's time is
            // stuck for good, and the service manager restarts the gateway once it stops being fed.
            if (watchdog && std::chrono::steady_clock::now() - transmitter.LastTurn() < 2 * *watchdog) {
                service.FeedWatchdog();
            }
            service.Status(statusLine());
            continue;
        }
        if (signal != SIGHUP) {
            break;
        }
        if (http && !options.hooks.empty()) {
            std::optional<Hooks> hooks = Hooks::Load(options.hooks, &error);
            if (hooks) {
                const std::size_t count = hooks->Names().size();
                loadedHooks = std::make_shared<const Hooks>(std::move(*hooks));
                http->SetHooks(loadedHooks);
                LogLine("hooks file read again: " + std::to_string(count) + " hooks");
            } else {
                std::replace(error.begin(), error.end(), '\n', ';');
                LogError("hooks file not read again, the old one stays: " + error);
            }
        }
        std::shared_ptr<const WatchNames> reloaded = LoadWatches(options.watches, &error);
        if (reloaded) {
            intake.SetWatchNames(reloaded);
            LogLine("watch list read again: " + std::to_string(reloaded->Size()) + " names");
            WarnOfUnknownRecipients(intake, console.texts, loadedHooks.get());
        } else {
            std::replace(error.begin(), error.end(), '\n', ';');
            LogError("watch list not read again, the old one stays: " + error);
        }
    }
    service.Stopping();
    LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    if (mqtt) {
        mqtt->Stop();
        mqttThread.join();
    }
    if (http) {
        http->Stop();
        httpThread.join();
    }
    if (snpp) {
        snpp->Stop();
        snppThread.join();
    }
    if (panel) {
        panel->Stop();
        panelThread.join();
    }
    transmitter.Stop();
    sending.join();
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
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
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
