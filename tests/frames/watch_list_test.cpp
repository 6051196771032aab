// The watch list file: the CSV a spreadsheet saves, every fault with its line and column, and the frames of
// each watch as the wireless page builds them.

#include "frames/csv.h"
#include "frames/hex.h"
#include "frames/watch_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace velkor {
namespace {

CsvTable Csv(std::string_view text) {
    std::variant<CsvTable, std::string> read = ReadCsv(text);
    EXPECT_TRUE(std::holds_alternative<CsvTable>(read)) << std::get<std::string>(read);
    return std::get<CsvTable>(read);
}

TEST(Csv, WhatSpreadsheetsWrite) {
    // Quotes with the separator, a doubled quote and a line break inside; CRLF; a BOM; blanks trimmed
    // outside quotes only; a blank line skipped; each record keeps the line it starts on.
    CsvTable table = Csv("\xEF\xBB\xBFname,note\r\n\"a,b\", x \r\n\r\n\"say \"\"hi\"\"\",\"two\nlines\"\r\n"
                         "\" kept \",last");
    EXPECT_EQ(table.separator, ',');
    ASSERT_EQ(table.records.size(), 4U);
    EXPECT_EQ(table.records[1].fields, (std::vector<std::string>{"a,b", "x"}));
    EXPECT_EQ(table.records[2].line, 4U);
    EXPECT_EQ(table.records[2].fields, (std::vector<std::string>{"say \"hi\"", "two\nlines"}));
    EXPECT_EQ(table.records[3].line, 6U);
    EXPECT_EQ(table.records[3].fields, (std::vector<std::string>{" kept ", "last"}));

    // A Chinese-locale spreadsheet separates with semicolons; a comma is then text.
    table = Csv("name;address\n\"张,三\";0.0.0.1;\n");
    EXPECT_EQ(table.separator, ';');
    EXPECT_EQ(table.records[1].fields, (std::vector<std::string>{"张,三", "0.0.0.1", ""}));

    std::variant<CsvTable, std::string> open = ReadCsv("name\n\"never closed\nx\n");
    ASSERT_TRUE(std::holds_alternative<std::string>(open));
    EXPECT_EQ(std::get<std::string>(open), "line 2: a quoted field never ends");

    // Written back, any value reads as itself.
    for (const std::string value : {"plain", "a,b", "say \"hi\"", "two\nlines", " blank", "x;y"}) {
        for (char separator : {',', ';'}) {
            const std::string line =
                std::string("x") + separator + "y\n" + CsvField(value, separator) + separator + "end\n";
            EXPECT_EQ(Csv(line).records.at(1).fields.at(0), value) << line;
        }
    }
}

std::string Lines(const std::vector<WatchListFault>& faults) {
    std::string text;
    for (const WatchListFault& fault : faults) {
        text += std::to_string(fault.line) + ": " + fault.column + ": " + fault.reason + "\n";
    }
    return text;
}

std::vector<WatchListFault> Faults(std::string_view text) {
    std::variant<WatchList, std::vector<WatchListFault>> parsed = ParseWatchList(text);
    if (auto* faults = std::get_if<std::vector<WatchListFault>>(&parsed)) {
        return *faults;
    }
    return CheckWatchList(std::get<WatchList>(parsed));
}

TEST(WatchList, ReadsTheColumnsInAnyOrderAndKeepsTheOthers) {
    std::variant<WatchList, std::vector<WatchListFault>> parsed = ParseWatchList(
        "Room;HOST2;address;name;net;freq\nA;10.0.0.2;0.0.0.1;bed 1;7;434.00\nB;;0.0.0.2;bed 2;;\n");
    ASSERT_TRUE(std::holds_alternative<WatchList>(parsed))
        << Lines(std::get<std::vector<WatchListFault>>(parsed));
    const WatchList& list = std::get<WatchList>(parsed);
    EXPECT_TRUE(CheckWatchList(list).empty()) << Lines(CheckWatchList(list));
    EXPECT_EQ(list.extraColumns, std::vector<std::string>{"Room"});
    ASSERT_EQ(list.entries.size(), 2U);
    EXPECT_EQ(list.entries[0].name, "bed 1");
    EXPECT_EQ(list.entries[0].hosts[1], "10.0.0.2");
    EXPECT_EQ(list.entries[0].freq, "434.00");
    EXPECT_EQ(list.entries[1].extra, std::vector<std::string>{"B"});
    EXPECT_EQ(list.entries[1].line, 3U);

    // Saved and read again: the same list, the other column kept.
    std::variant<WatchList, std::vector<WatchListFault>> again = ParseWatchList(SaveWatchList(list));
    ASSERT_TRUE(std::holds_alternative<WatchList>(again));
    const WatchList& reread = std::get<WatchList>(again);
    EXPECT_EQ(reread.extraColumns, list.extraColumns);
    ASSERT_EQ(reread.entries.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(reread.entries[i].name, list.entries[i].name);
        EXPECT_EQ(reread.entries[i].hosts, list.entries[i].hosts);
        EXPECT_EQ(reread.entries[i].extra, list.entries[i].extra);
    }
}

struct BadFile {
    const char* name;
    std::string text;
    std::string expected; // "line: column: reason" of the first fault
};

TEST(WatchList, EveryFaultNamesItsLineAndColumn) {
    std::string many = "name,address\n";
    for (int i = 0; i < 10000; ++i) {
        many += 'w'; // piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "w" + std::to_string(i)
        many += std::to_string(i);
        many += ",0.0.0.1\n";
    }
    const std::vector<BadFile> rows = {
        {"empty", "", "0: : empty: a header line name,address,freq,net,host1,...,host10 first"},
        {"no header", "bed 1,0.0.0.1\n", "1: name: the header line has no such column"},
        {"no address column", "name,freq,net\nx,434,1\n", "1: address: the header line has no such column"},
        {"column twice", "name,address,Name\n", "1: Name: the column is there twice"},
        {"slot 11", "name,address,host11\n", "1: host11: a watch has ten address slots, host1 to host10"},
        {"freq column alone", "name,address,freq\n", "1: net: freq and net go together"},
        {"duplicate name", "name,address\nbed,0.0.0.1\nbed,0.0.0.2\n",
         "3: name: \"bed\" is the name of line 2 too"},
        {"bad address", "name,address\nbed,0.0.0.256\n",
         "2: address: \"0.0.0.256\" is not an address A.B.C.D (each part 0 to 255)"},
        {"no address", "name,address\nbed,\n", "2: address: an address A.B.C.D is needed"},
        {"no name", "name,address\n,0.0.0.1\n", "2: name: a name is needed"},
        {"freq without net", "name,address,freq,net\nbed,0.0.0.1,434,\n",
         "2: net: freq and net go together: both, or both empty to leave the channel alone"},
        {"bad freq", "name,address,freq,net\nbed,0.0.0.1,434.125,1\n",
         "2: freq: \"434.125\" is not a frequency"},
        {"bad net", "name,address,freq,net\nbed,0.0.0.1,434,256\n", "2: net: \"256\" is not a network ID"},
        {"bad slot", "name,address,host3\nbed,0.0.0.1,10.0.0\n", "2: host3: \"10.0.0\" is not an address"},
        {"10 000 rows", many, "0: : more than 1000 watches (10000): not one site's list"},
        {"binary", std::string("name,address\n\x89PNG\0\x01", 19), "0: : not UTF-8 text"},
        {"20 MB line", "name,address\n" + std::string(20 * 1024 * 1024, 'x'), "0: : larger than 1024 kB"},
        {"header only", "name,address\n", "0: : no watches in the list"},
        {"quote never closed", "name,address\n\"bed,0.0.0.1\n", "0: : line 2: a quoted field never ends"},
    };
    for (const BadFile& row : rows) {
        const std::string faults = Lines(Faults(row.text));
        EXPECT_TRUE(faults.starts_with(row.expected)) << row.name << ":\n" << faults;
    }
    // What each is, for the programs that say it in other words.
    const std::vector<WatchListFault> twice = Faults("name,address\nbed,0.0.0.1\nbed,0.0.0.2\n");
    ASSERT_EQ(twice.size(), 1U);
    EXPECT_EQ(twice[0].problem, WatchListProblem::NameTwice);
    EXPECT_EQ(twice[0].value, "bed");
    EXPECT_EQ(twice[0].otherLine, 2U);
    EXPECT_EQ(twice[0].row, 1);
    EXPECT_EQ(Faults("name,address\nbed,1.2.3\n").at(0).problem, WatchListProblem::BadAddress);
    EXPECT_EQ(Faults("name,address\nbed,1.2.3\n").at(0).value, "1.2.3");
    EXPECT_EQ(Faults("name,address,host11\n").at(0).problem, WatchListProblem::SlotPastTen);
    EXPECT_EQ(Faults(many).at(0).value, "10000");
    // Every fault of a file, not only the first.
    EXPECT_EQ(Faults("name,address,freq,net\n,1.2.3.4.5,x,\nok,0.0.0.1,,\n").size(), 4U);
}

TEST(WatchList, APanelsCallNumbersAreDigitsAndEachReachesOneWatch) {
    const std::string csv = "name,address,call\n"
                            "bed5,0.0.1.5, 550 \n"
                            "bed6,0.0.1.6,0550\n"
                            "desk,0.0.1.7,\n"
                            "bed8,0.0.1.8,55a\n"
                            "bed9,0.0.1.9,12345678901234567\n";
    auto read = ParseWatchList(csv);
    ASSERT_TRUE(std::holds_alternative<WatchList>(read));
    const WatchList& list = std::get<WatchList>(read);
    EXPECT_EQ(EntryCall(list, list.entries[0]), "550"); // blanks around it are not the number's
    EXPECT_EQ(EntryCall(list, list.entries[2]), "");
    // 0550 is 550 as a panel sends it: one number given twice.
    EXPECT_EQ(CallKey("0550"), "550");
    EXPECT_EQ(CallKey("000"), "0");
    EXPECT_EQ(Lines(CheckWatchList(list)),
              "3: call: the call number 0550 is that of line 2 too\n"
              "5: call: \"55a\" is not a call number (1 to 16 digits)\n"
              "6: call: \"12345678901234567\" is not a call number (1 to 16 digits)\n");
    const std::vector<WatchListFault> faults = CheckWatchList(list);
    EXPECT_EQ(faults[0].problem, WatchListProblem::CallTwice);
    EXPECT_EQ(faults[0].otherLine, 2U);
    EXPECT_EQ(faults[1].problem, WatchListProblem::BadCall);
    // Saved and read again, the column stays.
    auto again = ParseWatchList(SaveWatchList(list));
    ASSERT_TRUE(std::holds_alternative<WatchList>(again));
    EXPECT_EQ(EntryCall(std::get<WatchList>(again), std::get<WatchList>(again).entries[1]), "0550");

    // A call's escalation policy: one word, on a watch a call reaches.
    read = ParseWatchList("name,address,call,escalate\n"
                          "bed5,0.0.1.5,550, ward-2 \n"
                          "bed6,0.0.1.6,551,ward 2\n"
                          "desk,0.0.1.7,,ward-2\n");
    const WatchList& policies = std::get<WatchList>(read);
    EXPECT_EQ(EntryEscalation(policies, policies.entries[0]), "ward-2");
    EXPECT_EQ(Lines(CheckWatchList(policies)),
              "3: escalate: \"ward 2\" is not the name of an escalation policy (one word)\n"
              "4: escalate: an escalation is only for a panel's calls: this watch has no call number\n");
    EXPECT_EQ(CheckWatchList(policies).at(1).problem, WatchListProblem::EscalationWithoutCall);
}

TEST(WatchList, AsSpreadsheetsWriteIt) {
    // Empty rows a sheet leaves below the list, and a European sheet's decimal comma in a ; file.
    auto read = ParseWatchList("name;address;freq;net\r\nbed 1;0.0.0.1;434,00;7\r\n;;;\r\n;;;\r\n");
    ASSERT_TRUE(std::holds_alternative<WatchList>(read))
        << Lines(std::get<std::vector<WatchListFault>>(read));
    const WatchList& list = std::get<WatchList>(read);
    ASSERT_EQ(list.entries.size(), 1U);
    EXPECT_EQ(list.entries[0].freq, "434.00");
    EXPECT_EQ(Lines(CheckWatchList(list)), "");
    // In a comma file "434,00" is two cells, and a ; file's 1,234.5 stays what it is: a fault.
    read = ParseWatchList("name;address;freq;net\nbed 1;0.0.0.1;1,234.5;7\n");
    EXPECT_EQ(Lines(CheckWatchList(std::get<WatchList>(read))),
              "2: freq: \"1,234.5\" is not a frequency: MHz below 1024, at most two decimals (434.00)\n");

    // A name a spreadsheet would run as a formula is saved so that it shows it, and reads back as itself.
    WatchList formulas;
    formulas.extraColumns = {"note", "+room"}; // a column's name too
    for (const std::string name : {"=cmd|' /C calc'!A0", "+1 kitchen", "-front desk", "@bar", "'plain"}) {
        WatchEntry entry;
        entry.name = name;
        entry.address = "0.0.0.9";
        entry.extra = {"=HYPERLINK(\"x\")", "-1"};
        formulas.entries.push_back(entry);
    }
    const std::string saved = SaveWatchList(formulas);
    EXPECT_NE(saved.find("'=cmd|"), std::string::npos);
    EXPECT_EQ(saved.find(",=HYPERLINK"), std::string::npos) << saved;
    read = ParseWatchList(saved);
    ASSERT_TRUE(std::holds_alternative<WatchList>(read));
    EXPECT_EQ(std::get<WatchList>(read).extraColumns, formulas.extraColumns);
    for (std::size_t i = 0; i < formulas.entries.size(); ++i) {
        EXPECT_EQ(std::get<WatchList>(read).entries.at(i).name, formulas.entries[i].name);
        EXPECT_EQ(std::get<WatchList>(read).entries.at(i).extra, formulas.entries[i].extra);
    }

    // A name that a sender's recipient would be read as is a fault, with its line.
    read = ParseWatchList("name,address\n7,0.0.0.1\nall,0.0.0.2\n1.2.3.4,0.0.0.3\nbed 7,0.0.0.4\n");
    EXPECT_EQ(
        Lines(CheckWatchList(std::get<WatchList>(read))),
        "2: name: \"7\" reads as an address, a number or all: a page to it would not reach this watch\n"
        "3: name: \"all\" reads as an address, a number or all: a page to it would not reach this watch\n"
        "4: name: \"1.2.3.4\" reads as an address, a number or all: a page to it would not reach this "
        "watch\n");
}

TEST(WatchList, AWatchsFramesAreTheWirelessPagesFrames) {
    WatchEntry entry;
    entry.name = "bed 1";
    entry.address = "1.2.3.4";
    entry.freq = "434.00";
    entry.net = "7";
    entry.hosts[0] = "192.168.1.100";
    entry.hosts[9] = "10.0.0.9";
    uint8_t sequence = 254;
    std::vector<WatchFrame> frames = EntryFrames(entry, [&] { return ++sequence; });
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0].kind, "channel");
    EXPECT_EQ(frames[0].bytes, BuildChannelFrame(255, {1, 2, 3, 4}, ChannelFromText(u"434.00", u"7")));
    EXPECT_EQ(frames[1].slot, 1);
    EXPECT_EQ(ToHex(frames[1].bytes), "5A 00 01 02 03 04 E3 06 C0 A8 01 64 00 CD E7");
    EXPECT_EQ(frames[2].slot, 10);
    EXPECT_EQ(frames[2].bytes, BuildHostAddressFrame(1, {1, 2, 3, 4}, {10, 0, 0, 9}, 9));
    // No channel, no slots: nothing to send, and no number taken.
    entry.freq.clear();
    entry.net.clear();
    entry.hosts = {};
    EXPECT_TRUE(EntryFrames(entry, [&] { return ++sequence; }).empty());
    EXPECT_EQ(sequence, 1);
}

TEST(WatchList, AFileThatCannotBeReadSaysWhy) {
    std::variant<WatchList, std::vector<WatchListFault>> missing = LoadWatchList("/no/such/watches.csv");
    ASSERT_TRUE(std::holds_alternative<std::vector<WatchListFault>>(missing));
    EXPECT_FALSE(std::get<std::vector<WatchListFault>>(missing).front().reason.empty());
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "velkor-watch-list-test.csv";
    std::ofstream(path, std::ios::binary) << "name,address\r\nbed,0.0.0.1\r\n";
    std::variant<WatchList, std::vector<WatchListFault>> loaded = LoadWatchList(path.string());
    std::filesystem::remove(path);
    ASSERT_TRUE(std::holds_alternative<WatchList>(loaded));
    EXPECT_EQ(std::get<WatchList>(loaded).entries.at(0).address, "0.0.0.1");
}

} // namespace
} // namespace velkor
