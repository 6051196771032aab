#pragma once
// What a page takes from an email: its subject, or the first line of its text, decoded by GMime (base64,
// quoted-printable, RFC 2047 words) from the charsets Chinese mail arrives in (GB2312, GBK, GB18030, Big5,
// UTF-8) to UTF-8. HTML-only mail gives its text; attachments are counted, never read.
//
// Threads: any thread (GMime is set up once, on first use).

#include <cstddef>
#include <string>
#include <string_view>

namespace velkor::gateway {

enum class MailTextFrom { Subject, Body };

struct MailText {
    std::string text;    // UTF-8, one line; empty when the mail says nothing
    std::string subject; // decoded
    std::size_t attachments = 0;
    bool htmlOnly = false; // the text came out of HTML
};

// The text of the message `raw` (its headers and body as DATA brought them, dot-unstuffed): the subject,
// or the body's first non-empty line when the subject is empty or `from` is Body.
MailText ReadMail(std::string_view raw, MailTextFrom from);

} // namespace velkor::gateway
