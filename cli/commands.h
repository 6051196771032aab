#pragma once
// The commands of velkor-cli. Each declares its arguments on its own CLI11 subcommand and runs once they
// are parsed; values are checked by the command, strictly, with messages that name the argument.

#include "session.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace velkor::cli {

class Command {
public:
    virtual ~Command() = default;
    virtual void Define(CLI::App& command) = 0;
    // The exit status (ExitStatus); throws ArgumentError for a wrong value.
    virtual int Run() = 0;
};

// A command that opens a port and sends: the port it takes first, and the options every sending command
// shares (--baud, --parity, --seq, --dry-run, --json).
class SendingCommand : public Command {
protected:
    // Declares the port and the shared options; the command's own come before or after.
    void DefineSending(CLI::App& command);
    // The shared options checked, with the port; `takesSequence` for the frames that have a sequence number.
    SendOptions CheckedOptions(bool takesSequence) const;

private:
    std::string m_port;
    SendOptionTexts m_texts;
};

struct CommandEntry {
    const char* name;
    const char* summary; // one line, for velkor-cli --help
    const char* help;    // what velkor-cli NAME --help says below the options
    std::unique_ptr<Command> (*make)();
};
// Every command, in the order --help lists them.
const std::vector<CommandEntry>& Commands();

std::unique_ptr<Command> MakePortsCommand();
std::unique_ptr<Command> MakeSendCommand();
std::unique_ptr<Command> MakeTextCommand();
std::unique_ptr<Command> MakeTimeCommand();
std::unique_ptr<Command> MakeHostAddressCommand();
std::unique_ptr<Command> MakeChannelCommand();
std::unique_ptr<Command> MakeTransmitterCommand();
std::unique_ptr<Command> MakeModuleCommand();
std::unique_ptr<Command> MakeWatchesCommand();
std::unique_ptr<Command> MakeRostersCommand();

} // namespace velkor::cli
