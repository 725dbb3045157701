// Splits one received telnet line into tokens and reads a command's arguments from them by name.
//
// A token is a bare word (the command, a dash option such as "-away") or key=value with the value
// in its escaped form. Records of one line are separated by "|"; ParamParserList cuts a parsed line
// into one ParamParser per record.
//
// Getters do not throw: a missing parameter sets the error 1539, a value that does not convert sets
// 1540, and once set the error sticks, so handlers read all their arguments and check getError() once.
#ifndef CTRLPORT_PARAMETERPARSER_H
#define CTRLPORT_PARAMETERPARSER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Error numbers of the getters.
constexpr int kParamErrorMissing = 1539;
constexpr int kParamErrorConversion = 1540;

class ParamParser
{
public:
    ParamParser();
    // Removes blanks at both ends and tokenises; `ok` is false when the line holds a NUL byte (then
    // there are no tokens).
    ParamParser(const std::string& line, bool& ok);

    // Takes a new line (leading blanks removed) and tokenises it; false on a NUL byte. The error
    // number is kept.
    bool reparse(const std::string& line);

    std::size_t size() const { return m_paramVector.size(); }
    std::string getLine() const { return m_line; }

    std::string getToken(std::size_t index) const;  // unescaped
    std::string getKey(std::size_t index) const;    // as typed
    std::string getValue(std::size_t index) const;  // unescaped

    // Index of the first token with this key, searching from the hint and then from the start; on a
    // hit at or after the hint the hint moves past it. -1 when there is none.
    int findParam(const std::string& name, std::size_t& positionHint) const;
    int findParam(const std::string& name) const;
    bool hasParam(const std::string& name) const;

    std::string getString(const std::string& name);
    std::string getString(const std::string& name, std::size_t& positionHint);

    int32_t getInt(const std::string& name);
    int32_t getInt(const std::string& name, std::size_t& positionHint);
    uint32_t getUInt(const std::string& name);
    uint32_t getUInt(const std::string& name, std::size_t& positionHint);
    // "-1" reads as the largest value.
    uint64_t getUInt64(const std::string& name);
    uint64_t getUInt64(const std::string& name, std::size_t& positionHint);
    uint16_t getUInt16(const std::string& name);
    uint16_t getUInt16(const std::string& name, std::size_t& positionHint);
    float getFloat(const std::string& name);
    float getFloat(const std::string& name, std::size_t& positionHint);
    double getDouble(const std::string& name);
    double getDouble(const std::string& name, std::size_t& positionHint);
    // "0" or "1".
    bool getBoolValue(const std::string& name);
    bool getBoolValue(const std::string& name, std::size_t& positionHint);

    // True for an empty value, "1", "true" and "TRUE"; the default when there is no such key.
    // Never touches the error number.
    bool isParamTrue(const std::string& name, bool defaultValue) const;
    bool isParamTrue(std::size_t index, bool defaultValue) const;

    int getError() const { return m_error; }

private:
    friend class ParamParserList;

    bool tokenize();
    // The value of `name`, or "" and the error 1539; `found` tells which.
    std::string lookup(const std::string& name, std::size_t& positionHint, bool& found);
    // Common part of the typed getters: the value of `name` as `convert` reads it (true when it could),
    // and the error number set to match; 0 when the key is missing or an error is already set.
    template <typename T>
    T getConverted(const std::string& name, std::size_t& positionHint, bool (*convert)(const std::string&, T&));
    static bool isTrueText(const std::string& value);

    std::string m_line;
    std::vector<std::string> m_paramVector;
    int m_error = 0;
};

// The records of one parsed line, one ParamParser each, handed out in order by next().
class ParamParserList
{
public:
    ParamParserList() = default;
    explicit ParamParserList(const ParamParser& parser);

    // Replaces the groups by the records of `parser` and puts the cursor on the first.
    void build(const ParamParser& parser);
    // Parses the line and builds from it; false (and the list unchanged) on a NUL byte.
    bool parse(const std::string& line);
    // The group under the cursor, then the cursor moves on; null when all were handed out.
    ParamParser* next();
    std::size_t size() const { return m_groups.size(); }
    void clear();

private:
    std::vector<ParamParser> m_groups;
    std::size_t m_cursor = 0;
};

#endif
