// The escaping of values on the telnet protocol.
#include "custom_string_helpers.h"

namespace {

// The byte that a backslash and `x` stand for (x below 0x80).
char unescapedByte(char x)
{
    switch (x) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'p': return '|';
    case 'r': return '\r';
    case 's': return ' ';
    case 't': return '\t';
    case 'v': return '\v';
    default: return x;
    }
}

// The letter after the backslash for a byte that is escaped, or 0.
char escapeLetter(char c)
{
    switch (c) {
    case '\\': return '\\';
    case '/': return '/';
    case ' ': return 's';
    case '|': return 'p';
    case '\a': return 'a';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\v': return 'v';
    default: return 0;
    }
}

} // namespace

std::string escapeText(const std::string& text)
{
    std::string result;
    result.reserve(text.size() + text.size() / 4);
    for (char c : text) {
        const char letter = escapeLetter(c);
        if (letter) {
            result += '\\';
            result += letter;
        } else {
            result += c;
        }
    }
    return result;
}

std::string unescapeText(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            result += c;
            continue;
        }
        const char next = text[i + 1];
        if (static_cast<unsigned char>(next) >= 0x80) {
            // Not an escape: the backslash stays and the byte after it is read on its own.
            result += c;
            continue;
        }
        result += unescapedByte(next);
        ++i;
    }
    return result;
}

std::string takeEscapedElement(std::string& text)
{
    std::size_t end = 0;
    while (end < text.size()) {
        const char c = text[end];
        if (c == '\\' && end + 1 < text.size()) {
            const char next = text[end + 1];
            if (next == '"' || next == '/' || next == '\\') {
                end += 2;
                continue;
            }
        }
        if (c == '/')
            break;
        ++end;
    }
    std::string element = unescapeText(text.substr(0, end));
    text.erase(0, end < text.size() ? end + 1 : end);
    return element;
}
