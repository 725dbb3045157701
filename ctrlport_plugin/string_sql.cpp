// SQL quoting and the cutting of a script into statements.
#include "custom_string_helpers.h"
#include "custom_string_helpers_p.h"

#include "host.h"

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
                logMessage("Invalid SQL string detected: " + script, 0, kStringHelpChannel);
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
