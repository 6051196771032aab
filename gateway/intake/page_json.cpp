#include "gateway/intake/page_json.h"

#include "frames/strict_text.h"
#include "gateway/intake/page_text.h"
#include "gateway/queue/clock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace velkor::gateway {
namespace {

Json RecipientJson(const Recipient& recipient) {
    Json to = {{"address", AddressText(recipient.address)}};
    if (!recipient.name.empty()) {
        to["name"] = recipient.name;
    }
    return to;
}

std::vector<std::string> ReadTo(const Json& value) {
    std::vector<std::string> to;
    if (value.is_string()) {
        to.push_back(value.get<std::string>());
    } else if (value.is_array() && !value.empty() &&
               std::all_of(value.begin(), value.end(), [](const Json& v) { return v.is_string(); })) {
        for (const Json& one : value) {
            to.push_back(one.get<std::string>());
        }
    } else {
        throw PageRefusal{422, "to: a watch, or a list of watches", "invalid", "to"};
    }
    return to;
}

void ReadRepeat(const Json& value, NewPage& page) {
    const std::string rule = "repeat: {\"every\": 5, 10, 20, 30 or 60, \"count\": 1 to " +
                             std::to_string(MAX_REPEAT_COUNT) +
                             "} or {\"every\": ..., \"until\": \"acknowledged\"}";
    if (!value.is_object() || !value.contains("every") || value.size() != 2 ||
        !value["every"].is_number_integer()) {
        throw PageRefusal{422, rule, "invalid", "repeat"};
    }
    const int64_t every = value["every"].get<int64_t>();
    if (std::find(std::begin(REPEAT_INTERVALS), std::end(REPEAT_INTERVALS), every) ==
        std::end(REPEAT_INTERVALS)) {
        throw PageRefusal{422, rule, "invalid", "repeat"};
    }
    page.repeatEvery = static_cast<int>(every);
    if (value.contains("until")) {
        if (value["until"] != "acknowledged") {
            throw PageRefusal{422, rule, "invalid", "repeat"};
        }
        page.untilAnswered = true; // the rounds are counted from the ttl once it is read
        page.answer = true;
        return;
    }
    const Json& count = value["count"];
    if (!count.is_number_integer() || count.get<int64_t>() < 1 || count.get<int64_t>() > MAX_REPEAT_COUNT) {
        throw PageRefusal{422, rule, "invalid", "repeat"};
    }
    page.repeatCount = count.get<int>();
}

// "2026-12-10T08:00:00+08:00", "2026-12-10T00:00:00Z" (seconds and their fraction optional): seconds
// since the epoch; nullopt for anything else.
std::optional<double> ParseIsoTime(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &year, &month, &day, &hour, &minute, &consumed) !=
            5 ||
        consumed != 16) {
        return std::nullopt;
    }
    std::size_t at = 16;
    double seconds = 0;
    if (at < text.size() && text[at] == ':') {
        const std::size_t end = text.find_first_not_of("0123456789.", at + 1);
        const std::string digits = text.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        if (digits.size() < 2 || !std::isdigit(static_cast<unsigned char>(digits[0])) ||
            !std::isdigit(static_cast<unsigned char>(digits[1])) || (digits.size() > 2 && digits[2] != '.')) {
            return std::nullopt;
        }
        seconds = std::stod(digits);
        at += 1 + digits.size();
    }
    int offset = 0;
    const std::string zone = text.substr(at);
    if (zone == "Z") {
        offset = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' &&
               std::all_of(zone.begin() + 1, zone.end(),
                           [](char c) { return c == ':' || std::isdigit(c); })) {
        offset = (std::stoi(zone.substr(1, 2)) * 60 + std::stoi(zone.substr(4, 2))) * 60;
        offset = zone[0] == '-' ? -offset : offset;
    } else {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || seconds >= 61) {
        return std::nullopt;
    }
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    const std::time_t whole = timegm(&utc);
    if (utc.tm_mday != day) {
        return std::nullopt; // 31 February
    }
    return static_cast<double>(whole) + seconds - offset;
}

void ReadEscalate(const Json& value, NewPage& page, const Intake& intake) {
    if (!value.is_string()) {
        throw PageRefusal{422, "escalate: the name of an escalation policy", "invalid", "escalate"};
    }
    SetEscalation(page, value.get<std::string>(), *intake.Policies());
}

void ReadAt(const Json& value, NewPage& page) {
    const std::string rule =
        "at: a time with its offset, such as \"2026-12-10T08:00:00+08:00\", within a year";
    const std::optional<double> wall =
        value.is_string() ? ParseIsoTime(value.get<std::string>()) : std::nullopt;
    const double ahead = wall ? *wall - WallNow() : 0;
    if (!wall || ahead > MAX_AHEAD_SECONDS) {
        throw PageRefusal{422, rule, "invalid", "at"};
    }
    if (ahead < -60) {
        throw PageRefusal{422, "at: " + value.get<std::string>() + " has passed", "in_the_past", "at"};
    }
    // On the queue's clock, which repeats and expiry count on.
    page.at = ahead > 0 ? QueueNow() + ahead : 0;
}

ReadPage Complete(NewPage page, const std::vector<std::string>& to, const std::string& text,
                  const Intake& intake) {
    if (to.empty()) {
        throw PageRefusal{422, "to: missing (a watch address, a number, all, or a name)", "missing", "to"};
    }
    if (to.size() > MAX_RECIPIENTS) {
        throw PageRefusal{422, "to: more than " + std::to_string(MAX_RECIPIENTS) + " watches",
                          "too_many_recipients", "to"};
    }
    for (const std::string& one : to) {
        std::variant<std::vector<Recipient>, std::string> recipients = intake.Resolve(one);
        if (auto* reason = std::get_if<std::string>(&recipients)) {
            throw PageRefusal{422, "to: " + *reason, "unknown_recipient", "to", one};
        }
        for (Recipient& recipient : std::get<std::vector<Recipient>>(recipients)) {
            page.recipients.push_back(std::move(recipient));
        }
    }
    if (page.recipients.size() > MAX_RECIPIENTS) {
        throw PageRefusal{422, "to: more than " + std::to_string(MAX_RECIPIENTS) + " watches",
                          "too_many_recipients", "to"};
    }
    if (page.untilAnswered) {
        // As many rounds as the ttl holds: it ends them if nobody answers.
        if (!page.ttlGiven) {
            throw PageRefusal{422, "ttl: needed with repeat until acknowledged (how long to go on)",
                              "missing", "ttl"};
        }
        page.repeatCount = page.ttlSeconds / page.repeatEvery + 1;
        if (page.repeatCount > MAX_REPEAT_COUNT) {
            throw PageRefusal{422,
                              "ttl: " + std::to_string(page.ttlSeconds) + " s holds more than " +
                                  std::to_string(MAX_REPEAT_COUNT) + " rounds every " +
                                  std::to_string(page.repeatEvery) + " s",
                              "invalid", "ttl"};
        }
    } else if (page.repeatCount > 1) {
        // The last round starts this long after the first; a page expires at its ttl whatever is left.
        const int rounds = (page.repeatCount - 1) * page.repeatEvery;
        if (!page.ttlGiven) {
            page.ttlSeconds = rounds + DEFAULT_TTL_SECONDS;
        } else if (page.ttlSeconds <= rounds) {
            throw PageRefusal{422,
                              "ttl: " + std::to_string(page.ttlSeconds) +
                                  " s ends the page before its last round (" +
                                  std::to_string(page.repeatCount) + " rounds every " +
                                  std::to_string(page.repeatEvery) + " s take " + std::to_string(rounds) +
                                  " s): a ttl over " + std::to_string(rounds) + ", or fewer rounds",
                              "ttl_before_last_round", "ttl"};
        }
    }
    std::variant<PageText, std::string> checked = CheckPageText(text, Charset::Utf8);
    if (auto* reason = std::get_if<std::string>(&checked)) {
        throw PageRefusal{422, "text: " + *reason, "invalid", "text"};
    }
    PageText& accepted = std::get<PageText>(checked);
    page.text = accepted.utf8;
    page.gbk = accepted.gbk;
    ReadPage read{std::move(page), {}};
    if (!accepted.missing.empty()) {
        std::string names;
        for (const std::string& name : accepted.missing) {
            names += (names.empty() ? "" : ", ") + name;
        }
        read.warning = "GBK has no " + names + "; sent as \"?\"";
    }
    return read;
}

} // namespace

std::variant<ReadPage, PageRefusal> PageFromJson(std::string_view body, NewPage page, const Intake& intake) {
    try {
        Json json = Json::parse(body, nullptr, false);
        if (json.is_discarded()) {
            throw PageRefusal{400, "the body is not JSON", "not_json"};
        }
        if (!json.is_object()) {
            throw PageRefusal{400, "the body is not a JSON object", "not_object"};
        }
        std::vector<std::string> to;
        std::string text;
        for (const auto& [key, value] : json.items()) {
            if (key == "to") {
                to = ReadTo(value);
            } else if (key == "text") {
                if (!value.is_string()) {
                    throw PageRefusal{422, "text: a string", "invalid", "text"};
                }
                text = value.get<std::string>();
            } else if (key == "priority") {
                page.priority = ReadPriority(value);
            } else if (key == "ttl") {
                page.ttlSeconds = ReadTtl(value);
                page.ttlGiven = true;
            } else if (key == "repeat") {
                ReadRepeat(value, page);
            } else if (key == "answer") {
                if (!value.is_boolean()) {
                    throw PageRefusal{422, "answer: true or false", "invalid", "answer"};
                }
                page.answer = page.answer || value.get<bool>();
            } else if (key == "at") {
                ReadAt(value, page);
            } else if (key == "escalate") {
                ReadEscalate(value, page, intake);
            } else {
                throw PageRefusal{422,
                                  "unknown field \"" + key +
                                      "\" (to, text, priority, ttl, repeat, answer, at, escalate)",
                                  "unknown_field", key};
            }
        }
        if (!json.contains("text")) {
            throw PageRefusal{422, "text: missing", "missing", "text"};
        }
        return Complete(std::move(page), to, text, intake);
    } catch (const PageRefusal& refusal) {
        return refusal;
    }
}

void SetEscalation(NewPage& page, const std::string& policy, const Escalations& policies) {
    const std::vector<EscalationStep>* steps = policies.Find(policy);
    if (!steps) {
        std::string names;
        for (const std::string& name : policies.Names()) {
            names += (names.empty() ? "" : ", ") + name;
        }
        throw PageRefusal{
            422,
            "escalate: no escalation policy is named \"" + policy + "\" (" +
                (names.empty() ? std::string("no escalations file is read") : "there are " + names) + ")",
            "unknown_policy", "escalate", policy};
    }
    page.escalation = policy;
    page.answer = true;
    page.escalateAfter = steps->empty() ? 0 : steps->front().after;
}

std::variant<ReadPage, PageRefusal> CompletePage(NewPage page, const std::vector<std::string>& to,
                                                 const std::string& text, const Intake& intake) {
    try {
        return Complete(std::move(page), to, text, intake);
    } catch (const PageRefusal& refusal) {
        return refusal;
    }
}

Priority ReadPriority(const Json& value) {
    if (value == "high") {
        return Priority::High;
    }
    if (value == "normal") {
        return Priority::Normal;
    }
    throw PageRefusal{422, "priority: \"normal\" or \"high\"", "invalid", "priority"};
}

int ReadTtl(const Json& value) {
    if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > MAX_TTL_SECONDS) {
        throw PageRefusal{422, "ttl: a whole number of seconds from 1 to " + std::to_string(MAX_TTL_SECONDS),
                          "invalid", "ttl"};
    }
    return value.get<int>();
}

std::string IsoTime(double seconds) {
    if (seconds <= 0) {
        return {};
    }
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ",
                  static_cast<int>((seconds - static_cast<double>(whole)) * 1000));
    return std::string(text) + millis;
}

Json TimeOrNull(double seconds) {
    return seconds > 0 ? Json(IsoTime(seconds)) : Json(nullptr);
}

std::string JsonText(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

// How a page is sent beyond once and now: its repeats, its answer, its time for later.
void AddTiming(Json& json, const PageRecord& page) {
    if (page.repeatEvery > 0) {
        json["repeat"] = {{"every", page.repeatEvery}, {"count", page.repeatCount}};
        if (page.untilAnswered) {
            json["repeat"]["until"] = "acknowledged";
        }
    }
    if (page.answer) {
        json["answer"] = true;
        if (page.answered > 0) {
            json["answered"] = {
                {"time", IsoTime(page.answered)}, {"by", page.answeredBy}, {"via", page.answeredVia}};
        }
    }
    if (!page.escalation.empty()) {
        json["escalation"] = {{"policy", page.escalation}, {"step", page.step}};
        if (page.chain > 0) {
            json["escalation"]["of"] = page.chain;
        }
        if (page.nextStep > 0) {
            json["escalation"]["next"] = IsoTime(page.nextStep);
        }
    }
    if (page.scheduled > 0) {
        json["at"] = IsoTime(page.scheduled);
        if (page.state == "queued" && page.framesDone == 0 && page.scheduled > QueueNow()) {
            json["scheduled"] = true; // not due yet
        }
    }
}

} // namespace

Json PageJson(const PageRecord& page, bool withFrames) {
    Json json = {{"id", page.id}, {"kind", page.kind == PageKind::Time ? "time" : "text"}};
    Json to = Json::array();
    for (const Recipient& recipient : page.recipients) {
        to.push_back(RecipientJson(recipient));
    }
    json["to"] = to;
    if (page.kind == PageKind::Text) {
        json["text"] = page.text;
    }
    json["priority"] = PriorityName(page.priority);
    json["state"] = page.state;
    if (page.sending) {
        json["sending"] = true; // frames of it are going out, more are to come
    }
    if (!page.reason.empty()) {
        json["reason"] = page.reason;
    }
    if (!page.reasonCode.empty()) {
        json["reason_code"] = page.reasonCode;
    }
    json["created"] = IsoTime(page.created);
    json["expires"] = IsoTime(page.expires);
    AddTiming(json, page);
    json["source"] = page.source;
    if (!page.key.empty()) {
        json["key"] = page.key;
    }
    if (!page.details.empty()) {
        json["details"] = page.details;
    }
    if (!page.detailList.empty()) {
        Json list = Json::array();
        for (const Detail& detail : page.detailList) {
            list.push_back({{"name", detail.name}, {"words", detail.words}, {"value", detail.value}});
        }
        json["detail_list"] = list;
    }
    json["finished"] = TimeOrNull(page.finished);
    if (!withFrames) {
        return json;
    }
    Json frames = Json::array();
    for (const FrameRecord& frame : page.frames) {
        Json entry = {
            {"to",
             page.recipients.empty()
                 ? std::string("255.255.255.255")
                 : AddressText(
                       page.recipients[static_cast<std::size_t>(frame.recipient) % page.recipients.size()]
                           .address)},
            {"round", frame.round + 1},
            {"sequence", frame.sequence},
            {"state", frame.state},
            {"time", TimeOrNull(frame.time)}};
        if (frame.tries > 0) {
            entry["failed_writes"] = frame.tries;
            entry["reason"] = frame.reason;
        }
        frames.push_back(entry);
    }
    json["frames"] = frames;
    return json;
}

} // namespace velkor::gateway
