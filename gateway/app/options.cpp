#include "gateway/app/options.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "frames/version.h"
#include "serial/baud_rates.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velkor::gateway {
namespace {

std::optional<ListenAddress> Listener(const std::string& option, const std::string& value) {
    if (value == "off") {
        return std::nullopt;
    }
    std::string error;
    std::optional<ListenAddress> address = ParseListenAddress(value, &error);
    if (!address) {
        throw CLI::ValidationError(option, error);
    }
    return address;
}

// The first line of the password file, so that the password is not on the command line for ps to show.
std::string ReadPassword(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        throw CLI::ValidationError("--mqtt-password-file", path + ": cannot be read");
    }
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    return line;
}

std::optional<MqttSettings> Broker(const std::string& url, const std::string& topic, const std::string& user,
                                   const std::string& passwordFile, const std::string& ca,
                                   const std::string& cert, const std::string& key) {
    if (url.empty()) {
        if (!topic.empty() || !user.empty() || !passwordFile.empty() || !ca.empty() || !cert.empty() ||
            !key.empty()) {
            throw CLI::ValidationError("--mqtt", "the broker's other settings are given, but not --mqtt URL");
        }
        return std::nullopt;
    }
    MqttSettings settings;
    std::string error;
    if (!ParseBrokerUrl(url, &settings, &error)) {
        throw CLI::ValidationError(error);
    }
    if (topic.empty()) {
        throw CLI::RequiredError("--mqtt-topic PREFIX/NAME (with --mqtt: this gateway's topics)");
    }
    if (!ParseGatewayTopic(topic, &settings, &error)) {
        throw CLI::ValidationError(error);
    }
    if (!settings.tls && (!ca.empty() || !cert.empty() || !key.empty())) {
        throw CLI::ValidationError("--mqtt", url + ": certificates are for TLS, which is mqtts://");
    }
    settings.user = user;
    if (!passwordFile.empty()) {
        if (user.empty()) {
            throw CLI::ValidationError("--mqtt-password-file", "a password needs --mqtt-user");
        }
        settings.password = ReadPassword(passwordFile);
    }
    settings.caFile = ca;
    settings.certFile = cert;
    settings.keyFile = key;
    return settings;
}

PanelSettings Panel(const std::string& port, const std::string& line, const std::string& address, bool status,
                    const std::string& statusValues, const std::string& text, const std::string& silence) {
    PanelSettings settings;
    settings.port = port;
    std::string error;
    if (!ParsePanelLine(line, &settings, &error)) {
        throw CLI::ValidationError("--espa-line", error);
    }
    if (address.size() != 1 || address[0] < '0' || address[0] > '9') {
        throw CLI::ValidationError("--espa-address", address + ": one digit, 0 to 9 (the panel is 1)");
    }
    settings.address = address[0];
    settings.status = status;
    if (statusValues.size() != 3 || statusValues[1] != ',' || statusValues[0] < '0' ||
        statusValues[0] > '9' || statusValues[2] < '0' || statusValues[2] > '9') {
        throw CLI::ValidationError("--espa-status-values", statusValues + ": two digits, as 1,2");
    }
    settings.statusQueued = statusValues[0];
    settings.statusFailed = statusValues[2];
    if (text.empty() || !IsUtf8(text)) {
        throw CLI::ValidationError("--espa-text", "a text in UTF-8 is needed");
    }
    settings.defaultText = text;
    const std::optional<uint32_t> ms = ParseUnsigned(silence, 100, 60000);
    if (!ms) {
        throw CLI::ValidationError("--espa-silence", silence + ": milliseconds from 100 to 60000");
    }
    settings.silence = std::chrono::milliseconds(*ms);
    return settings;
}

// "0", or the seconds between the repeats of a page until it is answered, as the window times them.
int RepeatSeconds(const std::string& option, const std::string& repeat) {
    const std::optional<uint32_t> every = ParseUnsigned(repeat, 0, 60);
    if (!every || (*every != 0 && std::find(std::begin(REPEAT_INTERVALS), std::end(REPEAT_INTERVALS),
                                            static_cast<int>(*every)) == std::end(REPEAT_INTERVALS))) {
        throw CLI::ValidationError(option, repeat + ": 0, 5, 10, 20, 30 or 60 seconds");
    }
    return static_cast<int>(*every);
}

// How a panel's calls are answered: --espa-answer, --espa-repeat, --espa-reset.
void PanelAnswers(PanelSettings& settings, bool answer, const std::string& repeat, const std::string& reset) {
    settings.answers.answer = answer;
    settings.answers.repeatEvery = RepeatSeconds("--espa-repeat", repeat);
    std::string error;
    if (!ParsePanelReset(reset, &settings, &error)) {
        throw CLI::ValidationError("--espa-reset", error);
    }
}

// The config file named in `arguments` ("--config FILE" or "--config=FILE"), if any.
std::optional<std::string> ConfigPath(const std::vector<std::string>& arguments) {
    std::optional<std::string> path;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--config" && i + 1 < arguments.size()) {
            path = arguments[i + 1];
        } else if (arguments[i].starts_with("--config=")) {
            path = arguments[i].substr(9);
        }
    }
    return path;
}

// The file's form checked before CLI11 reads it, so that each fault is said with its line and in words a
// site's admin reads: "name = value" lines, # or ; comments, blank lines; nothing else.
void CheckConfigFile(const std::string& path, const CLI::App& app) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return; // CLI11 says the file cannot be read
    }
    std::string text(64 * 1024 + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > 64 * 1024) {
        throw CLI::ValidationError("--config", path + ": larger than 64 kB: not a config file");
    }
    if (text.find('\0') != std::string::npos || !IsUtf8(text)) {
        throw CLI::ValidationError("--config", path + ": not a text file of settings (name = value lines)");
    }
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = TrimBlanks(std::string_view(text).substr(start, end - start));
        start = end + 1;
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            throw CLI::ValidationError("--config",
                                       where + "a [section] line: the file is name = value lines only");
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw CLI::ValidationError("--config",
                                       where + "not a setting (name = value): " + std::string(line));
        }
        const std::string name(TrimBlanks(line.substr(0, equals)));
        const CLI::Option* option =
            name.empty() || name == "config" ? nullptr : app.get_option_no_throw("--" + name);
        if (option == nullptr) {
            throw CLI::ValidationError("--config", where + "a setting velkor-gateway does not know: " + name);
        }
    }
}

// The options as given, before they are checked (the defaults as written in --help).
struct Given {
    std::string port;
    std::string baud = "9600";
    std::string parity = "none";
    std::string http = DEFAULT_HTTP;
    std::string snpp = DEFAULT_SNPP;
    std::string charset = "utf-8";
    std::string database;
    std::string watches;
    std::string tokenFile;
    std::string gap = "1000";
    std::string keepDays = "30";
    std::string mqtt;
    std::string mqttTopic;
    std::string mqttUser;
    std::string mqttPasswordFile;
    std::string mqttCa;
    std::string mqttCert;
    std::string mqttKey;
    std::string console;
    std::string texts;
    std::string firingPrefix = AlertSettings{}.firingPrefix;
    std::string resolvedPrefix = AlertSettings{}.resolvedPrefix;
    std::string resolved = "page";
    std::string hooks;
    std::string schedule;
    std::string escalations;
    std::string rosters;
    std::string escalationPrefix = "[{step}] ";
    std::string setTime = "off";
    std::string espaPort;
    std::string espaLine = "9600,7E1";
    std::string espaAddress = "2";
    bool espaStatus = false;
    std::string espaStatusValues = "1,2";
    std::string espaText = DEFAULT_CALL_TEXT;
    std::string espaSilence = "2000";
    bool espaAnswer = false;
    std::string espaRepeat = "0";
    std::string espaReset = "4=0";
    bool snppAnswer = false;
    std::string snppRepeat = "0";
    std::string snppEscalate;
    std::string smtp = "off";
    std::string smtpDomains;
    std::string smtpText = "subject";
    std::string smtpMaxSize = "1048576";
    std::string smtpCert;
    std::string smtpKey;
};

void AddOptions(CLI::App& app, Given& given) {
    app.set_version_flag("--version", std::string("velkor-gateway ") + VELKOR_VERSION);
    app.set_config("--config", "", "read these options from FILE too (lines: name = value)");
    // A misspelt setting in the file is an error, not a setting silently left at its default.
    app.allow_config_extras(CLI::config_extras_mode::error);
    // Every setting is one value: "espa-line = 9600,7E1" is not a list of two.
    app.get_config_formatter_base()->arrayDelimiter('\n');
    app.add_option("--port", given.port, "the transmitter's serial port (/dev/ttyUSB0)")->type_name("PATH");
    app.add_option("--baud", given.baud, "the port's baud rate")->type_name("RATE");
    app.add_option("--parity", given.parity, "none, odd or even")->type_name("PARITY");
    app.add_option("--http", given.http, "where the HTTP API listens, or off")->type_name("HOST:PORT");
    app.add_option("--snpp", given.snpp, "where the SNPP listener listens, or off")->type_name("HOST:PORT");
    app.add_option("--snpp-charset", given.charset, "how SNPP clients send text: utf-8 or gbk")
        ->type_name("SET");
    app.add_flag("--snpp-answer", given.snppAnswer, "SNPP's pages wait for an answer (acknowledge)");
    app.add_option("--snpp-repeat", given.snppRepeat,
                   "SNPP's pages repeat every SECONDS (5, 10, 20, 30, 60) until answered; 0 once")
        ->type_name("SECONDS");
    app.add_option("--snpp-escalate", given.snppEscalate, "the escalation policy of SNPP's pages")
        ->type_name("POLICY");
    app.add_option("--smtp", given.smtp, "where the SMTP listener (email to page) listens, or off")
        ->type_name("HOST:PORT");
    app.add_option("--smtp-domains", given.smtpDomains,
                   "the mail domains taken, comma-separated; any when empty")
        ->type_name("LIST");
    app.add_option("--smtp-text", given.smtpText, "a mail's page: its subject, or its body's first line")
        ->type_name("subject|body");
    app.add_option("--smtp-max-size", given.smtpMaxSize, "the largest message taken, in bytes")
        ->type_name("BYTES");
    app.add_option("--smtp-cert", given.smtpCert, "STARTTLS: the site's certificate chain (PEM)")
        ->type_name("FILE");
    app.add_option("--smtp-key", given.smtpKey, "STARTTLS: the certificate's private key (PEM)")
        ->type_name("FILE");
    app.add_option("--db", given.database,
                   "the queue's database (default $STATE_DIRECTORY/gateway.db, or "
                   "$XDG_STATE_HOME/velkor/gateway.db)")
        ->type_name("PATH");
    app.add_option("--watches", given.watches, "a CSV watch list (name,address) for recipients by name")
        ->type_name("FILE");
    app.add_option("--token-file", given.tokenFile, "clients must show one of the tokens in FILE")
        ->type_name("FILE");
    app.add_option("--gap", given.gap, "least milliseconds between two frames on the wire")->type_name("MS");
    app.add_option("--keep-days", given.keepDays, "finished pages are removed after DAYS; 0 keeps them all")
        ->type_name("DAYS");
    app.add_option("--console", given.console,
                   "the web console's files (default: the installed ones), or off to serve no console")
        ->type_name("DIR");
    app.add_option("--texts", given.texts, "the console's quick texts: a CSV file of label,text[,to]")
        ->type_name("FILE");
    app.add_option("--hooks", given.hooks, "webhooks of systems that post JSON, named in FILE")
        ->type_name("FILE");
    app.add_option("--schedule", given.schedule, "pages at set times: lines of DAYS HH:MM TO TEXT in FILE")
        ->type_name("FILE");
    app.add_option("--escalations", given.escalations,
                   "who is paged next when nobody answers: lines of POLICY AFTER TO in FILE")
        ->type_name("FILE");
    app.add_option("--rosters", given.rosters,
                   "duty rosters: lines of ROSTER DAYS HH:MM-HH:MM MEMBERS in FILE; a roster is a recipient")
        ->type_name("FILE");
    app.add_option("--escalation-prefix", given.escalationPrefix,
                   "put before the text of an escalation's next step; {step} is its number")
        ->type_name("TEXT");
    app.add_option("--set-time", given.setTime, "send the time to every watch then (daily 03:00), or off")
        ->type_name("DAYS HH:MM");
    app.add_option("--alert-firing-prefix", given.firingPrefix,
                   "what an Alertmanager alert's page starts with")
        ->type_name("TEXT");
    app.add_option("--alert-resolved-prefix", given.resolvedPrefix,
                   "what a resolved alert's page starts with")
        ->type_name("TEXT");
    app.add_option("--alert-resolved", given.resolved, "page resolved alerts, or off")->type_name("page|off");
}

// The neighbours the gateway takes pages from besides its listeners: a broker, a panel.
void AddNeighbourOptions(CLI::App& app, Given& given) {
    app.add_option("--mqtt", given.mqtt,
                   "take pages from an MQTT broker too: mqtt://HOST[:PORT] or mqtts://...")
        ->type_name("URL");
    app.add_option("--mqtt-topic", given.mqttTopic,
                   "this gateway's topics: pages from PREFIX/NAME/pages and PREFIX/all/pages")
        ->type_name("PREFIX/NAME");
    app.add_option("--mqtt-user", given.mqttUser, "the user name the broker knows this gateway by")
        ->type_name("USER");
    app.add_option("--mqtt-password-file", given.mqttPasswordFile,
                   "the broker password, the file's first line")
        ->type_name("FILE");
    app.add_option("--mqtt-ca", given.mqttCa, "mqtts: the CA certificate the broker's must be signed by")
        ->type_name("FILE");
    app.add_option("--mqtt-cert", given.mqttCert, "mqtts: this gateway's client certificate")
        ->type_name("FILE");
    app.add_option("--mqtt-key", given.mqttKey, "mqtts: the client certificate's private key")
        ->type_name("FILE");

    app.add_option("--espa-port", given.espaPort, "a nurse-call or alarm panel's serial port (ESPA 4.4.4)")
        ->type_name("PATH");
    app.add_option("--espa-line", given.espaLine, "the panel's line: RATE,7E1 or RATE,8N1 (bit 7 is ignored)")
        ->type_name("RATE,DPS");
    app.add_option("--espa-address", given.espaAddress, "the gateway's station address on the panel's line")
        ->type_name("DIGIT");
    app.add_flag("--espa-status", given.espaStatus,
                 "report each call's outcome when the panel polls after it");
    app.add_option("--espa-status-values", given.espaStatusValues,
                   "the call status (record 7) reported for a call paged, and for one not paged")
        ->type_name("PAGED,FAILED");
    app.add_option("--espa-text", given.espaText,
                   "the page of a call without a message; {call} is its number")
        ->type_name("TEXT");
    app.add_option("--espa-silence", given.espaSilence,
                   "a block the panel leaves half sent is dropped after MS")
        ->type_name("MS");
    app.add_flag("--espa-answer", given.espaAnswer, "a call's page waits for its reset at the bed");
    app.add_option("--espa-repeat", given.espaRepeat,
                   "a call's page repeats every SECONDS (5, 10, 20, 30, 60) until it is reset; 0 once")
        ->type_name("SECONDS");
    app.add_option("--espa-reset", given.espaReset, "the record and value of a block that resets a call")
        ->type_name("RECORD=VALUE");
}

// The options checked; throws CLI11's errors, which say which option and why.
// The files and settings of pages at set times and pages someone must answer.
void CheckAnswerOptions(const Given& given, Options& options) {
    options.schedule = given.schedule;
    options.escalations = given.escalations;
    options.rosters = given.rosters;
    if (!IsUtf8(given.escalationPrefix)) {
        throw CLI::ValidationError("--escalation-prefix", "a text in UTF-8 is needed");
    }
    options.escalationPrefix = given.escalationPrefix;
    if (given.setTime != "off") {
        std::string error;
        options.setTime = Schedule::ParseTimeSetting(given.setTime, &error);
        if (!options.setTime) {
            throw CLI::ValidationError("--set-time", error);
        }
    }
}

// The SNPP listener: where, its clients' charset, and what its pages ask (SNPP cannot say it in a page).
void CheckSnppOptions(const Given& given, Options& options) {
    options.snpp = Listener("--snpp", given.snpp);
    if (given.charset == "utf-8" || given.charset == "utf8") {
        options.snppCharset = Charset::Utf8;
    } else if (given.charset == "gbk") {
        options.snppCharset = Charset::Gbk;
    } else {
        throw CLI::ValidationError("--snpp-charset", given.charset + ": utf-8 or gbk");
    }
    options.snppAnswers.answer = given.snppAnswer;
    options.snppAnswers.repeatEvery = RepeatSeconds("--snpp-repeat", given.snppRepeat);
    if (given.snppEscalate.find_first_of(" \t\r\n") != std::string::npos || !IsUtf8(given.snppEscalate)) {
        throw CLI::ValidationError("--snpp-escalate",
                                   given.snppEscalate + ": the name of a policy (one word)");
    }
    options.snppAnswers.escalate = given.snppEscalate;
}

// The SMTP listener: where, the domains and text it takes, the largest message, its certificate.
void CheckSmtpOptions(const Given& given, Options& options) {
    options.smtp = Listener("--smtp", given.smtp);
    for (const std::string& domain : SplitRecipients(given.smtpDomains)) {
        std::string lower = domain;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        options.smtpSettings.domains.push_back(lower);
    }
    if (given.smtpText != "subject" && given.smtpText != "body") {
        throw CLI::ValidationError("--smtp-text", given.smtpText + ": subject or body");
    }
    options.smtpSettings.textFromBody = given.smtpText == "body";
    const std::optional<uint32_t> size = ParseUnsigned(given.smtpMaxSize, 1024, 64 * 1024 * 1024);
    if (!size) {
        throw CLI::ValidationError("--smtp-max-size", given.smtpMaxSize + ": bytes from 1024 to 67108864");
    }
    options.smtpSettings.maxMessage = *size;
    if (given.smtpCert.empty() != given.smtpKey.empty()) {
        throw CLI::ValidationError(given.smtpCert.empty() ? "--smtp-cert" : "--smtp-key",
                                   "STARTTLS needs both the certificate and its key");
    }
    options.smtpTls = SmtpTls{given.smtpCert, given.smtpKey};
    if (options.smtp && !options.smtp->Loopback() && given.smtpCert.empty()) {
        throw CLI::ValidationError(
            "--smtp", options.smtp->Text() + " is not a loopback address: keys would cross the network in "
                                             "the clear; give --smtp-cert and --smtp-key for STARTTLS");
    }
}

Options Checked(const Given& given) {
    Options options;
    if (given.port.empty()) {
        throw CLI::RequiredError("--port (the transmitter's serial port, such as /dev/ttyUSB0)");
    }
    options.port = given.port;
    const std::optional<int> rate = ParseBaudRate(given.baud);
    if (!rate) {
        throw CLI::ValidationError("--baud", given.baud + ": not a baud rate of the port page's list");
    }
    options.baudRate = *rate;
    const std::optional<Parity> lineParity = ParseParity(given.parity);
    if (!lineParity) {
        throw CLI::ValidationError("--parity", given.parity + ": none, odd or even");
    }
    options.parity = *lineParity;
    options.http = Listener("--http", given.http);
    CheckSnppOptions(given, options);
    CheckSmtpOptions(given, options);
    std::optional<uint32_t> milliseconds = ParseUnsigned(given.gap, 0, 60000);
    if (!milliseconds) {
        throw CLI::ValidationError("--gap", given.gap + ": milliseconds from 0 to 60000");
    }
    options.gap = std::chrono::milliseconds(*milliseconds);
    std::optional<uint32_t> days = ParseUnsigned(given.keepDays, 0, 36500);
    if (!days) {
        throw CLI::ValidationError("--keep-days", given.keepDays + ": whole days from 0 (keep all) to 36500");
    }
    options.keepDays = static_cast<int>(*days);
    options.database = given.database.empty() ? DefaultDatabase() : given.database;
    if (options.database.empty()) {
        throw CLI::ValidationError("--db", "no state folder is known (no STATE_DIRECTORY, XDG_STATE_HOME or "
                                           "HOME): give the database's path");
    }
    options.watches = given.watches;
    options.tokenFile = given.tokenFile;
    options.consoleOff = given.console == "off";
    options.console = options.consoleOff ? "" : given.console;
    options.texts = given.texts;
    if (given.resolved != "page" && given.resolved != "off") {
        throw CLI::ValidationError("--alert-resolved", given.resolved + ": page or off");
    }
    options.alerts = AlertSettings{given.firingPrefix, given.resolvedPrefix, given.resolved == "page"};
    options.hooks = given.hooks;
    CheckAnswerOptions(given, options);
    options.panel = Panel(given.espaPort, given.espaLine, given.espaAddress, given.espaStatus,
                          given.espaStatusValues, given.espaText, given.espaSilence);
    PanelAnswers(options.panel, given.espaAnswer, given.espaRepeat, given.espaReset);
    if (!options.panel.port.empty() && options.panel.port == options.port) {
        throw CLI::ValidationError("--espa-port", given.espaPort + " is the transmitter's port (--port)");
    }
    options.mqtt = Broker(given.mqtt, given.mqttTopic, given.mqttUser, given.mqttPasswordFile, given.mqttCa,
                          given.mqttCert, given.mqttKey);
    for (const auto& [name, listener] : {std::pair{"--http", options.http}, std::pair{"--snpp", options.snpp},
                                         std::pair{"--smtp", options.smtp}}) {
        if (listener && !listener->Loopback() && given.tokenFile.empty()) {
            throw CLI::ValidationError(
                name, listener->Text() + " is not a loopback address: anyone who reaches it could page the "
                                         "watches; give --token-file FILE so that clients must show a token");
        }
    }
    return options;
}

} // namespace

std::string DefaultDatabase() {
    if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state) {
        std::string first(state);
        return first.substr(0, first.find(':')) + "/gateway.db";
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        return std::string(xdg) + "/velkor/gateway.db";
    }
    if (const char* home = std::getenv("HOME"); home && *home == '/') {
        return std::string(home) + "/.local/state/velkor/gateway.db";
    }
    return {};
}

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Takes pages from other software (HTTP and its webhooks, SNPP, MQTT, a nurse-call panel on a serial "
        "port, a browser console) into one durable queue and sends them to the watches through the "
        "transmitter on one serial port.",
        "velkor-gateway"};
    app.option_defaults()->always_capture_default();
    Given given;
    AddOptions(app, given);
    AddNeighbourOptions(app, given);
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    ParsedOptions parsed;
    try {
        if (const std::optional<std::string> config = ConfigPath(arguments)) {
            CheckConfigFile(*config, app);
        }
        app.parse(reversed);
        parsed.options = Checked(given);
    } catch (const CLI::Success& done) {
        std::ostringstream out;
        std::ostringstream err;
        parsed.exitCode = app.exit(done, out, err);
        parsed.output = out.str();
    } catch (const CLI::ConfigError& error) {
        // CLI11 says "INI was not able to parse KEY" for a setting it does not know.
        const std::string what = error.what();
        const std::size_t key = what.rfind("parse ");
        parsed.exitCode = 2;
        parsed.output =
            "velkor-gateway: " +
            (key == std::string::npos
                 ? what
                 : "the config file has a setting velkor-gateway does not know: " + what.substr(key + 6)) +
            "\n";
    } catch (const CLI::ParseError& error) {
        parsed.exitCode = 2;
        parsed.output = std::string("velkor-gateway: ") + error.what() + "\n";
    }
    return parsed;
}

} // namespace velkor::gateway
