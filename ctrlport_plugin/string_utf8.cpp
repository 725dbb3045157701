// UTF-8 text: validation, length, cutting, trimming, cleaning and HTML character references.
#include "custom_string_helpers.h"
#include "custom_string_helpers_p.h"

#include "host.h"

#include <algorithm>

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
            logMessage("Invalid UTF-8 string passed to function, returning bytes as size", 2, kStringHelpChannel);
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
            logMessage("Invalid UTF-8 string passed to function, using std::string::substr", 2, kStringHelpChannel);
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
            logMessage("Invalid UTF-8 string passed to function, returning as-is", 2, kStringHelpChannel);
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
