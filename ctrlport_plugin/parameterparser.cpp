#include "parameterparser.h"

#include "custom_string_helpers.h"
#include "host.h"

#include <algorithm>
#include <locale>
#include <sstream>

namespace {

const char* const kSourceFile = "parameterparser";

// Standard stream extraction in the C locale: leading white space skipped, trailing bytes ignored.
template <typename T>
bool streamExtract(const std::string& text, T& value)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail() && !in.bad();
}

// One of the number parsers of the string helpers in the shape streamExtract has.
template <typename T, T (*Parse)(const std::string&, bool&)>
bool parseWith(const std::string& text, T& value)
{
    bool failed = false;  // parseUInt64 leaves it alone for "-1"
    value = Parse(text, failed);
    return !failed;
}

} // namespace

// --- ParamParser -----------------------------------------------------------------------------------

ParamParser::ParamParser() = default;

ParamParser::ParamParser(const std::string& line, bool& ok)
    : m_line(trimLeft(trimRight(line, " "), " "))
{
    ok = tokenize();
}

bool ParamParser::reparse(const std::string& line)
{
    m_paramVector.clear();
    m_line = trimLeft(line, " ");
    return tokenize();
}

bool ParamParser::tokenize()
{
    m_paramVector.clear();
    if (m_line.find('\0') != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t separator = m_line.find_first_of(" |", start);
        if (separator == std::string::npos)
            break;
        if (start < separator) {
            m_paramVector.push_back(m_line.substr(start, separator - start));
            // A bar closes a record only right after a word; blanks around it hide it.
            if (m_line[separator] == '|')
                m_paramVector.emplace_back("|");
        }
        start = separator + 1;
    }
    if (start < m_line.size())
        m_paramVector.push_back(m_line.substr(start));
    return true;
}

std::string ParamParser::getToken(std::size_t index) const
{
    CTRLPORT_ASSERT(kSourceFile, index < m_paramVector.size());
    if (index >= m_paramVector.size())
        return std::string();
    return unescapeText(m_paramVector[index]);
}

std::string ParamParser::getKey(std::size_t index) const
{
    CTRLPORT_ASSERT(kSourceFile, index < m_paramVector.size());
    if (index >= m_paramVector.size())
        return std::string();
    const std::string& token = m_paramVector[index];
    const std::size_t equals = token.find('=');
    if (equals == std::string::npos)
        return token;
    // key"=... or "key=...: a quote before the first "=" makes the token unnamed.
    if (token.find('"') < equals)
        return std::string();
    return token.substr(0, equals);
}

std::string ParamParser::getValue(std::size_t index) const
{
    CTRLPORT_ASSERT(kSourceFile, index < m_paramVector.size());
    if (index >= m_paramVector.size())
        return std::string();
    const std::string& token = m_paramVector[index];
    const std::size_t equals = token.find('=');
    if (equals == std::string::npos)
        return std::string();
    return unescapeText(token.substr(equals + 1));
}

int ParamParser::findParam(const std::string& name, std::size_t& positionHint) const
{
    CTRLPORT_ASSERT(kSourceFile, positionHint <= m_paramVector.size());
    const std::size_t count = m_paramVector.size();
    const std::size_t hint = std::min(positionHint, count);
    for (std::size_t i = hint; i < count; ++i) {
        if (getKey(i) == name) {
            positionHint = i + 1;
            return static_cast<int>(i);
        }
    }
    for (std::size_t i = 0; i < hint; ++i) {
        if (getKey(i) == name)
            return static_cast<int>(i);
    }
    return -1;
}

int ParamParser::findParam(const std::string& name) const
{
    std::size_t hint = 0;
    return findParam(name, hint);
}

bool ParamParser::hasParam(const std::string& name) const
{
    return findParam(name) != -1;
}

std::string ParamParser::lookup(const std::string& name, std::size_t& positionHint, bool& found)
{
    const int index = findParam(name, positionHint);
    found = index != -1;
    if (!found) {
        m_error = kParamErrorMissing;
        logMessage("Protocol mismatch, old client or old server?", 1, "ParamParser");
        return std::string();
    }
    return getValue(static_cast<std::size_t>(index));
}

std::string ParamParser::getString(const std::string& name)
{
    std::size_t hint = 0;
    return getString(name, hint);
}

std::string ParamParser::getString(const std::string& name, std::size_t& positionHint)
{
    bool found = false;
    return lookup(name, positionHint, found);
}

template <typename T>
T ParamParser::getConverted(const std::string& name, std::size_t& positionHint,
                            bool (*convert)(const std::string&, T&))
{
    const std::string value = getString(name, positionHint);
    if (m_error != 0)
        return T();
    T result = T();
    m_error = convert(value, result) ? 0 : kParamErrorConversion;
    return result;
}

int32_t ParamParser::getInt(const std::string& name)
{
    std::size_t hint = 0;
    return getInt(name, hint);
}

int32_t ParamParser::getInt(const std::string& name, std::size_t& positionHint)
{
    return getConverted<int32_t>(name, positionHint, parseWith<int32_t, parseInt>);
}

uint32_t ParamParser::getUInt(const std::string& name)
{
    std::size_t hint = 0;
    return getUInt(name, hint);
}

uint32_t ParamParser::getUInt(const std::string& name, std::size_t& positionHint)
{
    return getConverted<uint32_t>(name, positionHint, parseWith<uint32_t, parseUInt>);
}

uint64_t ParamParser::getUInt64(const std::string& name)
{
    std::size_t hint = 0;
    return getUInt64(name, hint);
}

uint64_t ParamParser::getUInt64(const std::string& name, std::size_t& positionHint)
{
    return getConverted<uint64_t>(name, positionHint, parseWith<uint64_t, parseUInt64>);
}

uint16_t ParamParser::getUInt16(const std::string& name)
{
    std::size_t hint = 0;
    return getUInt16(name, hint);
}

uint16_t ParamParser::getUInt16(const std::string& name, std::size_t& positionHint)
{
    return getConverted<uint16_t>(name, positionHint, streamExtract<uint16_t>);
}

float ParamParser::getFloat(const std::string& name)
{
    std::size_t hint = 0;
    return getFloat(name, hint);
}

float ParamParser::getFloat(const std::string& name, std::size_t& positionHint)
{
    return getConverted<float>(name, positionHint, streamExtract<float>);
}

double ParamParser::getDouble(const std::string& name)
{
    std::size_t hint = 0;
    return getDouble(name, hint);
}

double ParamParser::getDouble(const std::string& name, std::size_t& positionHint)
{
    return getConverted<double>(name, positionHint, streamExtract<double>);
}

bool ParamParser::getBoolValue(const std::string& name)
{
    std::size_t hint = 0;
    return getBoolValue(name, hint);
}

bool ParamParser::getBoolValue(const std::string& name, std::size_t& positionHint)
{
    return getConverted<bool>(name, positionHint, streamExtract<bool>);
}

bool ParamParser::isTrueText(const std::string& value)
{
    return value.empty() || value == "1" || value == "true" || value == "TRUE";
}

bool ParamParser::isParamTrue(const std::string& name, bool defaultValue) const
{
    const int index = findParam(name);
    if (index == -1)
        return defaultValue;
    return isTrueText(getValue(static_cast<std::size_t>(index)));
}

bool ParamParser::isParamTrue(std::size_t index, bool defaultValue) const
{
    if (index >= m_paramVector.size() || getKey(index).empty())
        return defaultValue;
    return isTrueText(getValue(index));
}

// --- ParamParserList -------------------------------------------------------------------------------

ParamParserList::ParamParserList(const ParamParser& parser)
{
    build(parser);
}

void ParamParserList::build(const ParamParser& parser)
{
    m_groups.clear();
    const std::vector<std::string>& tokens = parser.m_paramVector;
    std::size_t groupStart = 0;
    std::string groupText;
    auto addGroup = [&](std::size_t end) {
        ParamParser group;
        group.m_paramVector.assign(tokens.begin() + static_cast<std::ptrdiff_t>(groupStart),
                                   tokens.begin() + static_cast<std::ptrdiff_t>(end));
        group.m_line = trimRight(groupText, " ");
        m_groups.push_back(std::move(group));
    };
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] != "|") {
            groupText += tokens[i];
            groupText += ' ';
            continue;
        }
        addGroup(i);
        groupStart = i + 1;
        groupText.clear();
    }
    // A line that ends with a bar makes no empty last group.
    if (groupStart < tokens.size())
        addGroup(tokens.size());
    m_cursor = 0;
}

bool ParamParserList::parse(const std::string& line)
{
    ParamParser parser;
    if (!parser.reparse(line))
        return false;
    build(parser);
    return true;
}

ParamParser* ParamParserList::next()
{
    if (m_cursor >= m_groups.size())
        return nullptr;
    return &m_groups[m_cursor++];
}

void ParamParserList::clear()
{
    m_groups.clear();
    m_cursor = 0;
}
