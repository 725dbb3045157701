// Trims and changes of byte strings.
#include "custom_string_helpers.h"

namespace {

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
