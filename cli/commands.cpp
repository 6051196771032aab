#include "commands.h"

#include "strict_options.h"

namespace velkor::cli {

void SendingCommand::DefineSending(CLI::App& command) {
    DeclarePort(command, m_port);
    AddSendOptions(command, m_texts);
}

SendOptions SendingCommand::CheckedOptions(bool takesSequence) const {
    SendOptions options = ReadSendOptions(m_texts, takesSequence);
    options.port = m_port;
    return options;
}

const std::vector<CommandEntry>& Commands() {
    static const std::vector<CommandEntry> commands = {
        {"ports", "the serial ports and whether each can be opened",
         R"(Lists the serial ports of this machine (never the system console) and the paths in VELKOR_PORTS, each
with "free", "busy", "permission denied", "missing" or "not a serial port".)",
         MakePortsCommand},
        {"send", "write bytes, print the frames that come back",
         R"(Writes the bytes given as pairs of hexadecimal digits ("FA 80 F4 00 6E 0D" or FA80F4006E0D), then prints
every frame received within --wait milliseconds (default 1000, at most 600000), one line of hexadecimal
pairs each; a frame ends after 300 to 400 ms of silence. The run never lasts longer than the wait and
the 400 ms that end a frame. A frame of more than 1024 bytes is reported on standard error, not printed.
If the device goes away, what arrived before is printed, then the loss is reported (exit 1).)",
         MakeSendCommand},
        {"text", "a text message to a watch (GBK, at most 84 bytes)",
         R"(Sends TEXT (UTF-8; "-" reads standard input, at most 4096 bytes, without its last line break) to the
watch at --to (default 255.255.255.255, every watch) as the text page does: in GBK, cut after the last
whole character that fits in 84 bytes, and a character GBK lacks sent as "?" (each with a warning on
standard error). An empty text, or one with control characters other than line breaks, is refused
(exit 2). "--" ends the options, for a text that starts with "-". With --every the text is sent again
every S seconds, each time with the next sequence number, until --count frames have gone or the program
is interrupted.)",
         MakeTextCommand},
        {"time", "date, time and weekday to every watch",
         R"(Sets the date, time and weekday of every watch: the local time now, or --at (years 2000 to 2099). The
weekday is computed from the date, Monday first, as the wireless page does. The frame's sequence byte is
always 0.)",
         MakeTimeCommand},
        {"host-address", "a host address into one of a watch's ten address slots",
         R"(Stores the host address in address slot 1 to 10 ("Addr1" to "Addr10") of the watch.)",
         MakeHostAddressCommand},
        {"channel", "a watch's frequency and network ID",
         R"(Sets a watch's radio frequency (MHz, below 1024, at most two decimals) and network ID (0-255).)",
         MakeChannelCommand},
        {"transmitter", "the transmitter's own frequency and network ID",
         R"(Sets the transmitter's own frequency (MHz, below 1024, at most two decimals) and network ID (0-255).)",
         MakeTransmitterCommand},
        {"module", "a command to the LoRa module on the cable, and its answer",
         R"(Sends a command to the LoRa module on the cable and prints its answer, read as the module page reads it:
  read-config                 the settings: frequency, sleep period, breathing time, network address, power
  write-config --freq MHZ --sleep 2s|4s|6s|8s|10s --breathing 2ms|4ms|8ms|16ms|32ms|64ms --net 0-255
               --power Level1..Level7
  set-time [--at "YYYY-MM-DD HH:MM:SS"]   the module's clock (the local time now by default)
  get-time                    the module's clock, as "2030-02-27 13:45:30 星期3"
  reset
  read-watch-address          the watch address stored in the module
  write-watch-address N       N from 0 to 99999999
The answer must begin within --timeout milliseconds (default 2000); it ends after 300 to 400 ms of
silence, and a line that never goes quiet cannot hold the wait beyond the time-out and those 400 ms. No
answer, or one that is not a whole answer of the module, exits with 3.)",
         MakeModuleCommand},
        {"watches", "a site's watch list: check it, or apply it to every watch",
         R"(The watch list is a CSV file with a header line (as a spreadsheet saves it, "," or ";" between fields):
name,address,freq,net,host1,...,host10,groups,call in any order, other columns ignored. freq (MHz) and net
(0-255) go together, or both stay empty to leave the channel alone; an empty hostN leaves that slot alone.
groups names the groups the watch is in, separated by ";" ("kitchen;ward-2"), for the gateway's
recipients; call is the watch's call number on a nurse-call panel (1 to 16 digits, each on one watch).
  check FILE            every fault, as FILE:LINE: column: reason (exit 2), or the count of watches
  apply PORT FILE       checked first; then for each watch in file order its channel frame and one frame a
                        host address slot, --gap milliseconds apart (default 1000: the transmitter needs
                        the air time), with --time the time to every watch at the end
The frames are the wireless page's. A write that fails ends the run (exit 1), saying which watch and how
far it got; the watches before it are done.)",
         MakeWatchesCommand},
        {"rosters", "a site's duty rosters (the gateway's --rosters): check them",
         R"(The rosters file has a shift a line: ROSTER DAYS HH:MM-HH:MM MEMBERS, as
  ward-nurse  weekdays    07:00-19:00  nurse-3
  ward-nurse  weekdays    19:00-07:00  nurse-4,nurse-7     (into the next morning)
  ward-nurse  2026-12-25  07:00-19:00  nurse-6             (that day, instead of its weekly shifts)
DAYS: daily, weekdays, weekends, mon,tue,...,sun, or a date YYYY-MM-DD. Lines starting with # are left out.
  check FILE            every fault, as FILE:LINE:COLUMN: reason (exit 2), or each roster's members on
                        duty now and the next change, in the machine's local time)",
         MakeRostersCommand},
    };
    return commands;
}

} // namespace velkor::cli
