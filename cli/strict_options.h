#pragma once
// Options whose values the commands check themselves, strictly, so that a message names the option and
// the value as given.

#include "cli_args.h"
#include "session.h"

#include <CLI/CLI.hpp>

#include <string>

namespace velkor::cli {

// An option's text as given; `given` says whether it was on the command line (an empty value included).
struct TextOption {
    std::string value;
    CLI::Option* given = nullptr;
    bool Given() const { return cli::Given(given); }
};

// Declares `option` on `command` as `name VALUENAME`.
inline TextOption& Declare(CLI::App& command, const std::string& name, TextOption& option,
                           const std::string& help, const std::string& valueName) {
    option.given = command.add_option(name, option.value, help)->option_text(valueName);
    return option;
}

// The port every command but ports takes first.
inline void DeclarePort(CLI::App& command, std::string& port) {
    command.add_option("PORT", port, "the serial port")->type_name("")->required();
}

// --at as a calendar time, or the local time now without it.
ClockTime ClockArgument(const TextOption& at);

} // namespace velkor::cli
