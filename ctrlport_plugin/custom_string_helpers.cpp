#include "custom_string_helpers.h"

#include "host.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/regex.hpp>
#include <boost/spirit/include/qi.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <locale>
#include <sstream>
#include <vector>

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

namespace {

// A number parser whose failure is logged under the caller's name and reads as 0; an empty text is
// 0 without a word.
template <typename T>
T parseLogged(const std::string& text, T (*parse)(const std::string&, bool&), const char* caller)
{
    if (text.empty())
        return 0;
    bool failed = false;
    const T value = parse(text, failed);
    if (failed) {
        logMessage(std::string(caller) + "() failed with: " + text, 0, kChannel);
        return 0;
    }
    return value;
}

} // namespace

uint32_t stringToUInt(const std::string& text)
{
    return parseLogged(text, parseUInt, "stringToUInt");
}

uint64_t stringToUINT64(const std::string& text)
{
    return parseLogged(text, parseUInt64, "stringToUINT64");
}

int32_t stringToInt(const std::string& text)
{
    return parseLogged(text, parseInt, "stringToInt");
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

// --- UTF-8 text ----------------------------------------------------------------------------------

namespace {

// Decodes the character at `pos` (pos below the size). Returns its length in bytes, or 0 when the
// bytes there break the decoding rules.
std::size_t decodeUtf8(const std::string& text, std::size_t pos, uint32_t& codePoint)
{
    const auto byteAt = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(pos);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    uint32_t value = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead < 0xC2) {
        return 0; // a continuation byte, or an overlong two-byte form
    } else if (lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        if (lead == 0xE0)
            secondLow = 0xA0;
    } else if (lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        if (lead == 0xF0)
            secondLow = 0x90;
        if (lead == 0xF4)
            secondHigh = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - pos < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byteAt(pos + i);
        const unsigned char low = i == 1 ? secondLow : 0x80;
        const unsigned char high = i == 1 ? secondHigh : 0xBF;
        if (next < low || next > high)
            return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    codePoint = value;
    return length;
}

bool isUtf8WhiteSpace(uint32_t c)
{
    return c == ' ' || c == '\t' || c == 0x00A0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200D)
        || c == 0x202F || c == 0x205F || c == 0x2060 || c == 0x2063 || (c >= 0x206A && c <= 0x206F)
        || c == 0x2800 || c == 0x3000 || c == 0x3164 || c == 0xFEFF || c == 0xFFA0;
}

bool isUnwantedCharacter(uint32_t c, bool stripLineBreaks, bool stripTabs)
{
    if (c == '\t')
        return stripTabs;
    if (c == '\n' || c == '\r')
        return stripLineBreaks;
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F
        || (c >= 0x2028 && c <= 0x202E) || c > 0xFFF8;
}

} // namespace

bool isValidUtf8(const std::string& text)
{
    uint32_t codePoint = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0)
            return false;
        pos += length;
    }
    return true;
}

std::size_t utf8Length(const std::string& text)
{
    std::size_t characters = 0;
    uint32_t codePoint = 0;
    for (std::size_t pos = 0; pos < text.size(); ++characters) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0) {
            logMessage("Invalid UTF-8 string passed to function, returning bytes as size", 2, kChannel);
            return text.size();
        }
        pos += length;
    }
    return characters;
}

std::string utf8Left(const std::string& text, std::size_t count)
{
    if (count >= text.size())
        return text;
    std::size_t pos = 0;
    uint32_t codePoint = 0;
    for (std::size_t characters = 0; characters < count && pos < text.size(); ++characters) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0) {
            logMessage("Invalid UTF-8 string passed to function, using std::string::substr", 2, kChannel);
            return text.substr(0, count);
        }
        pos += length;
    }
    return text.substr(0, pos);
}

std::string utf8ToHtmlEntities(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    uint32_t codePoint = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0) {
            logMessage("Invalid UTF-8 string passed to function, returning as-is", 2, kChannel);
            return text;
        }
        if (length == 1) {
            result += text[pos];
        } else {
            result += "&#";
            result += std::to_string(codePoint);
            result += ';';
        }
        pos += length;
    }
    return result;
}

int trimUtf8(std::string& text)
{
    // Leading white space is counted and erased in one go, which leaves the same text as erasing
    // each character on its own, also when an invalid sequence stops the walk.
    std::size_t leading = 0;
    std::size_t contentEnd = 0; // end of the last character that is not white space
    bool inContent = false;
    uint32_t codePoint = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0) {
            text.erase(0, leading);
            return kUtf8Invalid;
        }
        pos += length;
        if (!isUtf8WhiteSpace(codePoint)) {
            inContent = true;
            contentEnd = pos;
        } else if (!inContent) {
            leading = pos;
        }
    }
    if (!inContent) {
        text.clear();
        return 0;
    }
    text.erase(contentEnd);
    text.erase(0, leading);
    return 0;
}

int sanitizeUtf8(std::string& text, bool stripLineBreaks, bool stripTabs)
{
    // Kept characters are moved down over the removed ones in a single walk.
    std::size_t kept = 0;
    uint32_t codePoint = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, codePoint);
        if (length == 0) {
            text.erase(kept, pos - kept); // earlier removals stay, the rest is left as it is
            return kUtf8Invalid;
        }
        if (!isUnwantedCharacter(codePoint, stripLineBreaks, stripTabs)) {
            if (kept != pos)
                std::copy(text.begin() + static_cast<std::ptrdiff_t>(pos),
                    text.begin() + static_cast<std::ptrdiff_t>(pos + length), text.begin() + static_cast<std::ptrdiff_t>(kept));
            kept += length;
        }
        pos += length;
    }
    text.resize(kept);
    return 0;
}

// --- display formatting --------------------------------------------------------------------------

namespace {

std::string fixedPoint(double value, int decimals)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
    out << value;
    return out.str();
}

std::string twoDigits(uint64_t value)
{
    return padLeft(uint64ToString(value), "0", 2);
}

} // namespace

std::string formatPercent(double fraction)
{
    return fixedPoint(fraction * 100.0, 2) + " %";
}

std::string formatByteSize(uint64_t bytes, bool binary)
{
    static const char* const kDecimalUnits[] = {" k", " M", " G", " T", " P", " E"};
    static const char* const kBinaryUnits[] = {" K", " M", " G", " T", " P", " E"};
    const uint64_t base = binary ? 1024 : 1000;
    const uint64_t limit = base * base;
    if (bytes < base)
        return uint64ToString(bytes) + (binary ? " Bytes" : "");
    std::size_t steps = 1;
    while (bytes > limit) {
        bytes /= base;
        ++steps;
    }
    if (steps > 6)
        return "overflow";
    std::string text = fixedPoint(static_cast<double>(bytes) / static_cast<double>(base), 2);
    text += binary ? kBinaryUnits[steps - 1] : kDecimalUnits[steps - 1];
    if (binary)
        text += "iB";
    return text;
}

std::string formatDuration(uint64_t milliseconds, bool withMilliseconds)
{
    const uint64_t years = milliseconds / 31536000000ull;
    if (years > 100) {
        logMessage("Your system time seems to be unstable, please fix this", 2, kChannel);
        return "overflow";
    }
    const uint64_t days = milliseconds / 86400000ull % 365;
    std::string text;
    if (years != 0)
        text += uint64ToString(years) + "a ";
    if (years != 0 || days != 0)
        text += uint64ToString(days) + "d ";
    text += twoDigits(milliseconds / 3600000ull % 24) + ":" + twoDigits(milliseconds / 60000ull % 60) + ":"
        + twoDigits(milliseconds / 1000ull % 60);
    if (withMilliseconds)
        text += "." + padLeft(uint64ToString(milliseconds % 1000), "0", 3);
    return text;
}

std::string localTimeText()
{
    namespace pt = boost::posix_time;
    const pt::ptime now = pt::microsec_clock::local_time();
    const auto date = now.date().year_month_day();
    const pt::time_duration time = now.time_of_day();
    // The clock's tick may be finer than a microsecond; the text always has six digits.
    const int64_t micros = time.fractional_seconds() * 1000000 / pt::time_duration::ticks_per_second();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", static_cast<int>(date.year),
        static_cast<int>(date.month), static_cast<int>(date.day), static_cast<int>(time.hours()),
        static_cast<int>(time.minutes()), static_cast<int>(time.seconds()), static_cast<long long>(micros));
    return buffer;
}

std::string hexDump(const unsigned char* bytes, int32_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    if (!bytes || length <= 0)
        return std::string();
    std::string text;
    text.reserve(static_cast<std::size_t>(length) * 3);
    for (int32_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
        text += ' ';
    }
    return text;
}

std::string formatShorts(const int16_t* buffer, int32_t size)
{
    CTRLPORT_ASSERT("custom_string_helpers", size % 2 == 0);
    if (!buffer || size <= 0)
        return std::string();
    // Only whole values: the byte of a half value at the end may lie beyond the caller's buffer.
    std::string text;
    for (int32_t i = 0; i < size / 2; ++i) {
        text += intToString(buffer[i]);
        text += ' ';
    }
    return text;
}

// --- BBCode --------------------------------------------------------------------------------------

namespace {

const char* const kBasicExpression = R"re((?:\[B\](.*?)\[/B\])|(?:\[I\](.*?)\[/I\])|(?:\[U\](.*?)\[/U\])|(?:\[URL\](.*?)\[/URL\])|(?:\[URL=([^\]]*)\](.*?)\[/URL\])|(?:\[COLOR=([^\]]*)\](.*?)\[/COLOR\]))re";
const char* const kBasicFormat = R"re((?1<b>\1</b>)(?2<i>\2</i>)(?3<u>\3</u>)(?4<a href="\4">\4</a>)(?5<a href="\5">\6</a>)(?7<font color="\7">\8</font>))re";
const char* const kLayoutExpression = R"re((?:\[SIZE=([^\]]*)\](.*?)\[/SIZE\])|(?:\[LEFT\](.*?)\[/LEFT\])|(?:\[RIGHT\](.*?)\[/RIGHT\])|(?:\[CENTER\](.*?)\[/CENTER\]))re";
const char* const kLayoutFormat = R"re((?1<span style=" font-size\:\1pt;">\2</span>)(?3<div align="left">\3</div>)(?4<div align="right">\4</div>)(?5<div align="center">\5</div>))re";

// What a tag's parameter (or, for [URL], its content) must look like to be written into HTML.
enum class ParameterCheck { None, Address, Colour, Size };

// One alternative of an expression: its opener (upper case), whether a parameter up to "]"
// follows the opener, its closer, and the groups that hold the parameter and the inner text.
struct TagRule
{
    std::string opener;
    bool hasParameter;
    std::string closer;
    ParameterCheck check;
    int parameterGroup;
    int innerGroup;
};

struct TagSet
{
    boost::regex expression;
    const char* format;
    std::vector<TagRule> rules;
};

boost::regex compileTagExpression(const char* pattern)
{
    // Independent of the locale that the client sets: tags are ASCII.
    boost::regex expression;
    expression.imbue(std::locale::classic());
    expression.assign(pattern, boost::regex::perl | boost::regex::icase);
    return expression;
}

const TagSet& basicTags()
{
    static const TagSet tags{compileTagExpression(kBasicExpression), kBasicFormat,
        {{"[B]", false, "[/B]", ParameterCheck::None, 0, 0},
            {"[I]", false, "[/I]", ParameterCheck::None, 0, 0},
            {"[U]", false, "[/U]", ParameterCheck::None, 0, 0},
            {"[URL]", false, "[/URL]", ParameterCheck::Address, 4, 4},
            {"[URL=", true, "[/URL]", ParameterCheck::Address, 5, 6},
            {"[COLOR=", true, "[/COLOR]", ParameterCheck::Colour, 7, 8}}};
    return tags;
}

const TagSet& layoutTags()
{
    static const TagSet tags{compileTagExpression(kLayoutExpression), kLayoutFormat,
        {{"[SIZE=", true, "[/SIZE]", ParameterCheck::Size, 1, 2},
            {"[LEFT]", false, "[/LEFT]", ParameterCheck::None, 0, 0},
            {"[RIGHT]", false, "[/RIGHT]", ParameterCheck::None, 0, 0},
            {"[CENTER]", false, "[/CENTER]", ParameterCheck::None, 0, 0}}};
    return tags;
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The text has already been HTML-escaped, so it holds no quote or angle bracket; what is checked
// here is that a link cannot run script and a style value is what it claims to be.
bool isAllowedAddress(const std::string& address)
{
    static const char* const kSchemes[] = {"HTTP://", "HTTPS://", "FTP://", "MAILTO:"};
    const std::string upper = toUpper(address);
    const bool known = std::any_of(std::begin(kSchemes), std::end(kSchemes),
        [&upper](const char* scheme) { return upper.compare(0, std::strlen(scheme), scheme) == 0; });
    if (!known)
        return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F || c == '[' || c == ']';
    });
}

bool isAllowedColour(const std::string& colour)
{
    if (!colour.empty() && colour[0] == '#')
        return colour.size() >= 2 && colour.size() <= 13 && std::all_of(colour.begin() + 1, colour.end(), isHexDigit);
    return !colour.empty() && colour.size() <= 32 && std::all_of(colour.begin(), colour.end(), isAsciiLetter);
}

bool isAllowedSize(const std::string& size)
{
    return !size.empty() && size.size() <= 3 && std::all_of(size.begin(), size.end(), isDigit);
}

bool isAllowedParameter(ParameterCheck check, const std::string& value)
{
    switch (check) {
    case ParameterCheck::None: return true;
    case ParameterCheck::Address: return isAllowedAddress(value);
    case ParameterCheck::Colour: return isAllowedColour(value);
    case ParameterCheck::Size: return isAllowedSize(value);
    }
    return false;
}

// Every position at which `needle` starts in `haystack`, in order.
std::vector<std::size_t> positionsOf(const std::string& haystack, const std::string& needle)
{
    std::vector<std::size_t> positions;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        positions.push_back(at);
    return positions;
}

// The first entry of `positions` at or after `from`, or npos.
std::size_t firstFrom(const std::vector<std::size_t>& positions, std::size_t from)
{
    const auto it = std::lower_bound(positions.begin(), positions.end(), from);
    return it == positions.end() ? std::string::npos : *it;
}

// One replace-all pass of the set's expression over the text, as regex_replace does it: leftmost
// matches, without overlap, each replaced through the format. Returns false when nothing matched.
//
// The lazy "(.*?)" of a tag that is never closed would scan to the end of the text from every
// opener, which makes a pass quadratic in the text (seconds for some ten thousand unclosed tags,
// and an exception from the matcher beyond that). So the expression is run only at an opener whose
// closer (and "]" for a parameter) exists further on, which is exactly where it matches; every
// byte it reads then belongs to the match it returns.
bool replacePass(std::string& text, const TagSet& tags)
{
    const std::string upper = toUpper(text);
    const std::vector<std::size_t> brackets = positionsOf(upper, "]");
    std::vector<std::vector<std::size_t>> closers;
    for (const TagRule& rule : tags.rules)
        closers.push_back(positionsOf(upper, rule.closer));

    std::string result;
    std::size_t copied = 0;
    bool matched = false;
    for (std::size_t at = upper.find('['); at != std::string::npos; at = upper.find('[', at + 1)) {
        for (std::size_t r = 0; r < tags.rules.size(); ++r) {
            const TagRule& rule = tags.rules[r];
            if (upper.compare(at, rule.opener.size(), rule.opener) != 0)
                continue;
            // Openers exclude each other: this is the only rule that can match here.
            std::size_t innerStart = at + rule.opener.size();
            if (rule.hasParameter) {
                const std::size_t bracket = firstFrom(brackets, innerStart);
                if (bracket == std::string::npos)
                    break;
                innerStart = bracket + 1;
            }
            if (firstFrom(closers[r], innerStart) == std::string::npos)
                break;
            boost::smatch match;
            if (!boost::regex_search(text.cbegin() + static_cast<std::ptrdiff_t>(at), text.cend(), match,
                    tags.expression, boost::match_continuous))
                break;
            // The text was escaped, so a "<" here is markup of an earlier pass whose tag pair
            // crosses this tag's parameter: written into an attribute it would break the HTML
            // (and drop the earlier closer). This tag stays text; the scan goes on inside it.
            if (rule.parameterGroup != 0 && match.str(rule.parameterGroup).find('<') != std::string::npos)
                break;
            result.append(text, copied, at - copied);
            if (isAllowedParameter(rule.check, match.str(rule.parameterGroup)))
                result += match.format(tags.format, boost::format_all);
            else
                result += match.str(rule.innerGroup); // not safe to write as HTML: keep the text only
            copied = at + static_cast<std::size_t>(match.length(0));
            at = copied - 1;
            matched = true;
            break;
        }
    }
    if (!matched)
        return false;
    result.append(text, copied, std::string::npos);
    text.swap(result);
    return true;
}

// Replaces until a pass changes nothing (nested tags from the inside out, one level a pass).
void replaceUntilUnchanged(std::string& text, const TagSet& tags)
{
    for (int pass = 0; pass < kBbcodeMaxPasses && replacePass(text, tags); ++pass) {
    }
}

// The list form of the "[LIST" at `at` of the upper-case text: sets the opener's length and the
// HTML tags, or returns false for any other "[LIST".
bool listOpener(const std::string& upper, std::size_t at, std::size_t& openerLength, std::string& openTag,
    std::string& closeTag)
{
    const std::size_t after = at + 5;
    if (after < upper.size() && upper[after] == ']') {
        openerLength = 6;
        openTag = "<ul>";
        closeTag = "</ul>";
        return true;
    }
    if (after + 2 < upper.size() && upper[after] == '=' && upper[after + 2] == ']') {
        const char type = upper[after + 1];
        if (type == '1' || type == 'A' || type == 'I') {
            openerLength = 8;
            openTag = std::string("<ol type=") + type + ">";
            closeTag = "</ol>";
            return true;
        }
    }
    return false;
}

void convertLists(std::string& text)
{
    std::string upper = toUpper(text);
    std::size_t from = 0;
    for (int lists = 0; lists < kBbcodeMaxLists;) {
        const std::size_t at = upper.find("[LIST", from);
        if (at == std::string::npos)
            return;
        std::size_t openerLength = 0;
        std::string openTag;
        std::string closeTag;
        if (!listOpener(upper, at, openerLength, openTag, closeTag)) {
            from = at + 1;
            continue;
        }
        std::size_t closer = upper.find("[/LIST]", at);
        if (closer == std::string::npos)
            return; // this list and every later one stay as they are
        // Each list opened inside this one takes the next closer for itself.
        std::size_t unused = 0;
        std::string ignored;
        for (std::size_t inner = upper.find("[LIST", at + 1); inner != std::string::npos && inner < closer;
             inner = upper.find("[LIST", inner + 1)) {
            if (!listOpener(upper, inner, unused, ignored, ignored))
                continue;
            const std::size_t next = upper.find("[/LIST]", closer + 1);
            if (next != std::string::npos)
                closer = next;
        }
        const std::size_t bodyStart = at + openerLength;
        const std::string body = text.substr(bodyStart, closer - bodyStart);
        std::string converted = text.substr(0, at) + openTag;
        if (body.find("[*]") == std::string::npos && body.find("<li>") == std::string::npos)
            converted += "<li>" + body;
        else
            converted += replaceAll("[*]", "<li>", body);
        converted += closeTag;
        converted.append(text, closer + 7, std::string::npos);
        text.swap(converted);
        upper = toUpper(text);
        from = 0;
        ++lists;
    }
}

std::string escapeHtml(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += c; break;
        }
    }
    return result;
}

// Escapes the text and runs `convert` on it. Too long a text, or a conversion that throws, gives
// the escaped text: nothing of the input reaches the HTML unescaped, and no exception reaches the
// caller (which may be the client, through the C interface).
template <typename Convert>
std::string convertBbcode(const std::string& text, Convert convert)
{
    const std::string escaped = escapeHtml(text);
    if (text.size() > kBbcodeMaxInput) {
        logMessage("BBCode text of " + uint64ToString(text.size()) + " bytes is too long, not converted", 2,
            kChannel);
        return escaped;
    }
    try {
        std::string html = escaped;
        convert(html);
        return html;
    } catch (const std::exception& error) {
        logMessage(std::string("BBCode conversion failed, text not converted: ") + error.what(), 2, kChannel);
        return escaped;
    }
}

} // namespace

std::string bbcodeBasicToHtml(const std::string& text)
{
    return convertBbcode(text, [](std::string& html) { replaceUntilUnchanged(html, basicTags()); });
}

std::string bbcodeToHtml(const std::string& text)
{
    return convertBbcode(text, [](std::string& html) {
        replaceUntilUnchanged(html, basicTags());
        replaceUntilUnchanged(html, layoutTags());
        convertLists(html);
    });
}
