// Checks that a text made by the BBCode conversion is safe HTML: every "<" opens one of the tags
// that the conversion writes, links go only to http, https, ftp and mailto addresses, attribute
// values are what their tag allows, and no quote or ">" stands outside a tag. Shared by the tests
// and the fuzz target.
#ifndef CTRLPORT_TESTS_HTML_SAFETY_H
#define CTRLPORT_TESTS_HTML_SAFETY_H

#include <cctype>
#include <cstring>
#include <string>

namespace html_safety {

inline bool startsWith(const std::string& text, std::size_t at, const char* prefix)
{
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

// Reads an attribute value from `at` up to the next '"' followed by `end`; false when none.
inline bool readValue(const std::string& text, std::size_t at, const char* end, std::string& value,
    std::size_t& after)
{
    const std::size_t quote = text.find('"', at);
    if (quote == std::string::npos || !startsWith(text, quote + 1, end))
        return false;
    value = text.substr(at, quote - at);
    after = quote + 1 + std::strlen(end);
    return true;
}

inline bool allOf(const std::string& text, std::size_t from, int (*test)(int))
{
    for (std::size_t i = from; i < text.size(); ++i) {
        if (!test(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

inline bool isSafeAddress(const std::string& address)
{
    std::string upper;
    for (char c : address)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!startsWith(upper, 0, "HTTP://") && !startsWith(upper, 0, "HTTPS://") && !startsWith(upper, 0, "FTP://")
        && !startsWith(upper, 0, "MAILTO:"))
        return false;
    for (char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || c == '"' || c == '<' || c == '>' || c == '[' || c == ']')
            return false;
    }
    return true;
}

// Empty when the text is safe, else a description of the first fault.
inline std::string firstFault(const std::string& html)
{
    static const char* const kPlainTags[] = {"<b>", "</b>", "<i>", "</i>", "<u>", "</u>", "</a>", "</font>",
        "</span>", "</div>", "<ul>", "</ul>", "</ol>", "<li>", "<ol type=1>", "<ol type=A>", "<ol type=I>",
        "<div align=\"left\">", "<div align=\"right\">", "<div align=\"center\">"};
    std::size_t i = 0;
    while (i < html.size()) {
        const char c = html[i];
        if (c == '"' || c == '>')
            return "stray " + std::string(1, c) + " at " + std::to_string(i);
        if (c != '<') {
            ++i;
            continue;
        }
        bool plain = false;
        for (const char* tag : kPlainTags) {
            if (startsWith(html, i, tag)) {
                i += std::strlen(tag);
                plain = true;
                break;
            }
        }
        if (plain)
            continue;
        std::string value;
        std::size_t after = 0;
        if (startsWith(html, i, "<a href=\"")) {
            if (!readValue(html, i + 9, ">", value, after) || !isSafeAddress(value))
                return "unsafe link at " + std::to_string(i);
        } else if (startsWith(html, i, "<font color=\"")) {
            if (!readValue(html, i + 13, ">", value, after) || value.empty()
                || !(value[0] == '#' ? value.size() > 1 && allOf(value, 1, ::isxdigit) : allOf(value, 0, ::isalpha)))
                return "unsafe colour at " + std::to_string(i);
        } else if (startsWith(html, i, "<span style=\" font-size:")) {
            const std::size_t end = html.find("pt;\">", i);
            if (end == std::string::npos)
                return "unsafe size at " + std::to_string(i);
            value = html.substr(i + 24, end - i - 24);
            if (value.empty() || !allOf(value, 0, ::isdigit))
                return "unsafe size at " + std::to_string(i);
            after = end + 5;
        } else {
            return "unknown tag at " + std::to_string(i);
        }
        i = after;
    }
    return std::string();
}

} // namespace html_safety

#endif
