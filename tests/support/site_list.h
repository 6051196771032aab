#pragma once
// A site's watch list for the tests that write one: `count` watches with every kind of row (channel and
// slots, slots only, channel only, nothing to send), semicolon-separated with a BOM and CRLF, as a
// Chinese-locale spreadsheet saves it.

#include <string>

inline std::string SiteList(int count) {
    std::string text = "\xEF\xBB\xBFname;address;freq;net;host1;host2;host10;room\r\n";
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        const bool channel = i % 3 != 0;
        const bool withSlots = i % 3 != 1 || i % 2 == 0;
        text += "\"床 " + n + "\";0.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ";" +
                (channel ? "434." + std::to_string(10 + i % 80) + ";" + std::to_string(i % 256) : ";") + ";" +
                (withSlots ? "192.168.0." + n + ";;10.0.0." + n : ";;") + ";room " + n + "\r\n";
    }
    return text;
}
