// Numbers as text and the number parsers behind the parameter getters.
#include "custom_string_helpers.h"
#include "custom_string_helpers_p.h"

#include "host.h"

#include <boost/spirit/include/qi.hpp>

#include <limits>
#include <locale>
#include <sstream>

namespace {

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

} // namespace

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
    return fixedPoint(value, 4);
}

std::string fixedPoint(double value, int decimals)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
    out << value;
    return out.str();
}

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
        logMessage(std::string(caller) + "() failed with: " + text, 0, kStringHelpChannel);
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
