// libFuzzer target: any bytes through the UTF-8 helpers. Aborts when validation and length
// disagree, when cutting, trimming or cleaning a valid text gives an invalid one or the wrong
// length, or when a function reads outside the text (the sanitizers report that).
#include "custom_string_helpers.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const bool valid = isValidUtf8(input);
    const std::size_t length = utf8Length(input);
    if (length > input.size() || (!valid && length != input.size()))
        std::abort();

    const std::size_t count = size == 0 ? 0 : data[0] % (size + 1);
    const std::string left = utf8Left(input, count);
    if (input.compare(0, left.size(), left) != 0)
        std::abort();
    if (valid && (!isValidUtf8(left) || utf8Length(left) != std::min(count, length)))
        std::abort();

    const std::string entities = utf8ToHtmlEntities(input);
    if (!valid && entities != input)
        std::abort();

    std::string trimmed = input;
    const int trimResult = trimUtf8(trimmed);
    if ((trimResult == 0) != valid || trimmed.size() > input.size())
        std::abort();
    if (valid && (!isValidUtf8(trimmed) || input.find(trimmed) == std::string::npos))
        std::abort();

    std::string clean = input;
    const int cleanResult = sanitizeUtf8(clean, (size & 1) != 0, (size & 2) != 0);
    if ((cleanResult == 0) != valid || clean.size() > input.size())
        std::abort();
    if (valid && !isValidUtf8(clean))
        std::abort();
    return 0;
}
