// libFuzzer target: any text through the BBCode conversions. Aborts when the HTML holds anything
// but the conversion's own tags with safe values (raw markup, a stray quote, a link to another
// scheme); the sanitizers report reads outside the text, and an escaping exception ends the run.
#include "custom_string_helpers.h"
#include "html_safety.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (!html_safety::firstFault(bbcodeBasicToHtml(input)).empty())
        std::abort();
    if (!html_safety::firstFault(bbcodeToHtml(input)).empty())
        std::abort();
    return 0;
}
