#include "gateway/app/gateway.h"

#include "gateway/intake/line_words.h"

#include "frames/version.h"
#include "gateway/http/console_files.h"
#include "gateway/log/log.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

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
    return names ? std::make_shared<const WatchNames>(std::move(*names)) : nullptr;
}

std::shared_ptr<const Hooks> LoadHooks(const std::string& path, std::string* error) {
    std::optional<Hooks> hooks = Hooks::Load(path, error);
    return hooks ? std::make_shared<const Hooks>(std::move(*hooks)) : nullptr;
}

// A reason of several lines as one line of the log.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

template <typename Piece> void StartThread(std::thread& thread, const std::unique_ptr<Piece>& piece) {
    if (piece) {
        thread = std::thread([&piece] { piece->Run(); });
    }
}

template <typename Piece> void StopThread(std::thread& thread, const std::unique_ptr<Piece>& piece) {
    if (piece && thread.joinable()) {
        piece->Stop();
        thread.join();
    }
}

} // namespace

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Open(std::string* error) {
    if (!m_options.tokenFile.empty()) {
        m_tokens = Tokens::Load(m_options.tokenFile, error);
        if (!m_tokens) {
            return false;
        }
    }
    if (!OpenQueue(error)) {
        return false;
    }
    if (m_options.mqtt) {
        try {
            m_mqtt = std::make_unique<MqttLink>(*m_intake, *m_options.mqtt);
        } catch (const std::runtime_error& failure) {
            *error = failure.what();
            return false;
        }
        m_store->OnStateChange([this](int64_t id) { m_mqtt->PageChanged(id); });
    }
    if (!OpenSnpp(error) || !OpenSmtp(error) || !OpenConsole(error)) {
        return false;
    }
    if (!m_options.panel.port.empty()) {
        m_panel = std::make_unique<EspaPanel>(*m_intake, m_options.panel, m_console.texts);
    }
    m_health = std::make_unique<HealthSources>(*m_transmitter, m_mqtt.get(), m_panel.get());
    return OpenSchedule(error) && OpenHttp(error);
}

namespace {

// The duty rosters at `path`; nullptr with every fault in `error`. A roster named like a watch or a group
// would take its pages: refused.
std::shared_ptr<const Rosters> LoadRosters(const std::string& path, const Intake& intake,
                                           std::string* error) {
    const std::optional<std::string> text = ReadWholeFile(path, error);
    if (!text) {
        return nullptr;
    }
    std::variant<Rosters, std::vector<RosterFault>> read = Rosters::Parse(*text);
    std::vector<std::string> faults;
    if (const auto* found = std::get_if<std::vector<RosterFault>>(&read)) {
        for (const RosterFault& fault : *found) {
            faults.push_back(RosterFaultText(path, fault));
        }
    } else {
        const Rosters& rosters = std::get<Rosters>(read);
        for (const RosterShift& shift : rosters.Shifts()) {
            if (std::holds_alternative<std::vector<Recipient>>(
                    ParseRecipient(shift.roster, *intake.Names()))) {
                faults.push_back(path + ":" + std::to_string(shift.line) + ":1: the roster \"" +
                                 shift.roster +
                                 "\" is named like a watch, a group, an address, a number or all");
            }
        }
    }
    if (!faults.empty()) {
        std::sort(faults.begin(), faults.end());
        faults.erase(std::unique(faults.begin(), faults.end()), faults.end());
        *error = JoinLines(faults);
        return nullptr;
    }
    return std::make_shared<const Rosters>(std::get<Rosters>(std::move(read)));
}

} // namespace

bool Gateway::OpenSchedule(std::string* error) {
    if (!m_options.rosters.empty()) {
        std::shared_ptr<const Rosters> rosters = LoadRosters(m_options.rosters, *m_intake, error);
        if (!rosters) {
            return false;
        }
        m_intake->SetRosters(rosters);
    }
    if (!m_options.escalations.empty()) {
        std::optional<Escalations> policies = Escalations::Load(m_options.escalations, error);
        if (!policies) {
            return false;
        }
        m_intake->SetPolicies(std::make_shared<const Escalations>(std::move(*policies)));
    }
    // Always: pages of a policy a file read before may still wait in the queue for their next step.
    m_escalator = std::make_unique<Escalator>(*m_intake, m_options.escalationPrefix);
    std::shared_ptr<const Schedule> schedule;
    if (!m_options.schedule.empty()) {
        std::optional<Schedule> read = Schedule::Load(m_options.schedule, error);
        if (!read) {
            return false;
        }
        schedule = std::make_shared<const Schedule>(std::move(*read));
    }
    if (schedule || m_options.setTime) {
        m_scheduler = std::make_unique<Scheduler>(*m_intake, schedule, m_options.setTime);
    }
    return true;
}

bool Gateway::OpenQueue(std::string* error) {
    std::shared_ptr<const WatchNames> names = LoadWatches(m_options.watches, error);
    if (!names || !PrepareFolder(m_options.database, error)) {
        return false;
    }
    try {
        m_store = std::make_unique<PageStore>(m_options.database);
    } catch (const StoreError& failure) {
        *error = failure.what();
        return false;
    }
    m_transmitter = std::make_unique<Transmitter>(*m_store, PortSettings{m_options.port, m_options.baudRate,
                                                                         m_options.parity, m_options.gap,
                                                                         m_options.keepDays});
    m_intake = std::make_unique<Intake>(*m_store, *m_transmitter, names);
    return true;
}

bool Gateway::OpenSnpp(std::string* error) {
    if (!m_options.snpp) {
        return true;
    }
    const int listener = ListenOn(*m_options.snpp, error);
    if (listener < 0) {
        *error = "snpp: " + *error;
        return false;
    }
    SnppHooks hooks;
    hooks.resolve = [this](std::string_view text) { return m_intake->Resolve(text); };
    hooks.submit = [this](const NewPage& given) {
        NewPage page = given;
        if (const std::string warning = AskForAnswer(page, m_options.snppAnswers, *m_intake->Policies());
            !warning.empty()) {
            LogWarning("snpp: " + warning);
        }
        return m_intake->Submit(page);
    };
    hooks.refused = [this](std::string_view reply) {
        const std::string code(reply.substr(0, 3));
        m_refusals.Count("snpp", code == "421" ? "hung_up" : "reply_" + code, std::string(reply));
    };
    if (m_tokens) {
        hooks.login = [this](std::string_view user, std::string_view password) {
            return m_tokens->Login(user, password);
        };
    }
    m_snpp = std::make_unique<SnppServer>(listener, hooks, m_options.snppCharset);
    return true;
}

bool Gateway::OpenSmtp(std::string* error) {
    if (!m_options.smtp) {
        return true;
    }
    const int listener = ListenOn(*m_options.smtp, error);
    if (listener < 0) {
        *error = "smtp: " + *error;
        return false;
    }
    SmtpHooks hooks;
    hooks.resolve = [this](std::string_view name) { return m_intake->Resolve(name); };
    hooks.submit = [this](const NewPage& page) { return m_intake->Submit(page); };
    hooks.refused = [this](std::string_view reply) {
        m_refusals.Count("smtp", "reply_" + std::string(reply.substr(0, 3)), std::string(reply));
    };
    if (m_tokens) {
        hooks.login = [this](std::string_view user, std::string_view password) -> std::optional<std::string> {
            if (!m_tokens->Login(user, password)) {
                return std::nullopt;
            }
            return m_tokens->Match(password).value_or(Key{}).name;
        };
    }
    m_smtp =
        std::make_unique<SmtpServer>(listener, m_options.smtp->Loopback(), hooks, m_options.smtpSettings);
    if (!m_options.smtpTls.certificate.empty() && !m_smtp->UseTls(m_options.smtpTls, error)) {
        *error = "smtp: " + *error;
        return false;
    }
    return true;
}

bool Gateway::OpenConsole(std::string* error) {
    if (!m_options.texts.empty()) {
        std::optional<std::vector<QuickText>> texts = LoadQuickTexts(m_options.texts, error);
        if (!texts) {
            return false;
        }
        m_console.texts = std::move(*texts);
    }
    if (m_options.http && !m_options.consoleOff) {
        m_console.folder = ConsoleFolder(m_options.console, "/proc/self/exe");
        if (!m_options.console.empty() &&
            !std::filesystem::exists(std::filesystem::path(m_options.console) / "index.html")) {
            *error = "--console " + m_options.console + ": no index.html there";
            return false;
        }
    }
    return true;
}

bool Gateway::OpenHttp(std::string* error) {
    if (!m_options.http) {
        return true;
    }
    m_http = std::make_unique<HttpApi>(*m_intake, m_tokens, *m_health, m_console, m_refusals);
    m_hookRoutes = std::make_unique<HookRoutes>(m_http->Server(), *m_intake, m_options.alerts);
    AddPublishRoutes(m_http->Server(), *m_intake); // last: a topic is any one segment the others are not
    if (!m_options.hooks.empty()) {
        m_hooks = LoadHooks(m_options.hooks, error);
        if (!m_hooks) {
            return false;
        }
        m_hookRoutes->SetHooks(m_hooks);
    }
    if (!m_http->Bind(*m_options.http, error)) {
        *error = "http: " + *error;
        return false;
    }
    return true;
}

void Gateway::LogStart() const {
    const Options& o = m_options;
    std::string line =
        std::string("velkor-gateway ") + VELKOR_VERSION + ": HTTP " + (o.http ? o.http->Text() : "off") +
        ", SNPP " + (o.snpp ? o.snpp->Text() + " (" + CharsetName(o.snppCharset) + ")" : "off") + ", SMTP " +
        (o.smtp ? o.smtp->Text() + (o.smtpTls.certificate.empty() ? "" : " (STARTTLS)") : "off") +
        ", database " + o.database + ", " + std::to_string(m_intake->Names()->Size()) + " watch names";
    if (m_tokens) {
        line += ", tokens required";
    }
    if (o.http) {
        line += m_console.folder.empty() ? ", no console" : ", console from " + m_console.folder;
    }
    if (o.mqtt) {
        line += ", broker " + o.mqtt->url + " as " + o.mqtt->prefix + "/" + o.mqtt->name;
    }
    if (m_panel) {
        line += ", panel on " + o.panel.port;
    }
    if (m_scheduler) {
        line += ", schedule " + (o.schedule.empty() ? std::string("of the time alone") : o.schedule);
    }
    LogLine(line);
}

void Gateway::Start() {
    LogStart();
    m_sending = std::thread([this] { m_transmitter->Run(); });
    StartThread(m_snppThread, m_snpp);
    StartThread(m_smtpThread, m_smtp);
    StartThread(m_httpThread, m_http);
    StartThread(m_mqttThread, m_mqtt);
    StartThread(m_panelThread, m_panel);
    StartThread(m_schedulerThread, m_scheduler);
    StartThread(m_escalatorThread, m_escalator);
    WarnOfUnknownNames();
}

void Gateway::Reload() {
    std::string error;
    if (m_hookRoutes && !m_options.hooks.empty()) {
        if (std::shared_ptr<const Hooks> hooks = LoadHooks(m_options.hooks, &error)) {
            m_hooks = hooks;
            m_hookRoutes->SetHooks(hooks);
            LogLine("hooks file read again: " + std::to_string(hooks->Names().size()) + " hooks");
        } else {
            LogError("hooks file not read again, the old one stays: " + OneLine(error));
        }
    }
    if (!m_options.rosters.empty()) {
        if (std::shared_ptr<const Rosters> rosters = LoadRosters(m_options.rosters, *m_intake, &error)) {
            LogLine("rosters read again: " + std::to_string(rosters->Names().size()) + " rosters");
            m_intake->SetRosters(rosters);
        } else {
            LogError("rosters not read again, the old ones stay: " + OneLine(error));
        }
    }
    if (!m_options.escalations.empty()) {
        if (std::optional<Escalations> policies = Escalations::Load(m_options.escalations, &error)) {
            LogLine("escalations read again: " + std::to_string(policies->Names().size()) + " policies");
            m_intake->SetPolicies(std::make_shared<const Escalations>(std::move(*policies)));
        } else {
            LogError("escalations not read again, the old ones stay: " + OneLine(error));
        }
    }
    if (m_scheduler && !m_options.schedule.empty()) {
        if (std::optional<Schedule> schedule = Schedule::Load(m_options.schedule, &error)) {
            LogLine("schedule read again: " + std::to_string(schedule->Entries().size()) + " entries");
            m_scheduler->SetSchedule(std::make_shared<const Schedule>(std::move(*schedule)));
        } else {
            LogError("schedule not read again, the old one stays: " + OneLine(error));
        }
    }
    if (std::shared_ptr<const WatchNames> reloaded = LoadWatches(m_options.watches, &error)) {
        m_intake->SetWatchNames(reloaded);
        LogLine("watch list read again: " + std::to_string(reloaded->Size()) + " names");
        WarnOfUnknownNames();
    } else {
        LogError("watch list not read again, the old one stays: " + OneLine(error));
    }
}

void Gateway::Stop() {
    // The intakes first, so that nothing is handed in once the transmitter has stopped.
    StopThread(m_schedulerThread, m_scheduler);
    StopThread(m_escalatorThread, m_escalator);
    StopThread(m_mqttThread, m_mqtt);
    StopThread(m_httpThread, m_http);
    StopThread(m_snppThread, m_snpp);
    StopThread(m_smtpThread, m_smtp);
    StopThread(m_panelThread, m_panel);
    if (m_sending.joinable()) {
        m_transmitter->Stop();
        m_sending.join();
    }
    if (m_store) {
        m_store->StopTelling(); // before the listeners (the broker's link, the consoles) go
    }
}

void Gateway::WarnOfUnknownNames() const {
    const auto check = [this](const std::string& what, const std::string& name) {
        const auto resolved = m_intake->Resolve(name);
        if (const auto* reason = std::get_if<std::string>(&resolved)) {
            LogWarning(what + ": " + *reason + "; its pages will be refused until the watch list has it");
        }
    };
    for (const QuickText& text : m_console.texts) {
        for (const std::string& name : SplitRecipients(text.to)) {
            check("quick text \"" + text.label + "\"", name);
        }
    }
    for (const std::string& hookName : m_hooks ? m_hooks->Names() : std::vector<std::string>{}) {
        for (const std::string& name : FixedRecipients(*m_hooks->Find(hookName))) {
            check("hook " + hookName, name);
        }
    }
    // The policies other settings name: a page asking for one the file lacks goes out without it.
    const std::shared_ptr<const Escalations> policies = m_intake->Policies();
    const auto known = [&policies](const std::string& what, const std::string& policy) {
        if (!policy.empty() && !policies->Find(policy)) {
            LogWarning(what + ": no escalation policy is named \"" + policy +
                       "\" (the escalations file): its pages will go out without escalation");
        }
    };
    known("--snpp-escalate", m_options.snppAnswers.escalate);
    for (const WatchNames::Watch& watch : m_intake->Names()->Watches()) {
        known("watch list, " + watch.name, watch.escalation);
    }
}

} // namespace velkor::gateway
