// libFuzzer target: any line through ParamParser and ParamParserList, and any bytes through the
// telnet escaping. Aborts when escaping does not round-trip, when a token holds a blank or a bar,
// or when a record loses a token.
#include "custom_string_helpers.h"
#include "parameterparser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (unescapeText(escapeText(input)) != input)
        std::abort();

    bool ok = false;
    ParamParser parser(input, ok);
    if (ok != (input.find('\0') == std::string::npos))
        std::abort();

    std::size_t bars = 0;
    for (std::size_t i = 0; i < parser.size(); ++i) {
        std::size_t hint = i;
        const std::string key = parser.getKey(i);
        if (!key.empty() && parser.findParam(key, hint) < 0)
            std::abort();
        parser.getValue(i);
        parser.getToken(i);
        parser.isParamTrue(i, false);
        if (key == "|")
            ++bars;
    }

    // A record's line is its tokens joined by single blanks: with tokens free of blanks and bars it
    // holds exactly size - 1 blanks and no bar.
    ParamParserList list(parser);
    std::size_t grouped = 0;
    while (ParamParser* group = list.next()) {
        const std::string line = group->getLine();
        if (group->size() == 0 || line.find('|') != std::string::npos ||
            static_cast<std::size_t>(std::count(line.begin(), line.end(), ' ')) != group->size() - 1)
            std::abort();
        grouped += group->size();
    }
    if (grouped + bars != parser.size() || parser.getError() != 0)
        std::abort();
    return 0;
}
