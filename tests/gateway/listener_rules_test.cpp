// What the listeners accept before anything is queued: texts, recipients, watch lists, tokens, addresses.

#include "gateway/http/access.h"
#include "gateway/intake/page_text.h"
#include "gateway/intake/watch_names.h"
#include "gateway/mqtt/mqtt_link.h"
#include "gateway/net/listen_address.h"
#include "gateway/net/tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace velkor::gateway {
namespace {

struct TextRow {
    const char* name;
    std::string bytes;
    Charset charset;
    std::string gbk;    // when accepted
    std::string reason; // when refused
};

TEST(PageText, AcceptsWhatTheTextPageSendsAndRefusesTheRest) {
    const std::string chinese42 = [] {
        std::string text;
        for (int i = 0; i < 42; ++i) {
            text += "\xE9\xA4\x90"; // 餐
        }
        return text;
    }();
    const std::vector<TextRow> rows = {
        {"utf-8 Chinese", "3号桌请取餐", Charset::Utf8, "3\xBA\xC5\xD7\xC0\xC7\xEB\xC8\xA1\xB2\xCD", ""},
        {"84 bytes fit", chinese42, Charset::Utf8, std::string(), ""},
        {"85 bytes", chinese42 + "a", Charset::Utf8, "",
         "the text is 85 bytes in GBK; a page takes at most 84 (42 Chinese characters)"},
        {"empty", "", Charset::Utf8, "", "the text is empty"},
        {"broken utf-8", "ab\xE9\xA4", Charset::Utf8, "", "the text is not valid UTF-8"},
        {"bell", "ring\a", Charset::Utf8, "",
         "the text has the control character U+0007 at character 5; only line breaks may be in it"},
        {"NUL", std::string("a\0b", 3), Charset::Utf8, "",
         "the text has the control character U+0000 at character 2; only line breaks may be in it"},
        {"line break", "a\nb", Charset::Utf8, "a\nb", ""},
        {"gbk bytes", "3\xBA\xC5\xD7\xC0", Charset::Gbk, "3\xBA\xC5\xD7\xC0", ""},
        {"broken gbk", "3\xBA", Charset::Gbk, "", "the text is not valid GBK"},
    };
    for (const TextRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::variant<PageText, std::string> result = CheckPageText(row.bytes, row.charset);
        if (!row.reason.empty()) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result));
            EXPECT_EQ(std::get<std::string>(result), row.reason);
        } else {
            ASSERT_TRUE(std::holds_alternative<PageText>(result)) << std::get<std::string>(result);
            if (!row.gbk.empty()) {
                EXPECT_EQ(std::get<PageText>(result).gbk, row.gbk);
            } else {
                EXPECT_EQ(std::get<PageText>(result).gbk.size(), 84U);
            }
        }
    }
}

TEST(PageText, NamesTheCharactersGbkLacks) {
    std::variant<PageText, std::string> result = CheckPageText("ok \xF0\x9F\x98\x80", Charset::Utf8);
    ASSERT_TRUE(std::holds_alternative<PageText>(result));
    EXPECT_EQ(std::get<PageText>(result).gbk, "ok ?");
    ASSERT_EQ(std::get<PageText>(result).missing.size(), 1U);
    EXPECT_EQ(std::get<PageText>(result).missing[0], "\xF0\x9F\x98\x80 (U+1F600)");
}

TEST(WatchList, ReadsNamesAndAddressesWhateverTheOtherColumns) {
    std::string error;
    std::optional<WatchNames> names = WatchNames::Parse("\xEF\xBB\xBFroom,Address,Name\r\n"
                                                        "ward 1,0.0.0.12,nurse-3\r\n"
                                                        "\r\n"
                                                        "kitchen,\"0.0.1.4\",\"chef, \"\"big\"\" Li\"\r\n"
                                                        ",,\r\n"
                                                        "x,1.2.3.4,\xE5\x8E\xA8\xE6\x88\xBF\n",
                                                        &error);
    ASSERT_TRUE(names) << error;
    EXPECT_EQ(names->Size(), 3U) << "a row of separators alone is no watch";
    EXPECT_EQ(names->Find("nurse-3"), (WatchAddress{0, 0, 0, 12}));
    EXPECT_EQ(names->Find("chef, \"big\" Li"), (WatchAddress{0, 0, 1, 4}));
    EXPECT_EQ(names->Find("\xE5\x8E\xA8\xE6\x88\xBF"), (WatchAddress{1, 2, 3, 4}));
    EXPECT_FALSE(names->Find("Nurse-3"));

    // The site's watch list itself, as a Chinese or European spreadsheet saves it (decimal comma).
    names = WatchNames::Parse(
        "name;address;freq;net;host1\r\n\"床 1\";0.0.0.1;434,00;7;192.168.1.5\r\n;;;;\r\n", &error);
    ASSERT_TRUE(names) << error;
    EXPECT_EQ(names->Find("床 1"), (WatchAddress{0, 0, 0, 1}));
}

// The gateway reads the list by the rules the window and velkor-cli check it with, faults and all.
TEST(WatchList, RefusesAFileItCannotTrustSayingWhere) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", "watch list: empty: a header line name,address,freq,net,host1,...,host10 first"},
        {"name,room\nx,1.2.3.4\n", "watch list:1: address: the header line has no such column "
                                   "(name,address,freq,net,host1,...,host10)"},
        {"name,address\na,1.2.3\n",
         "watch list:2: address: \"1.2.3\" is not an address A.B.C.D (each part 0 to 255)"},
        {"name,address\na,\n", "watch list:2: address: an address A.B.C.D is needed"},
        {"name,address\n,0.0.0.5\n", "watch list:2: name: a name is needed"},
        {"name,address\na,0.0.0.1\nb,0.0.0.2\na,0.0.0.3\n",
         "watch list:4: name: \"a\" is the name of line 2 too"},
        {"name,address\n\"open,1\n", "watch list: line 2: a quoted field never ends"},
        // A name a sender's recipient would be read as something else: a page to "12" went to 0.0.0.12.
        {"name,address\n12,0.0.0.7\n", "watch list:2: name: \"12\" reads as an address, a number or all: a "
                                       "page to it would not reach this watch"},
        {"name,address\nall,0.0.0.7\n", "watch list:2: name: \"all\" reads as an address, a number or all: a "
                                        "page to it would not reach this watch"},
        {"name,address\n0.0.0.5,0.0.0.7\n",
         "watch list:2: name: \"0.0.0.5\" reads as an address, a number or all: "
         "a page to it would not reach this watch"},
        // Saved by a spreadsheet in GBK: its names would never match a sender's UTF-8.
        {"name,address\n\xB4\xB2,0.0.0.7\n", "watch list: not UTF-8 text (save the sheet as \"CSV UTF-8\")"},
    };
    for (const auto& [csv, reason] : rows) {
        SCOPED_TRACE(csv);
        std::string error;
        EXPECT_FALSE(WatchNames::Parse(csv, &error));
        EXPECT_EQ(error, reason);
    }
    std::string error;
    EXPECT_FALSE(WatchNames::Load("/nonexistent/watches.csv", &error));
    EXPECT_EQ(error, "/nonexistent/watches.csv: No such file or directory");
    // velkor-cli's limit, not four times it.
    const std::string path =
        std::filesystem::temp_directory_path() / ("velkor-big-" + std::to_string(getpid()));
    std::ofstream(path) << "name,address\n" << std::string(MAX_WATCH_LIST_BYTES, '#');
    EXPECT_FALSE(WatchNames::Load(path, &error));
    EXPECT_EQ(error, path + ": larger than 1024 kB: not a watch list");
    std::filesystem::remove(path);
}

TEST(Recipients, AddressNumberAllOrName) {
    std::string error;
    const std::optional<WatchNames> names = WatchNames::Parse("name,address\nnurse-3,0.0.0.12\n", &error);
    ASSERT_TRUE(names) << error;
    const std::vector<std::pair<std::string, WatchAddress>> good = {
        {"0.0.0.12", {0, 0, 0, 12}}, {"12", {0, 0, 0, 12}},         {"4294967295", {255, 255, 255, 255}},
        {"16909060", {1, 2, 3, 4}},  {"all", {255, 255, 255, 255}}, {"nurse-3", {0, 0, 0, 12}},
        {"010", {0, 0, 0, 10}}, // decimal, whatever inet_aton would make of it
    };
    for (const auto& [text, address] : good) {
        SCOPED_TRACE(text);
        std::variant<std::vector<Recipient>, std::string> recipient = ParseRecipient(text, *names);
        ASSERT_TRUE(std::holds_alternative<std::vector<Recipient>>(recipient))
            << std::get<std::string>(recipient);
        ASSERT_EQ(std::get<std::vector<Recipient>>(recipient).size(), 1U);
        EXPECT_EQ(std::get<std::vector<Recipient>>(recipient)[0].address, address);
    }
    for (const std::string bad : {"", "4294967296", "1.2.3.256", "nurse-4", "-1", " 12", "0x10"}) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(std::holds_alternative<std::string>(ParseRecipient(bad, *names)));
    }
    EXPECT_EQ(
        std::get<std::string>(ParseRecipient("bed-9", WatchNames{})),
        "no watch or group is named \"bed-9\" (an address A.B.C.D, a number, all, or a name from a watch "
        "list, and none is loaded)");
}

TEST(Recipients, AListIsSplitAtCommasAndSemicolonsAsEitherKeyboardTypesThem) {
    EXPECT_EQ(SplitRecipients(" kitchen, desk ,,"), (std::vector<std::string>{"kitchen", "desk"}));
    EXPECT_EQ(SplitRecipients("厨房，前台；bar;  12 "),
              (std::vector<std::string>{"厨房", "前台", "bar", "12"}));
    EXPECT_EQ(SplitRecipients("，；"), std::vector<std::string>{});
    // A name holding a byte of a separator's UTF-8 but not the separator is one name.
    EXPECT_EQ(SplitRecipients("厨师3"), std::vector<std::string>{"厨师3"});
}

TEST(Recipients, AGroupIsEachOfItsMembersAndIsNeverNamedLikeAWatch) {
    std::string error;
    const std::optional<WatchNames> names =
        WatchNames::Parse("name,address,groups\ncook-1,0.0.0.1,kitchen\ncook-2,0.0.0.2,\" kitchen ; "
                          "floor-2\"\nwaiter,0.0.0.3,floor-2\n",
                          &error);
    ASSERT_TRUE(names) << error;
    const auto kitchen = std::get<std::vector<Recipient>>(ParseRecipient("kitchen", *names));
    ASSERT_EQ(kitchen.size(), 2U);
    EXPECT_EQ(kitchen[0].name, "cook-1");
    EXPECT_EQ(kitchen[1].address, (WatchAddress{0, 0, 0, 2}));
    EXPECT_EQ(std::get<std::vector<Recipient>>(ParseRecipient("floor-2", *names)).size(), 2U);
    EXPECT_EQ(names->Watches()[1].groups, (std::vector<std::string>{"kitchen", "floor-2"}));

    EXPECT_FALSE(WatchNames::Parse("name,address,groups\ncook,0.0.0.1,bar\nbar,0.0.0.2,\nx,0.0.0.3,all\n",
                                   &error, "site.csv"));
    EXPECT_EQ(error,
              "site.csv:2: groups: the group \"bar\" is named like a watch, an address, a number or all: a "
              "page to it would not reach its members\n"
              "site.csv:4: groups: the group \"all\" is named like a watch, an address, a number or all: a "
              "page to it would not reach its members");
}

TEST(TokenFile, EntriesWithAndWithoutNames) {
    std::string error;
    std::optional<Tokens> tokens = Tokens::Parse("# site tokens\n\ns3cret\npanel  p4nel-token\r\n", &error);
    ASSERT_TRUE(tokens) << error;
    EXPECT_EQ(tokens->Match("s3cret")->name, "");
    EXPECT_EQ(tokens->Match("p4nel-token")->name, "panel");
    EXPECT_EQ(tokens->Match("p4nel-token")->scopes, ALL_SCOPES);
    EXPECT_FALSE(tokens->Match("s3cre"));
    EXPECT_FALSE(tokens->Match("s3cretX"));
    EXPECT_FALSE(tokens->Match(""));
    EXPECT_TRUE(tokens->Login("anyone", "s3cret"));
    EXPECT_TRUE(tokens->Login("panel", "p4nel-token"));
    EXPECT_FALSE(tokens->Login("other", "p4nel-token")) << "a named token is that user's";
    EXPECT_FALSE(tokens->Login("panel", "wrong"));

    EXPECT_FALSE(Tokens::Parse("# only a comment\n", &error));
    EXPECT_EQ(error, "no token in it");
    EXPECT_FALSE(Tokens::Parse("a b c d\n", &error));
}

TEST(TokenFile, ScopesLimitWhatAKeyMayDo) {
    std::string error;
    std::optional<Tokens> tokens =
        Tokens::Parse("desk d3sk send\nwall w4ll read\nlead l34d send,read,admin\nold 0ld\n", &error);
    ASSERT_TRUE(tokens) << error;
    EXPECT_EQ(tokens->Match("d3sk")->scopes, unsigned{SEND});
    EXPECT_EQ(tokens->Match("w4ll")->scopes, unsigned{READ});
    EXPECT_EQ(tokens->Match("l34d")->scopes, unsigned{ALL_SCOPES});
    EXPECT_EQ(tokens->Match("0ld")->scopes, unsigned{ALL_SCOPES})
        << "today's NAME TOKEN lines keep every scope";
    EXPECT_TRUE(tokens->Login("desk", "d3sk"));
    EXPECT_FALSE(tokens->Login("wall", "w4ll")) << "SNPP sends pages: a read-only key cannot log in";

    EXPECT_FALSE(Tokens::Parse("# keys\ndesk d3sk send,write\n", &error));
    EXPECT_EQ(error, "line 2: \"write\" is not a scope (send, read, admin, comma-separated)");
}

TEST(TokenFile, AKeyMayNameWhomItsGotifyMessagesPage) {
    std::string error;
    std::optional<Tokens> tokens =
        Tokens::Parse("ups k1tchen send to=kitchen\nnas n4s to=cook-1,cook-2\nto=x\n", &error);
    ASSERT_TRUE(tokens) << error;
    EXPECT_EQ(tokens->Match("k1tchen")->to, "kitchen");
    EXPECT_EQ(tokens->Match("k1tchen")->scopes, unsigned{SEND});
    EXPECT_EQ(tokens->Match("n4s")->name, "nas");
    EXPECT_EQ(tokens->Match("n4s")->to, "cook-1,cook-2");
    EXPECT_EQ(tokens->Match("to=x")->to, "") << "a line of one word is a token, whatever it reads as";
    EXPECT_FALSE(Tokens::Parse("a b send c to=x\n", &error));
    EXPECT_EQ(error, "line 1: a line holds more than NAME TOKEN SCOPES to=RECIPIENTS");
}

TEST(HttpKeys, ABearerTokenOrTheTokenAsBasicsPassword) {
    EXPECT_EQ(TokenOfAuthorization("Bearer s3cret"), "s3cret");
    EXPECT_EQ(TokenOfAuthorization("bearer s3cret"), "s3cret");
    EXPECT_EQ(TokenOfAuthorization("Basic bmFzOm40cw=="), "n4s"); // nas:n4s, as curl -u and Apprise send it
    EXPECT_EQ(TokenOfAuthorization("BASIC bmFzOm40cw"), "n4s");
    EXPECT_EQ(TokenOfAuthorization("Basic bmFz"), std::nullopt) << "no password";
    EXPECT_EQ(TokenOfAuthorization("Basic !!!!"), std::nullopt);
    EXPECT_EQ(TokenOfAuthorization("Digest s3cret"), std::nullopt);
    EXPECT_EQ(DecodeBase64("5aSH6I-c"), "备菜") << "URL-safe, as ntfy's ?auth= is";
    EXPECT_EQ(DecodeBase64("YQ"), "a");
    EXPECT_EQ(DecodeBase64(""), std::nullopt);
}

TEST(ListenAddresses, NumericHostsAndLoopback) {
    struct Row {
        std::string text;
        bool valid;
        bool loopback;
    };
    for (const Row& row : std::vector<Row>{{"127.0.0.1:8025", true, true},
                                           {"127.9.9.9:1", true, true},
                                           {"localhost:444", true, true},
                                           {"[::1]:444", true, true},
                                           {"0.0.0.0:8025", true, false},
                                           {"[::]:8025", true, false},
                                           {"192.168.1.5:8025", true, false},
                                           {"127.0.0.1", false, false},
                                           {"127.0.0.1:0", false, false},
                                           {"127.0.0.1:65536", false, false},
                                           {"example.org:80", false, false},
                                           {"[::1:80", false, false}}) {
        SCOPED_TRACE(row.text);
        std::string error;
        std::optional<ListenAddress> address = ParseListenAddress(row.text, &error);
        ASSERT_EQ(address.has_value(), row.valid) << error;
        if (address) {
            EXPECT_EQ(address->Loopback(), row.loopback);
        }
    }
}

} // namespace
} // namespace velkor::gateway

namespace velkor::gateway {
namespace {

TEST(BrokerSettings, UrlsAndTopics) {
    struct Row {
        std::string url;
        bool ok;
        std::string host;
        int port;
        bool tls;
    };
    for (const Row& row : std::vector<Row>{{"mqtt://broker.lan", true, "broker.lan", 1883, false},
                                           {"mqtt://127.0.0.1:18830/", true, "127.0.0.1", 18830, false},
                                           {"mqtts://broker.lan", true, "broker.lan", 8883, true},
                                           {"mqtts://[::1]:8884", true, "::1", 8884, true},
                                           {"tcp://broker.lan", false, "", 0, false},
                                           {"mqtt://", false, "", 0, false},
                                           {"mqtt://broker.lan:0", false, "", 0, false},
                                           {"mqtt://broker.lan:", false, "", 0, false},
                                           {"mqtt://broker.lan:99999", false, "", 0, false},
                                           {"mqtt://user@broker.lan", false, "", 0, false},
                                           {"mqtt://[::1", false, "", 0, false}}) {
        MqttSettings settings;
        std::string error;
        ASSERT_EQ(ParseBrokerUrl(row.url, &settings, &error), row.ok) << row.url << ": " << error;
        if (row.ok) {
            EXPECT_EQ(settings.host, row.host) << row.url;
            EXPECT_EQ(settings.port, row.port) << row.url;
            EXPECT_EQ(settings.tls, row.tls) << row.url;
        } else {
            EXPECT_NE(error.find(row.url), std::string::npos) << error;
        }
    }
    for (const auto& [topic, prefix, name] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"site/desk", "site", "desk"}, {"velkor/clinic/ground", "velkor/clinic", "ground"}}) {
        MqttSettings settings;
        std::string error;
        ASSERT_TRUE(ParseGatewayTopic(topic, &settings, &error)) << error;
        EXPECT_EQ(settings.prefix, prefix);
        EXPECT_EQ(settings.name, name);
    }
    for (const std::string& topic :
         std::vector<std::string>{"desk", "site/", "/desk", "site//desk", "site/+", "site/#", "site/all",
                                  std::string("site/de\nsk")}) {
        MqttSettings settings;
        std::string error;
        EXPECT_FALSE(ParseGatewayTopic(topic, &settings, &error)) << topic;
        EXPECT_TRUE(error.starts_with("--mqtt-topic: PREFIX/NAME")) << error;
    }
}

} // namespace
} // namespace velkor::gateway
