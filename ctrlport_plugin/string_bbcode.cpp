// BBCode turned into HTML.
#include "custom_string_helpers.h"
#include "custom_string_helpers_p.h"

#include "host.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <locale>
#include <vector>

namespace {

const char* const kBasicExpression = R"re((?:\[B\](.*?)\[/B\])|(?:\[I\](.*?)\[/I\])|(?:\[U\](.*?)\[/U\])|(?:\[URL\](.*?)\[/URL\])|(?:\[URL=([^\]]*)\](.*?)\[/URL\])|(?:\[COLOR=([^\]]*)\](.*?)\[/COLOR\]))re";
const char* const kBasicFormat = R"re((?1<b>\1</b>)(?2<i>\2</i>)(?3<u>\3</u>)(?4<a href="\4">\4</a>)(?5<a href="\5">\6</a>)(?7<font color="\7">\8</font>))re";
const char* const kLayoutExpression = R"re((?:\[SIZE=([^\]]*)\](.*?)\[/SIZE\])|(?:\[LEFT\](.*?)\[/LEFT\])|(?:\[RIGHT\](.*?)\[/RIGHT\])|(?:\[CENTER\](.*?)\[/CENTER\]))re";
const char* const kLayoutFormat = R"re((?1<span style=" font-size\:\1pt;">\2</span>)(?3<div align="left">\3</div>)(?4<div align="right">\4</div>)(?5<div align="center">\5</div>))re";

// What a tag's parameter (or, for [URL], its content) must look like to be written into HTML.
enum class ParameterCheck { None, Address, Colour, Size };

// One alternative of an expression: its opener (upper case), whether a parameter up to "]"
// follows the opener, its closer, and the groups that hold the parameter and the inner text.
struct TagRule
{
    std::string opener;
    bool hasParameter;
    std::string closer;
    ParameterCheck check;
    int parameterGroup;
    int innerGroup;
};

struct TagSet
{
    boost::regex expression;
    const char* format;
    std::vector<TagRule> rules;
};

boost::regex compileTagExpression(const char* pattern)
{
    // Independent of the locale that the client sets: tags are ASCII.
    boost::regex expression;
    expression.imbue(std::locale::classic());
    expression.assign(pattern, boost::regex::perl | boost::regex::icase);
    return expression;
}

const TagSet& basicTags()
{
    static const TagSet tags{compileTagExpression(kBasicExpression), kBasicFormat,
        {{"[B]", false, "[/B]", ParameterCheck::None, 0, 0},
            {"[I]", false, "[/I]", ParameterCheck::None, 0, 0},
            {"[U]", false, "[/U]", ParameterCheck::None, 0, 0},
            {"[URL]", false, "[/URL]", ParameterCheck::Address, 4, 4},
            {"[URL=", true, "[/URL]", ParameterCheck::Address, 5, 6},
            {"[COLOR=", true, "[/COLOR]", ParameterCheck::Colour, 7, 8}}};
    return tags;
}

const TagSet& layoutTags()
{
    static const TagSet tags{compileTagExpression(kLayoutExpression), kLayoutFormat,
        {{"[SIZE=", true, "[/SIZE]", ParameterCheck::Size, 1, 2},
            {"[LEFT]", false, "[/LEFT]", ParameterCheck::None, 0, 0},
            {"[RIGHT]", false, "[/RIGHT]", ParameterCheck::None, 0, 0},
            {"[CENTER]", false, "[/CENTER]", ParameterCheck::None, 0, 0}}};
    return tags;
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The text has already been HTML-escaped, so it holds no quote or angle bracket; what is checked
// here is that a link cannot run script and a style value is what it claims to be.
bool isAllowedAddress(const std::string& address)
{
    static const char* const kSchemes[] = {"HTTP://", "HTTPS://", "FTP://", "MAILTO:"};
    const std::string upper = toUpper(address);
    const bool known = std::any_of(std::begin(kSchemes), std::end(kSchemes),
        [&upper](const char* scheme) { return upper.compare(0, std::strlen(scheme), scheme) == 0; });
    if (!known)
        return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F || c == '[' || c == ']';
    });
}

bool isAllowedColour(const std::string& colour)
{
    if (!colour.empty() && colour[0] == '#')
        return colour.size() >= 2 && colour.size() <= 13 && std::all_of(colour.begin() + 1, colour.end(), isHexDigit);
    return !colour.empty() && colour.size() <= 32 && std::all_of(colour.begin(), colour.end(), isAsciiLetter);
}

bool isAllowedSize(const std::string& size)
{
    return !size.empty() && size.size() <= 3 && std::all_of(size.begin(), size.end(), isDigit);
}

bool isAllowedParameter(ParameterCheck check, const std::string& value)
{
    switch (check) {
    case ParameterCheck::None: return true;
    case ParameterCheck::Address: return isAllowedAddress(value);
    case ParameterCheck::Colour: return isAllowedColour(value);
    case ParameterCheck::Size: return isAllowedSize(value);
    }
    return false;
}

// Every position at which `needle` starts in `haystack`, in order.
std::vector<std::size_t> positionsOf(const std::string& haystack, const std::string& needle)
{
    std::vector<std::size_t> positions;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        positions.push_back(at);
    return positions;
}

// The first entry of `positions` at or after `from`, or npos.
std::size_t firstFrom(const std::vector<std::size_t>& positions, std::size_t from)
{
    const auto it = std::lower_bound(positions.begin(), positions.end(), from);
    return it == positions.end() ? std::string::npos : *it;
}

// One replace-all pass of the set's expression over the text, as regex_replace does it: leftmost
// matches, without overlap, each replaced through the format. Returns false when nothing matched.
//
// The lazy "(.*?)" of a tag that is never closed would scan to the end of the text from every
// opener, which makes a pass quadratic in the text (seconds for some ten thousand unclosed tags,
// and an exception from the matcher beyond that). So the expression is run only at an opener whose
// closer (and "]" for a parameter) exists further on, which is exactly where it matches; every
// byte it reads then belongs to the match it returns.
bool replacePass(std::string& text, const TagSet& tags)
{
    const std::string upper = toUpper(text);
    const std::vector<std::size_t> brackets = positionsOf(upper, "]");
    std::vector<std::vector<std::size_t>> closers;
    for (const TagRule& rule : tags.rules)
        closers.push_back(positionsOf(upper, rule.closer));

    std::string result;
    std::size_t copied = 0;
    bool matched = false;
    for (std::size_t at = upper.find('['); at != std::string::npos; at = upper.find('[', at + 1)) {
        for (std::size_t r = 0; r < tags.rules.size(); ++r) {
            const TagRule& rule = tags.rules[r];
            if (upper.compare(at, rule.opener.size(), rule.opener) != 0)
                continue;
            // Openers exclude each other: this is the only rule that can match here.
            std::size_t innerStart = at + rule.opener.size();
            if (rule.hasParameter) {
                const std::size_t bracket = firstFrom(brackets, innerStart);
                if (bracket == std::string::npos)
                    break;
                innerStart = bracket + 1;
            }
            if (firstFrom(closers[r], innerStart) == std::string::npos)
                break;
            boost::smatch match;
            if (!boost::regex_search(text.cbegin() + static_cast<std::ptrdiff_t>(at), text.cend(), match,
                    tags.expression, boost::match_continuous))
                break;
            // The text was escaped, so a "<" here is markup of an earlier pass whose tag pair
            // crosses this tag's parameter: written into an attribute it would break the HTML
            // (and drop the earlier closer). This tag stays text; the scan goes on inside it.
            if (rule.parameterGroup != 0 && match.str(rule.parameterGroup).find('<') != std::string::npos)
                break;
            result.append(text, copied, at - copied);
            if (isAllowedParameter(rule.check, match.str(rule.parameterGroup)))
                result += match.format(tags.format, boost::format_all);
            else
                result += match.str(rule.innerGroup); // not safe to write as HTML: keep the text only
            copied = at + static_cast<std::size_t>(match.length(0));
            at = copied - 1;
            matched = true;
            break;
        }
    }
    if (!matched)
        return false;
    result.append(text, copied, std::string::npos);
    text.swap(result);
    return true;
}

// Replaces until a pass changes nothing (nested tags from the inside out, one level a pass).
void replaceUntilUnchanged(std::string& text, const TagSet& tags)
{
    for (int pass = 0; pass < kBbcodeMaxPasses && replacePass(text, tags); ++pass) {
    }
}

// The list form of the "[LIST" at `at` of the upper-case text: sets the opener's length and the
// HTML tags, or returns false for any other "[LIST".
bool listOpener(const std::string& upper, std::size_t at, std::size_t& openerLength, std::string& openTag,
    std::string& closeTag)
{
    const std::size_t after = at + 5;
    if (after < upper.size() && upper[after] == ']') {
        openerLength = 6;
        openTag = "<ul>";
        closeTag = "</ul>";
        return true;
    }
    if (after + 2 < upper.size() && upper[after] == '=' && upper[after + 2] == ']') {
        const char type = upper[after + 1];
        if (type == '1' || type == 'A' || type == 'I') {
            openerLength = 8;
            openTag = std::string("<ol type=") + type + ">";
            closeTag = "</ol>";
            return true;
        }
    }
    return false;
}

void convertLists(std::string& text)
{
    std::string upper = toUpper(text);
    std::size_t from = 0;
    for (int lists = 0; lists < kBbcodeMaxLists;) {
        const std::size_t at = upper.find("[LIST", from);
        if (at == std::string::npos)
            return;
        std::size_t openerLength = 0;
        std::string openTag;
        std::string closeTag;
        if (!listOpener(upper, at, openerLength, openTag, closeTag)) {
            from = at + 1;
            continue;
        }
        std::size_t closer = upper.find("[/LIST]", at);
        if (closer == std::string::npos)
            return; // this list and every later one stay as they are
        // Each list opened inside this one takes the next closer for itself.
        std::size_t unused = 0;
        std::string ignored;
        for (std::size_t inner = upper.find("[LIST", at + 1); inner != std::string::npos && inner < closer;
             inner = upper.find("[LIST", inner + 1)) {
            if (!listOpener(upper, inner, unused, ignored, ignored))
                continue;
            const std::size_t next = upper.find("[/LIST]", closer + 1);
            if (next != std::string::npos)
                closer = next;
        }
        const std::size_t bodyStart = at + openerLength;
        const std::string body = text.substr(bodyStart, closer - bodyStart);
        std::string converted = text.substr(0, at) + openTag;
        if (body.find("[*]") == std::string::npos && body.find("<li>") == std::string::npos)
            converted += "<li>" + body;
        else
            converted += replaceAll("[*]", "<li>", body);
        converted += closeTag;
        converted.append(text, closer + 7, std::string::npos);
        text.swap(converted);
        upper = toUpper(text);
        from = 0;
        ++lists;
    }
}

std::string escapeHtml(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += c; break;
        }
    }
    return result;
}

// Escapes the text and runs `convert` on it. Too long a text, or a conversion that throws, gives
// the escaped text: nothing of the input reaches the HTML unescaped, and no exception reaches the
// caller (which may be the client, through the C interface).
template <typename Convert>
std::string convertBbcode(const std::string& text, Convert convert)
{
    const std::string escaped = escapeHtml(text);
    if (text.size() > kBbcodeMaxInput) {
        logMessage("BBCode text of " + uint64ToString(text.size()) + " bytes is too long, not converted", 2,
            kStringHelpChannel);
        return escaped;
    }
    try {
        std::string html = escaped;
        convert(html);
        return html;
    } catch (const std::exception& error) {
        logMessage(std::string("BBCode conversion failed, text not converted: ") + error.what(), 2, kStringHelpChannel);
        return escaped;
    }
}

} // namespace

std::string bbcodeBasicToHtml(const std::string& text)
{
    return convertBbcode(text, [](std::string& html) { replaceUntilUnchanged(html, basicTags()); });
}

std::string bbcodeToHtml(const std::string& text)
{
    return convertBbcode(text, [](std::string& html) {
        replaceUntilUnchanged(html, basicTags());
        replaceUntilUnchanged(html, layoutTags());
        convertLists(html);
    });
}
