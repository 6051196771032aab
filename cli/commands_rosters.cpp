// rosters: a site's duty rosters checked, each fault with its line and column, and who of each is on duty
// now and next, as the gateway reads them.

#include "commands.h"
#include "output.h"

#include "frames/local_time.h"
#include "frames/roster.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace velkor::cli {
namespace {

std::string Members(const std::vector<std::string>& members) {
    std::string text;
    for (const std::string& member : members) {
        text += (text.empty() ? "" : ",") + member;
    }
    return text.empty() ? "nobody" : text;
}

std::string ClockText(std::time_t when) {
    const std::optional<std::tm> local = LocalTime(when);
    char text[32] = "?";
    if (local) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &*local);
    }
    return text;
}

class RostersCommand final : public Command {
public:
    void Define(CLI::App& command) override {
        command.add_option("ACTION", m_words, "check FILE")->type_name("")->required();
    }

    int Run() override {
        if (m_words.size() != 2 || m_words[0] != "check") {
            throw ArgumentError{"rosters check FILE"};
        }
        const std::string& file = m_words[1];
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
            return kBadArguments;
        }
        std::ostringstream text;
        text << in.rdbuf();
        std::variant<Rosters, std::vector<RosterFault>> read = Rosters::Parse(text.str());
        if (const auto* faults = std::get_if<std::vector<RosterFault>>(&read)) {
            for (const RosterFault& fault : *faults) {
                // Without the program's name first, so that an editor can take the line to the file's line.
                std::fprintf(stderr, "%s\n", RosterFaultText(file, fault).c_str());
            }
            return kBadArguments;
        }
        const Rosters& rosters = std::get<Rosters>(read);
        const std::time_t now = std::time(nullptr);
        for (const std::string& name : rosters.Names()) {
            const Duty duty = rosters.DutyAt(name, now);
            std::string line = name + ": " + Members(duty.now) + " now";
            if (duty.changes) {
                line += ", " + Members(duty.next) + " from " + ClockText(*duty.changes);
            }
            PrintLine(line);
        }
        return kDone;
    }

private:
    std::vector<std::string> m_words;
};

} // namespace

std::unique_ptr<Command> MakeRostersCommand() {
    return std::make_unique<RostersCommand>();
}

} // namespace velkor::cli
