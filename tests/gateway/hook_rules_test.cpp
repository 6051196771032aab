// The hooks file and the alert texts, apart from the server.

#include "gateway/hooks/alertmanager.h"
#include "gateway/hooks/hooks_file.h"
#include "gateway/intake/page_text.h"

#include <gtest/gtest.h>

namespace velkor::gateway {
namespace {

TEST(HooksFile, EachKindOfFaultIsToldWithItsLine) {
    std::string error;
    EXPECT_FALSE(Hooks::Parse("to = desk\n"
                              "[Bad Name]\n"
                              "[ok]\n"
                              "to = {/who\n"
                              "text = {monitor}\n"
                              "colour = red\n"
                              "to = desk\n"
                              "priority = urgent\n"
                              "just words\n"
                              "[ok]\n"
                              "[alertmanager]\n"
                              "[half]\n"
                              "text = x\n",
                              "hooks.conf", &error));
    EXPECT_EQ(
        error,
        "hooks.conf:1: key = value before the first [name]\n"
        "hooks.conf:2: a hook's name is lower-case letters, digits, - and _ (it is part of the address)\n"
        "hooks.conf:4: to: a { without its }\n"
        "hooks.conf:5: text: {monitor} is not a JSON Pointer (/field/sub-field, ~0 for ~, ~1 for /)\n"
        "hooks.conf:6: \"colour\" is not a key of a hook (to, text, priority, key, resolve, answer, repeat, "
        "escalate)\n"
        "hooks.conf:7: to is given twice in [ok]\n"
        "hooks.conf:8: priority is high, normal, or high when {/field} = value (or !=)\n"
        "hooks.conf:9: a line is [name], key = value, or a # comment\n"
        "hooks.conf:3: [ok] needs both to = ... and text = ...\n"
        "hooks.conf:10: [ok] is given twice\n"
        "hooks.conf:11: [alertmanager] is Alertmanager's own hook\n"
        "hooks.conf:12: [half] needs both to = ... and text = ...");
    // What a page that must be answered needs: a key to resolve it by, a rule, an interval.
    EXPECT_FALSE(Hooks::Parse("[up]\nto = desk\ntext = x\nrepeat = 7\nresolve = {/s} = 1\nanswer = maybe\n"
                              "[down]\nto = desk\ntext = x\nresolve = when {/s} = 1\n",
                              "hooks.conf", &error));
    EXPECT_EQ(error, "hooks.conf:4: repeat is 5, 10, 20, 30 or 60 (seconds, until the page is answered)\n"
                     "hooks.conf:5: resolve is when {/field} = value (or !=)\n"
                     "hooks.conf:6: answer is yes or no\n"
                     "hooks.conf:7: [down] needs key = ... to tie a resolution to its page");
    EXPECT_FALSE(Hooks::Parse("# nothing\n", "empty.conf", &error));
    EXPECT_EQ(error, "empty.conf: no hooks in it ([name], then to = ... and text = ...)");
}

TEST(HooksFile, FieldsArePickedByPointerAndAMissingOneIsNamed) {
    std::string error;
    const std::optional<Hooks> hooks =
        Hooks::Parse("# an uptime monitor\n"
                     "[uptime]\n"
                     "to = it-desk, {/monitor/owner}\n"
                     "text = {/monitor/name}：{/heartbeat/msg} ({/heartbeat/status})\n"
                     "priority = high when {/heartbeat/status} = 0\n"
                     "[ci]\n"
                     "to = dev\n"
                     "text = {/a~1b}{/c~0d}\n"
                     "priority = high\n",
                     "hooks.conf", &error);
    ASSERT_TRUE(hooks) << error;
    EXPECT_EQ(hooks->Names(), (std::vector<std::string>{"ci", "uptime"}));
    const Hook& uptime = *hooks->Find("uptime");
    Json body = Json::parse(R"({"monitor": {"name": "收银机", "owner": "lead"},
                                "heartbeat": {"msg": "离线", "status": 0}})");
    HookPage page = ApplyHook(uptime, body);
    EXPECT_EQ(page.to, (std::vector<std::string>{"it-desk", "lead"}));
    EXPECT_EQ(page.text, "收银机：离线 (0)");
    EXPECT_EQ(page.priority, Priority::High);
    body["heartbeat"]["status"] = 1;
    EXPECT_EQ(ApplyHook(uptime, body).priority, Priority::Normal);
    EXPECT_EQ(ApplyHook(*hooks->Find("ci"), Json::parse(R"({"a/b": "x", "c~d": "y"})")).text, "xy");

    for (const auto& [json, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"monitor": {"name": "x", "owner": "y"}, "heartbeat": {"status": 0}})",
              "{/heartbeat/msg}: the body has no such field"},
             {R"({"monitor": {"name": {"a": 1}, "owner": "y"}, "heartbeat": {"msg": "m", "status": 0}})",
              "{/monitor/name}: the field is not text but object, not text"},
             {R"({"monitor": {"name": null, "owner": "y"}, "heartbeat": {"msg": "m", "status": 0}})",
              "{/monitor/name}: the field is null, not text"}}) {
        SCOPED_TRACE(json);
        try {
            ApplyHook(uptime, Json::parse(json));
            ADD_FAILURE() << "not refused";
        } catch (const PageRefusal& refusal) {
            EXPECT_EQ(refusal.status, 422);
            EXPECT_EQ(refusal.message, reason);
        }
    }
}

// A pointer whose token is no index, on a body that is an array, is a field the body lacks (nlohmann's
// at() throws out_of_range there, which was an internal error).
TEST(HooksFile, APointerIntoAnArrayBodyThatIsNoIndexIsNamed) {
    std::string error;
    const std::optional<Hooks> hooks =
        Hooks::Parse("[list]\nto = dev\ntext = {/}{/name}\n", "hooks.conf", &error);
    ASSERT_TRUE(hooks) << error;
    for (const char* json : {R"([1, 2])", R"([])", R"([{"name": "x"}])"}) {
        SCOPED_TRACE(json);
        try {
            ApplyHook(*hooks->Find("list"), Json::parse(json));
            ADD_FAILURE() << "not refused";
        } catch (const PageRefusal& refusal) {
            EXPECT_EQ(refusal.status, 422);
            EXPECT_EQ(refusal.message, "{/}: the body has no such field (the body is an array: /0, /1...)");
        }
    }
    const std::optional<Hooks> indexed =
        Hooks::Parse("[list]\nto = dev\ntext = {/0/name}\n", "hooks.conf", &error);
    ASSERT_TRUE(indexed) << error;
    EXPECT_EQ(ApplyHook(*indexed->Find("list"), Json::parse(R"([{"name": "x"}])")).text, "x");
}

TEST(AlertText, CutOnAWholeCharacterWithAnEllipsis) {
    EXPECT_EQ(FitPageText("freezer\ttoo warm\r\nnow"), "freezer too warm \nnow");
    std::string chinese;
    for (int i = 0; i < 43; ++i) {
        chinese += "温";
    }
    // 43 characters are 86 bytes: 41 and "…" are 84.
    EXPECT_EQ(FitPageText(chinese), chinese.substr(0, 3 * 41) + "…");
    EXPECT_EQ(FitPageText(chinese.substr(0, 3 * 42)), chinese.substr(0, 3 * 42)) << "84 bytes fit whole";
    // An emoji is one "?" on the watch: never split between its two halves.
    EXPECT_EQ(FitPageText(std::string(82, 'a') + "😀😀"), std::string(82, 'a') + "😀😀") << "84 bytes";
    EXPECT_EQ(FitPageText(std::string(81, 'a') + "😀😀😀😀"), std::string(81, 'a') + "😀…");
}

} // namespace
} // namespace velkor::gateway
