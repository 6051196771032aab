// watches: a site's watch list checked, and applied watch by watch (channel, then the host address slots).

#include "commands.h"
#include "output.h"
#include "serial/sequence_store.h"
#include "session.h"
#include "strict_options.h"

#include "frames/watch_list.h"

#include <cstdio>

namespace velkor::cli {
namespace {

class WatchesCommand final : public Command {
public:
    void Define(CLI::App& command) override {
        command.add_option("ACTION", m_words, "check FILE, or apply PORT FILE")->type_name("")->required();
        Declare(command, "--gap", m_gap, "apply: milliseconds between two frames (default 1000)", "MS");
        command.add_flag("--time", m_time, "apply: the time to every watch at the end");
        AddSendOptions(command, m_texts);
    }

    int Run() override {
        const std::string action = m_words.front();
        if (action == "check") {
            if (m_words.size() != 2) {
                throw ArgumentError{"watches check FILE"};
            }
            std::optional<WatchList> list = Checked(m_words[1]);
            if (!list) {
                return kBadArguments;
            }
            PrintLine(m_words[1] + ": " + std::to_string(list->entries.size()) + " watches, " +
                      std::to_string(FrameCount(*list)) + " frames");
            return kDone;
        }
        if (action != "apply") {
            throw ArgumentError{"watches " + action + ": check FILE, or apply PORT FILE"};
        }
        if (m_words.size() != 3) {
            throw ArgumentError{"watches apply PORT FILE"};
        }
        SendOptions options = ReadSendOptions(m_texts, true);
        options.port = m_words[1];
        std::chrono::milliseconds gap(1000);
        if (m_gap.Given()) {
            gap = std::chrono::milliseconds(
                Required(ParseUnsigned(m_gap.value, 0, 60000),
                         "--gap " + m_gap.value + ": milliseconds from 0 to 60000"));
        }
        std::optional<WatchList> list = Checked(m_words[2]);
        if (!list) {
            return kBadArguments;
        }
        return Apply(*list, options, gap);
    }

private:
    // The list in `file` with no fault, or every fault said and nullopt.
    static std::optional<WatchList> Checked(const std::string& file) {
        std::variant<WatchList, std::vector<WatchListFault>> loaded = LoadWatchList(file);
        std::vector<WatchListFault> faults;
        if (auto* found = std::get_if<std::vector<WatchListFault>>(&loaded)) {
            faults = *found;
        } else {
            faults = CheckWatchList(std::get<WatchList>(loaded));
        }
        for (const WatchListFault& fault : faults) {
            // Without the program's name first, so that an editor can take the line to the file's line.
            std::fprintf(stderr, "%s\n", WatchListFaultText(file, fault).c_str());
        }
        if (!faults.empty()) {
            return std::nullopt;
        }
        return std::get<WatchList>(std::move(loaded));
    }

    int Apply(const WatchList& list, const SendOptions& options, std::chrono::milliseconds gap) const {
        Session session(options);
        if (!options.dryRun && !session.Open()) {
            return kPortFailed;
        }
        // --seq numbers the first frame and the rest follow; a dry run shows the stored numbers to come
        // without taking them.
        std::optional<uint8_t> following = options.sequence;
        if (!following && options.dryRun) {
            following = PeekSequence(options.port);
        }
        bool sequenceFailed = false;
        const auto next = [&]() -> uint8_t {
            if (following) {
                const uint8_t sequence = *following;
                following = NextSequence(sequence);
                return sequence;
            }
            if (sequenceFailed) {
                return 0; // said once; the run ends before anything is written
            }
            std::optional<uint8_t> taken = session.SequenceNumber();
            sequenceFailed = !taken;
            return taken.value_or(0);
        };
        const std::size_t total = FrameCount(list);
        std::size_t written = 0;
        const auto pause = [&](const std::string& before) {
            if (written == 0 || options.dryRun || SleepFor(gap)) {
                return true;
            }
            Fail("interrupted before " + before + ": " + std::to_string(written) + " of " +
                 std::to_string(total) + " frames written");
            return false;
        };
        for (std::size_t row = 0; row < list.entries.size(); ++row) {
            const WatchEntry& entry = list.entries[row];
            const std::string where = "watch " + entry.name + " (line " + std::to_string(entry.line) +
                                      ", row " + std::to_string(row + 1) + " of " +
                                      std::to_string(list.entries.size()) + ")";
            // A whole watch's numbers are taken at once: one left unused by a failed write is only skipped.
            const std::vector<WatchFrame> frames = EntryFrames(entry, next);
            if (sequenceFailed) {
                return kPortFailed; // the session said why
            }
            for (std::size_t index = 0; index < frames.size(); ++index) {
                const WatchFrame& frame = frames[index];
                const std::string what = frame.kind == "channel"
                                             ? "the channel"
                                             : "host address slot " + std::to_string(frame.slot);
                if (!pause(where)) {
                    return kPortFailed;
                }
                const Frame out{frame.kind, frame.bytes, frame.bytes[1]};
                if (!options.dryRun && !session.Write(out, false)) {
                    Fail(where + ": " + what + " not written (frame " + std::to_string(index + 1) + " of " +
                         std::to_string(frames.size()) + " of this watch); " + std::to_string(written) +
                         " of " + std::to_string(total) + " frames written, the watches before it are done");
                    return kPortFailed;
                }
                ++written;
                Print(options, entry, row, frame);
            }
        }
        if (m_time && (!pause("the time") || !SendTime(session, options))) {
            return kPortFailed;
        }
        if (!options.json && !options.dryRun) {
            PrintLine(std::to_string(list.entries.size()) + " watches, " + std::to_string(written) +
                      " frames written" + (m_time ? ", and the time" : ""));
        }
        return kDone;
    }

    // The time after the watches (--time), as the wireless page's clock shows it when the frame goes; false
    // when it did not go out.
    static bool SendTime(Session& session, const SendOptions& options) {
        const ClockTime now = ClockArgument(TextOption{});
        const Frame time{"time", BuildTimeFrame(now.text, now.weekdayMondayFirst)};
        if (!options.dryRun && !session.Write(time, false)) {
            Fail("the time not written; every watch before it is done");
            return false;
        }
        session.PrintSent(time);
        return true;
    }

    // One line a frame: with --json the watch it is for; with --dry-run its bytes.
    static void Print(const SendOptions& options, const WatchEntry& entry, std::size_t row,
                      const WatchFrame& frame) {
        if (options.json) {
            JsonLine line;
            line["watch"] = entry.name;
            line["address"] = entry.address;
            line["line"] = entry.line;
            line["row"] = row + 1;
            line["command"] = frame.kind;
            if (frame.slot > 0) {
                line["slot"] = frame.slot;
            }
            line["port"] = options.port;
            line["sequence"] = frame.bytes[1];
            line["sent"] = Hex(frame.bytes);
            if (options.dryRun) {
                line["dry_run"] = true;
            }
            PrintJson(line);
        } else if (options.dryRun) {
            PrintLine(Hex(frame.bytes));
        }
    }

    std::vector<std::string> m_words;
    TextOption m_gap;
    bool m_time = false;
    SendOptionTexts m_texts;
};

} // namespace

std::unique_ptr<Command> MakeWatchesCommand() {
    return std::make_unique<WatchesCommand>();
}

} // namespace velkor::cli
