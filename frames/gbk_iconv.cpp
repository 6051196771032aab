// GBK through glibc iconv.

#include "text_encoding.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace velkor {
namespace {

constexpr const char* kUtf16Native = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Converter {
public:
    Converter(const char* to, const char* from) : m_handle(iconv_open(to, from)) {
        if (m_handle == reinterpret_cast<iconv_t>(-1)) {
            throw TextConversionError(std::string("no converter from ") + from + " to " + to + ": " +
                                      std::strerror(errno));
        }
    }
    ~Converter() { iconv_close(m_handle); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    iconv_t get() const { return m_handle; }
    void reset() const { iconv(m_handle, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t m_handle;
};

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::string WideToAnsi(std::u16string_view text) {
    if (auto nul = text.find(u'\0'); nul != std::u16string_view::npos) {
        text = text.substr(0, nul);
    }
    Converter converter("GBK", kUtf16Native);
    std::string out;
    // GBK needs at most two bytes for one UTF-16 unit.
    std::string chunk(text.size() * 2 + 16, '\0');
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Convert what remains; stop at the first character GBK cannot express.
        char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data() + pos));
        std::size_t inLeft = (text.size() - pos) * sizeof(char16_t);
        char* dst = chunk.data();
        std::size_t dstLeft = chunk.size();
        std::size_t rc = iconv(converter.get(), &in, &inLeft, &dst, &dstLeft);
        int err = errno;
        out.append(chunk.data(), static_cast<std::size_t>(dst - chunk.data()));
        pos = text.size() - inLeft / sizeof(char16_t);
        if (rc != static_cast<std::size_t>(-1)) {
            break;
        }
        if (err == E2BIG) {
            continue;
        }
        if (err != EILSEQ && err != EINVAL) {
            throw TextConversionError(std::string("GBK conversion failed: ") + std::strerror(err));
        }
        // One character without a GBK form: one '?', as the code page's default character.
        out.push_back('?');
        bool pair = pos + 1 < text.size() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[pos + 1]);
        pos += pair ? 2 : 1;
        converter.reset();
    }
    return out;
}

std::string AnsiToUtf8(std::string_view gbk) {
    Converter converter("UTF-8", "GBK");
    std::string out;
    std::string chunk(gbk.size() * 3 + 16, '\0');
    std::size_t pos = 0;
    while (pos < gbk.size()) {
        char* in = const_cast<char*>(gbk.data() + pos);
        std::size_t inLeft = gbk.size() - pos;
        char* dst = chunk.data();
        std::size_t dstLeft = chunk.size();
        std::size_t rc = iconv(converter.get(), &in, &inLeft, &dst, &dstLeft);
        int err = errno;
        out.append(chunk.data(), static_cast<std::size_t>(dst - chunk.data()));
        pos = gbk.size() - inLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            break;
        }
        if (err == E2BIG) {
            continue;
        }
        out.append("\xEF\xBF\xBD"); // U+FFFD for the byte that starts no GBK character
        ++pos;
        converter.reset();
    }
    return out;
}

} // namespace velkor
