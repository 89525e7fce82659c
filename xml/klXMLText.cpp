#include "xml/klXMLParser.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace Kiln::XML {

bool parseBoolean(const std::string& text)
{
    const char* s = text.c_str();
    while (*s == '\t' || *s == ' ' || *s == '\n' || *s == '\r' || *s == '\f') ++s;
    for (const char* word : {"true", "yes", "vero", "vrai"})
        if (strncasecmp(s, word, std::strlen(word)) == 0) return true;
    return std::strtoll(s, nullptr, 0) != 0;
}

namespace {

// Length of the well-formed UTF-8 sequence at s (n bytes left) that XML allows, or 0.
std::size_t xmlCharLength(const unsigned char* s, std::size_t n)
{
    unsigned c = s[0];
    std::size_t len;
    unsigned cp;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf)
        len = 2, cp = c & 0x1f;
    else if (c >= 0xe0 && c <= 0xef)
        len = 3, cp = c & 0x0f;
    else if (c >= 0xf0 && c <= 0xf4)
        len = 4, cp = c & 0x07;
    else
        return 0;
    if (n < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3f);
    }
    bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    bool excluded = (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe || cp == 0xffff || cp > 0x10ffff;
    return overlong || excluded ? 0 : len;
}

}  // namespace

std::string escapeAttribute(const std::string& text)
{
    static const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        char c = static_cast<char>(s[i]);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: {
            std::size_t len = s[i] < 0x20 ? 0 : xmlCharLength(s + i, n - i);
            if (len == 0) {
                out += kReplacement;
                ++i;
            } else {
                out.append(text, i, len);
                i += len;
            }
            continue;
        }
        }
        ++i;
    }
    return out;
}

}  // namespace Kiln::XML
