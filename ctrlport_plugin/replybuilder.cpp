#include "replybuilder.h"

#include "custom_string_helpers.h"

#include <utility>

namespace {

const char* const kLineTail = " |";

void trimTail(std::string& line)
{
    const std::string::size_type last = line.find_last_not_of(kLineTail);
    line.erase(last == std::string::npos ? 0 : last + 1);
}

void appendPair(std::string& line, const std::string& key, const std::string& valueText)
{
    line += key;
    line += '=';
    line += valueText;
    line += ' ';
}

} // namespace

std::string emptyLine()
{
    return std::string();
}

std::string startCommand(const std::string& name)
{
    return name.empty() ? std::string() : name + ' ';
}

void addToken(std::string& line, const std::string& token)
{
    if (token.empty())
        return;
    line += token;
    line += ' ';
}

void addParam(std::string& line, const std::string& key, const std::string& value, bool escape)
{
    if (value.empty()) {
        line += key;
        line += ' ';
        return;
    }
    appendPair(line, key, escape ? escapeText(value) : value);
}

void addParam(std::string& line, const std::string& key, const char* value, bool escape)
{
    addParam(line, key, std::string(value ? value : ""), escape);
}

void addParam(std::string& line, const std::string& key, int32_t value)
{
    appendPair(line, key, intToString(value));
}

void addParam(std::string& line, const std::string& key, uint32_t value)
{
    appendPair(line, key, uintToString(value));
}

void addParam(std::string& line, const std::string& key, uint64_t value)
{
    appendPair(line, key, uint64ToString(value));
}

void addParam(std::string& line, const std::string& key, uint16_t value)
{
    appendPair(line, key, uintToString(value));
}

void addParam(std::string& line, const std::string& key, float value)
{
    appendPair(line, key, formatFloat(value));
}

void setKeyOnly(std::string& line, const std::string& key)
{
    line.clear();
    line += key;
    line += ' ';
}

void endRecord(std::string& line)
{
    trimTail(line);
    line += '|';
}

std::string finishLine(const std::string& line)
{
    return trimRight(line, kLineTail);
}

std::string finishLine(std::string&& line)
{
    trimTail(line);
    return std::move(line);
}

bool isSingleToken(const std::string& line)
{
    return finishLine(line).find_first_of(kLineTail) == std::string::npos;
}

bool isValidKey(const std::string& key)
{
    for (char c : key) {
        const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '_' || c == '-';
        if (!valid)
            return false;
    }
    return true;
}
