#include "gateway/smtp/mail_text.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"

#include <gmime/gmime.h>

#include <cctype>
#include <memory>
#include <mutex>
#include <string>

namespace velkor::gateway {
namespace {

template <typename T> struct GObjectDeleter {
    void operator()(T* object) const {
        if (object) {
            g_object_unref(object);
        }
    }
};
template <typename T> using Owned = std::unique_ptr<T, GObjectDeleter<T>>;

void SetUpGmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// GB2312 and GBK mail often holds characters of the larger sets: read as GB18030, which holds them all.
void WidenChineseCharset(GMimeTextPart* part) {
    const char* charset = g_mime_text_part_get_charset(part);
    if (!charset) {
        return;
    }
    std::string name(charset);
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (name == "gb2312" || name == "gbk" || name == "cp936" || name == "x-gbk" || name == "euc-cn") {
        g_mime_text_part_set_charset(part, "GB18030");
    } else if (name == "big5" || name == "x-big5" || name == "cp950") {
        g_mime_text_part_set_charset(part, "BIG5-HKSCS");
    }
}

std::string PartText(GMimeTextPart* part) {
    WidenChineseCharset(part);
    char* text = g_mime_text_part_get_text(part);
    std::string utf8 = text ? text : "";
    g_free(text);
    return ValidUtf8(utf8);
}

// The text of HTML as a reader sees it: tags gone (and what <style> and <script> hold), a line break for
// each block, the common entities read.
std::string HtmlText(std::string_view html) {
    std::string text;
    std::size_t at = 0;
    while (at < html.size()) {
        if (html[at] == '<') {
            const std::size_t end = html.find('>', at);
            if (end == std::string_view::npos) {
                break;
            }
            std::string tag(html.substr(at + 1, end - at - 1));
            for (char& c : tag) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            at = end + 1;
            for (const char* hidden : {"style", "script", "head"}) {
                if (tag.starts_with(hidden)) {
                    const std::string close = std::string("</") + hidden;
                    std::string rest(html.substr(at));
                    for (char& c : rest) {
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    }
                    const std::size_t closed = rest.find(close);
                    at = closed == std::string::npos ? html.size() : at + closed;
                }
            }
            if (tag.starts_with("br") || tag.starts_with("/p") || tag.starts_with("/div") ||
                tag.starts_with("/h") || tag.starts_with("/li") || tag.starts_with("/tr") ||
                tag.starts_with("/title")) {
                text += '\n';
            }
            continue;
        }
        if (html[at] == '&') {
            const std::size_t end = html.find(';', at);
            if (end != std::string_view::npos && end - at <= 8) {
                const std::string_view entity = html.substr(at + 1, end - at - 1);
                std::string replaced;
                if (entity == "nbsp") {
                    replaced = " ";
                } else if (entity == "amp") {
                    replaced = "&";
                } else if (entity == "lt") {
                    replaced = "<";
                } else if (entity == "gt") {
                    replaced = ">";
                } else if (entity == "quot") {
                    replaced = "\"";
                } else if (entity.starts_with('#') && entity.size() > 1) {
                    const bool hex = entity[1] == 'x' || entity[1] == 'X';
                    const std::string digits(entity.substr(hex ? 2 : 1));
                    char* stop = nullptr;
                    const unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
                    if (!digits.empty() && *stop == '\0' && code > 0 && code < 0x110000) {
                        AppendUtf8(replaced, static_cast<char32_t>(code));
                    }
                }
                if (!replaced.empty()) {
                    text += replaced;
                    at = end + 1;
                    continue;
                }
            }
        }
        text += html[at];
        ++at;
    }
    return text;
}

// The first line with something on it, blanks around it dropped.
std::string FirstLine(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (!line.empty()) {
            return std::string(line);
        }
        start = end + 1;
    }
    return {};
}

struct Found {
    std::string plain;
    std::string html;
    bool hasPlain = false;
    bool hasHtml = false;
    std::size_t attachments = 0;
};

// Every part of `object`: the first plain and the first HTML text that are not attachments.
void Walk(GMimeObject* object, Found& found) {
    if (GMIME_IS_MULTIPART(object)) {
        auto* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            Walk(g_mime_multipart_get_part(multipart, i), found);
        }
        return;
    }
    if (!GMIME_IS_PART(object)) {
        ++found.attachments; // a forwarded message: not this mail's text
        return;
    }
    if (g_mime_part_is_attachment(GMIME_PART(object)) || !GMIME_IS_TEXT_PART(object)) {
        ++found.attachments;
        return;
    }
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (g_mime_content_type_is_type(type, "text", "html")) {
        if (!found.hasHtml) {
            found.html = PartText(GMIME_TEXT_PART(object));
            found.hasHtml = true;
        }
    } else if (g_mime_content_type_is_type(type, "text", "plain") && !found.hasPlain) {
        found.plain = PartText(GMIME_TEXT_PART(object));
        found.hasPlain = true;
    }
}

} // namespace

MailText ReadMail(std::string_view raw, MailTextFrom from) {
    SetUpGmime();
    MailText mail;
    // The stream copies: the parser may read from it after this returns its message.
    Owned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeParserOptions* options = g_mime_parser_options_new();
    // Headers sent raw in 8 bits (no encoded words) are tried as these, in this order.
    const char* fallback[] = {"UTF-8", "GB18030", "BIG5-HKSCS", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
    g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
    Owned<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
    g_mime_parser_options_free(options);
    if (!message) {
        return mail;
    }
    if (const char* subject = g_mime_message_get_subject(message.get())) {
        mail.subject = ValidUtf8(FirstLine(subject));
    }
    Found found;
    if (GMimeObject* body = g_mime_message_get_mime_part(message.get())) {
        Walk(body, found);
    }
    mail.attachments = found.attachments;
    std::string bodyLine = FirstLine(found.plain);
    if (bodyLine.empty() && found.hasHtml) {
        bodyLine = FirstLine(HtmlText(found.html));
        mail.htmlOnly = !bodyLine.empty() && !found.hasPlain;
    }
    mail.text = from == MailTextFrom::Subject && !mail.subject.empty() ? mail.subject : bodyLine;
    if (mail.text.empty()) {
        mail.text = mail.subject;
    }
    return mail;
}

} // namespace velkor::gateway
