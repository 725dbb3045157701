#include "custom_string_helpers.h"

#include "host.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <boost/spirit/include/qi.hpp>

#include <cstdint>
#include <limits>
#include <locale>
#include <sstream>

namespace {

const char* const kChannel = "StringHelp";

template <typename Number, typename Parser>
bool parseDigits(const std::string& text, const Parser& parser, Number& value)
{
    auto first = text.begin();
    value = 0;
    // Stops at the first byte that cannot belong to the number; the rest is ignored on purpose.
    if (!boost::spirit::qi::parse(first, text.end(), parser, value)) {
        value = 0;
        return false;
    }
    return true;
}

bool parseUInt32Digits(const std::string& text, uint32_t& value)
{
    return parseDigits(text, boost::spirit::qi::uint_parser<uint32_t, 10, 1, -1>(), value);
}

bool parseUInt64Digits(const std::string& text, uint64_t& value)
{
    return parseDigits(text, boost::spirit::qi::uint_parser<uint64_t, 10, 1, -1>(), value);
}

bool parseInt32Digits(const std::string& text, int32_t& value)
{
    return parseDigits(text, boost::spirit::qi::int_parser<int32_t, 10, 1, -1>(), value);
}

bool isMinusOne(const std::string& text)
{
    return text.size() == 2 && text[0] == '-' && text[1] == '1';
}

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

template <typename String>
String replaceAllIn(const String& search, const String& replacement, const String& text)
{
    if (search.empty() || text.size() < search.size())
        return text;
    String result;
    result.reserve(text.size());
    typename String::size_type from = 0;
    for (;;) {
        const auto found = text.find(search, from);
        if (found == String::npos)
            break;
        result.append(text, from, found - from);
        result += replacement;
        from = found + search.size();
    }
    result.append(text, from, String::npos);
    return result;
}

} // namespace

// --- numbers as text ---------------------------------------------------------------------------

std::string intToString(int32_t value)
{
    return std::to_string(value);
}

std::string uintToString(uint32_t value)
{
    return std::to_string(value);
}

std::string uint64ToString(uint64_t value)
{
    return std::to_string(value);
}

std::string toBinaryString(uint64_t value)
{
    std::string digits;
    for (; value != 0; value >>= 1)
        digits.insert(digits.begin(), (value & 1) ? '1' : '0');
    return digits;
}

std::string formatFloat(float value)
{
    // The client sets the process locale; the wire always wants a "." as decimal point.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(4);
    out << value;
    return out.str();
}

// --- trims and changes ---------------------------------------------------------------------------

std::string trimLeft(const std::string& text, const std::string& bytes)
{
    const std::size_t first = text.find_first_not_of(bytes);
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string trimRight(const std::string& text, const std::string& bytes)
{
    const std::size_t last = text.find_last_not_of(bytes);
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string replaceAll(const std::string& search, const std::string& replacement, const std::string& text)
{
    return replaceAllIn(search, replacement, text);
}

std::wstring replaceAll(const std::wstring& search, const std::wstring& replacement, const std::wstring& text)
{
    return replaceAllIn(search, replacement, text);
}

std::string removeChar(const std::string& text, char byte)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c != byte)
            result += c;
    }
    return result;
}

std::string toLower(const std::string& text)
{
    // Byte-wise and independent of the process locale, so UTF-8 sequences are never touched.
    std::string result = text;
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

std::string toUpper(const std::string& text)
{
    std::string result = text;
    for (char& c : result) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

std::string padRight(const std::string& text, const std::string& pad, std::size_t width)
{
    std::string result = text;
    if (pad.empty())
        return result;
    while (result.size() < width)
        result += pad;
    return result;
}

std::string padLeft(const std::string& text, const std::string& pad, std::size_t width)
{
    if (pad.empty() || text.size() >= width)
        return text;
    std::string prefix;
    while (prefix.size() + text.size() < width)
        prefix += pad;
    return prefix + text;
}

std::string elide(const std::string& text, int32_t maxLength)
{
    if (maxLength >= 0 && text.size() <= static_cast<std::size_t>(maxLength))
        return text;
    if (maxLength < 3)
        return "...";
    return text.substr(0, static_cast<std::size_t>(maxLength) - 3) + "...";
}

// --- address text ------------------------------------------------------------------------------

std::string ipText(const sockaddr_in& address)
{
    // inet_ntop writes into our buffer (inet_ntoa would share one static buffer between threads).
    char buffer[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer))
        return std::string();
    return std::string(buffer);
}

std::string portText(const sockaddr_in& address)
{
    return uintToString(ntohs(address.sin_port));
}

std::string ipPortText(const sockaddr_in& address)
{
    return ipText(address) + ":" + portText(address);
}

// --- SQL text ------------------------------------------------------------------------------------

std::string sqlEscape(const std::string& text)
{
    return replaceAll("'", "''", text);
}

std::string sqlUnescape(const std::string& text)
{
    return replaceAll("''", "'", text);
}

std::string sqlQuote(const std::string& text)
{
    return "'" + text + "'";
}

std::string doubleQuote(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string nextSqlStatement(const std::string& script, std::size_t& position)
{
    if (position == std::string::npos)
        return std::string();
    if (position > script.size()) {
        position = std::string::npos;
        return std::string();
    }
    std::size_t scan = position;
    for (;;) {
        const std::size_t found = script.find_first_of("';", scan);
        if (found == std::string::npos) {
            std::string rest = script.substr(position);
            position = std::string::npos;
            return rest;
        }
        if (script[found] == '\'') {
            const std::size_t closing = script.find('\'', found + 1);
            if (closing == std::string::npos) {
                logMessage("Invalid SQL string detected: " + script, 0, kChannel);
                position = std::string::npos;
                return std::string();
            }
            scan = closing + 1;
            continue;
        }
        if (position == 0 && found + 1 == script.size()) {
            position = std::string::npos;
            return script;
        }
        std::string statement = script.substr(position, found - position + 1);
        position = found + 1;
        return statement;
    }
}

// --- number parsers ----------------------------------------------------------------------------

uint32_t parseUInt(const std::string& text, bool& failed)
{
    uint32_t value = 0;
    failed = text.empty() || !parseUInt32Digits(text, value);
    return failed ? 0 : value;
}

uint64_t parseUInt64(const std::string& text, bool& failed)
{
    if (isMinusOne(text))
        return std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    failed = text.empty() || !parseUInt64Digits(text, value);
    return failed ? 0 : value;
}

int32_t parseInt(const std::string& text, bool& failed)
{
    int32_t value = 0;
    failed = text.empty() || !parseInt32Digits(text, value);
    return failed ? 0 : value;
}

uint32_t stringToUInt(const std::string& text)
{
    if (text.empty())
        return 0;
    bool failed = false;
    const uint32_t value = parseUInt(text, failed);
    if (failed) {
        logMessage("stringToUInt() failed with: " + text, 0, kChannel);
        return 0;
    }
    return value;
}

uint64_t stringToUINT64(const std::string& text)
{
    if (text.empty())
        return 0;
    bool failed = false;
    const uint64_t value = parseUInt64(text, failed);
    if (failed) {
        logMessage("stringToUINT64() failed with: " + text, 0, kChannel);
        return 0;
    }
    return value;
}

int32_t stringToInt(const std::string& text)
{
    if (text.empty())
        return 0;
    bool failed = false;
    const int32_t value = parseInt(text, failed);
    if (failed) {
        logMessage("stringToInt() failed with: " + text, 0, kChannel);
        return 0;
    }
    return value;
}

uint64_t numberBeforeBracket(const std::string& text)
{
    std::size_t bracket = text.rfind("M]");
    if (bracket == std::string::npos)
        bracket = text.rfind(']');
    if (bracket == std::string::npos || bracket == 0)
        return 0;
    const std::size_t blank = text.rfind(' ', bracket - 1);
    if (blank == std::string::npos)
        return 0;
    bool failed = false;
    const uint64_t value = parseUInt64(text.substr(blank + 1, bracket - blank - 1), failed);
    return failed ? 0 : value;
}

uint64_t stringToULong(const std::string& text, bool& failed)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    unsigned long value = 0;
    in >> value;
    failed = in.fail() || in.bad();
    return value;
}

// --- telnet escaping -----------------------------------------------------------------------------

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
