// velkor-cli: every operation of the window from scripts, on the same core. Every byte it sends comes
// from the frames/ builders; every answer is read with the module page's rules.

#include "commands.h"
#include "output.h"
#include "session.h"
#include "text_input.h"

#include "frames/version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

using namespace velkor::cli;

const char kExitStatus[] =
    R"(Exit status: 0 done; 1 the port could not be opened or written, the sequence number could not be kept,
or the output could not be written; 2 wrong arguments or values; 3 no whole answer within the time-out.
Interrupted (SIGINT, SIGTERM, SIGHUP), it releases the port and ends; a frame cut short is exit 1.
"velkor-cli COMMAND --help" tells more about each command.)";

// The program's arguments as UTF-8. Windows hands main() its arguments in the ANSI code page, where
// Chinese text is lost, so they are taken again as UTF-16 there.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 0; i < count; ++i) {
            int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(static_cast<std::size_t>(std::max(size, 1)), '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
            arg.resize(arg.size() - 1); // the terminating NUL
            args.push_back(std::move(arg));
        }
        LocalFree(wide);
        return args;
    }
#endif
    return {argv, argv + argc};
}

// The options of the command line as the program's help shows them: the name of the command, one of the
// commands, then its own arguments.
struct Program {
    CLI::App app{
        "Pages wrist-watch receivers and configures their transmitter and LoRa module, from scripts.",
        "velkor-cli"};
    std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> commands;

    Program() {
        app.set_version_flag("--version", std::string("velkor-cli ") + VELKOR_VERSION);
        app.require_subcommand(1);
        app.footer(kExitStatus);
        // A repeated option: the last one given counts, as scripts that append to a command line expect.
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        for (const CommandEntry& entry : Commands()) {
            CLI::App* command = app.add_subcommand(entry.name, entry.summary);
            command->footer(entry.help);
            std::unique_ptr<Command> run = entry.make();
            run->Define(*command);
            commands.emplace_back(command, std::move(run));
        }
    }

    int Run(std::vector<std::string> args) {
        const std::string name = args.size() >= 2 ? args[1] : "";
        const bool known = std::any_of(Commands().begin(), Commands().end(),
                                       [&](const CommandEntry& entry) { return name == entry.name; });
        if (name.empty()) {
            std::fputs(app.help().c_str(), stderr);
            return kBadArguments;
        }
        if (!known && name != "--help" && name != "-h" && name != "--version") {
            Fail("unknown command " + name + " (see velkor-cli --help)");
            return kBadArguments;
        }
        std::reverse(args.begin(), args.end()); // CLI11 takes the words last first
        args.pop_back();                        // the program's own name
        try {
            app.parse(args);
        } catch (const CLI::Success& done) { // --help, --version
            return app.exit(done);
        } catch (const CLI::ParseError& error) {
            Fail(error.what());
            return kBadArguments;
        }
        for (auto& [command, run] : commands) {
            if (command->parsed()) {
                return run->Run();
            }
        }
        return kBadArguments;
    }
};

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0); // its C library takes no line buffering
    SetConsoleOutputCP(CP_UTF8);              // the answers' Chinese texts are UTF-8
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
    HandleSignals();
    // The handlers print with the C library only: nothing may be thrown out of main.
    try {
        int status = kDone;
        {
            Program program;
            status = program.Run(Utf8Arguments(argc, argv));
        }
        // The port is released by now. Output that did not reach its reader (a full disk, a closed pipe)
        // is a failure, not a success a script could believe.
        if (std::fflush(stdout) != 0 || OutputFailed()) {
            std::fputs("velkor-cli: cannot write to standard output\n", stderr);
            return kPortFailed;
        }
        return status;
    } catch (const ArgumentError& error) {
        std::fprintf(stderr, "velkor-cli: %s\n", error.message.c_str());
        return kBadArguments;
    } catch (const std::exception& error) { // the text conversion, out of memory
        std::fprintf(stderr, "velkor-cli: %s\n", error.what());
        return kPortFailed;
    }
}
