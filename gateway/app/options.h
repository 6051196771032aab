#pragma once
// velkor-gateway's options, from the command line and the config file (the same names).

#include "gateway/espa/espa_panel.h"
#include "gateway/hooks/alertmanager.h"
#include "gateway/intake/answer_settings.h"
#include "gateway/intake/page_text.h"
#include "gateway/mqtt/mqtt_link.h"
#include "gateway/net/listen_address.h"
#include "gateway/schedule/schedule.h"
#include "gateway/smtp/smtp_server.h"
#include "serial/serial_port.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velkor::gateway {

struct Options {
    std::string port;
    int baudRate = 9600;
    Parity parity = Parity::None;
    std::optional<ListenAddress> http; // nullopt: off
    std::optional<ListenAddress> snpp; // nullopt: off
    Charset snppCharset = Charset::Utf8;
    AnswerSettings snppAnswers;        // what SNPP's pages ask: an answer, repeats, an escalation
    std::optional<ListenAddress> smtp; // nullopt: off
    SmtpSettings smtpSettings;
    SmtpTls smtpTls; // empty: no STARTTLS
    std::string database;
    std::string watches;   // empty: no watch list
    std::string tokenFile; // empty: no token needed (loopback only)
    std::chrono::milliseconds gap{1000};
    int keepDays = 30;   // 0: keep every page
    std::string console; // the console's files; empty: the installed ones
    bool consoleOff = false;
    std::string texts; // the console's quick texts; empty: none
    AlertSettings alerts;
    std::string hooks;       // the hooks file; empty: none
    std::string schedule;    // the schedule file; empty: none
    std::string escalations; // the escalation policies; empty: none
    std::string rosters;     // the duty rosters; empty: none
    std::string escalationPrefix = "[{step}] ";
    std::optional<ScheduleEntry> setTime; // when the watches' clock is set; nullopt: never
    std::optional<MqttSettings> mqtt;     // nullopt: no broker
    PanelSettings panel;                  // port empty: no panel
};

inline constexpr const char* DEFAULT_HTTP = "127.0.0.1:8025";
inline constexpr const char* DEFAULT_SNPP = "127.0.0.1:444";

struct ParsedOptions {
    std::optional<Options> options; // nullopt: exit with `exitCode` after printing `output`
    int exitCode = 0;
    std::string output; // help or version (standard output), or the fault (standard error)
};

// Reads the arguments and the config file they name. A listener on an address that is not loopback
// without a token file is refused here, saying why.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

// Where the database is when --db is not given: $STATE_DIRECTORY/gateway.db under systemd, else
// $XDG_STATE_HOME/velkor/gateway.db (~/.local/state/velkor/gateway.db); empty when neither is known.
std::string DefaultDatabase();

} // namespace velkor::gateway
