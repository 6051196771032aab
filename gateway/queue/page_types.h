#pragma once
// A page as the queue holds it: whom it goes to, its text, how it is sent, and its frames.

#include "frames/command_frame.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velkor::gateway {

// One watch a page goes to.
struct Recipient {
    WatchAddress address{};
    std::string name; // the name it was given by, when it came from the watch list
};

enum class Priority { Normal, High };
inline const char* PriorityName(Priority priority) {
    return priority == Priority::High ? "high" : "normal";
}

inline constexpr int DEFAULT_TTL_SECONDS = 600;
// The watches one page may go to, groups counted by their members, whatever the page came by.
inline constexpr int MAX_RECIPIENTS = 100;
// The text page's timed-sending intervals.
inline constexpr int REPEAT_INTERVALS[] = {5, 10, 20, 30, 60};

enum class PageKind { Text, Time };
inline const char* PageKindName(PageKind kind) {
    return kind == PageKind::Time ? "time" : "text";
}

// Every state a page can be in: queued until it is sent, expires, is cancelled or fails. A page that asks
// for an answer goes on from sent (or from queued, while it repeats) to acknowledged or resolved, or to
// unanswered when its time ends.
inline constexpr const char* PAGE_STATES[] = {"queued", "sent",         "expired",  "cancelled",
                                              "failed", "acknowledged", "resolved", "unanswered"};

// Why a page did not go out (yet): in words for people and the log, and as a stable word for programs
// that say it in their own language ("busy", "device_lost", "expired", "call_unknown"...).
struct Reason {
    std::string text;
    std::string code;
};

// One more thing a sender said of a page beside its text, by its stable name ("beep_coding") and in words
// ("beep coding"), with its value as it came.
struct Detail {
    std::string name;
    std::string words;
    std::string value;
};

struct NewPage {
    PageKind kind = PageKind::Text;
    std::vector<Recipient> recipients; // at least one
    std::string text;                  // UTF-8, for the record
    std::string gbk;                   // the bytes of a text page
    Priority priority = Priority::Normal;
    int ttlSeconds = DEFAULT_TTL_SECONDS;
    bool ttlGiven = false;       // by the sender; otherwise the expiry may grow to cover the rounds
    int repeatEvery = 0;         // seconds between rounds; 0 for a page sent once
    int repeatCount = 1;         // rounds in all
    std::string source;          // "http 127.0.0.1:41234", "snpp [::1]:5000 (user nurse)"
    std::string key;             // the name of the key it came with ("" without one)
    std::vector<Detail> details; // what else the sender said of it (a panel's beep coding, call type...)
    // Recorded as failed at once, with this reason, and never sent (a panel's call to a number no watch
    // has: it arrived, and the history must say what became of it). Recipients may then be empty.
    std::optional<Reason> failure;
    bool answer = false; // someone must answer it (acknowledge, or its cause resolve it)
    // What ties a resolution to the page ("alertmanager 4f2a…": an alert's fingerprint); "" for none.
    std::string cause;
    double at = 0;              // on the queue's clock, when its first frame is due; 0 for now
    bool untilAnswered = false; // its rounds go on until it is answered or its time ends
    std::string escalation;     // the escalation policy that pages the next step when nobody answers
    int step = 1;               // which step of it this page is
    int64_t chain = 0;          // the page whose escalation this is (0: this page starts one)
    int escalateAfter = 0;      // seconds until its next step is paged; 0: none
};

struct FrameRecord {
    int number = 0; // the page's frames in sending order: round * recipients + recipient
    int recipient = 0;
    int round = 0;
    int sequence = 0;
    std::string state;  // "pending" (numbered, not known to be written), "sent"
    double time = 0;    // when it was written
    int tries = 0;      // failed writes
    std::string reason; // of the last failed write
};

struct PageRecord {
    int64_t id = 0;
    PageKind kind = PageKind::Text;
    std::vector<Recipient> recipients;
    std::string text;
    Priority priority = Priority::Normal;
    double created = 0;
    double expires = 0;
    int repeatEvery = 0;
    int repeatCount = 1;
    std::string state;      // "queued", "sent", "expired", "cancelled", "failed"
    std::string reason;     // why it failed, or the last failed write of a page still queued
    std::string reasonCode; // the same as a stable word
    std::string source;
    std::string key;
    std::string details; // the details in words ("beep coding 3; call type 1")
    std::vector<Detail> detailList;
    bool sending = false; // still "queued", and a frame of it is being written or some have gone out
    double finished = 0;  // when it left the queue
    bool answer = false;
    double answered = 0;     // when it was acknowledged or resolved; 0 before
    std::string answeredBy;  // the key's name, a panel's port, "alertmanager"
    std::string answeredVia; // "http", "mqtt", "console", "espa", "alertmanager", "hook NAME"
    std::string cause;
    double scheduled = 0; // when it was asked to go out, for a page queued for later; 0 for at once
    bool untilAnswered = false;
    std::string escalation;
    int step = 1;
    int64_t chain = 0;
    double nextStep = 0; // when the next step is paged unless it is answered; 0: none
    int framesDone = 0;
    std::vector<FrameRecord> frames;
};

// The next frame to write.
struct Job {
    int64_t page = 0;
    int number = 0;
    int frames = 0; // frames of the page in all
    PageKind kind = PageKind::Text;
    Recipient recipient;
    std::string gbk;
    uint8_t sequence = 0;
    bool again = false; // numbered before: written again with the same number
};

} // namespace velkor::gateway
