// UTF-8 text, display formatting and BBCode conversion of the string helpers.
#include "custom_string_helpers.h"
#include "html_safety.h"
#include "recording_host.h"

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kInvalidLength = "Invalid UTF-8 string passed to function, returning bytes as size";
const std::string kInvalidLeft = "Invalid UTF-8 string passed to function, using std::string::substr";
const std::string kInvalidEntities = "Invalid UTF-8 string passed to function, returning as-is";

// True when the host got exactly one line: `text` at level 2 on "StringHelp".
::testing::AssertionResult loggedOnce(const RecordingHost& host, const std::string& text)
{
    const auto lines = host.lines();
    if (lines.size() != 1)
        return ::testing::AssertionFailure() << lines.size() << " lines logged";
    const fakehost::LogLine& line = lines[0];
    if (line.text != text || line.level != 2 || line.channel != "StringHelp" || line.sch != 0)
        return ::testing::AssertionFailure() << "logged \"" << line.text << "\" level " << line.level << " on \""
                                             << line.channel << "\"";
    return ::testing::AssertionSuccess();
}

struct Utf8Case
{
    const char* name;
    std::string bytes;
    bool valid;
    std::size_t characters; // for valid texts
};

const std::vector<Utf8Case> kUtf8Cases = {
    {"empty", "", true, 0},
    {"ascii", "abc", true, 3},
    {"two-byte", "\xC3\xA9", true, 1},
    {"three-byte and ascii", "\xE2\x82\xAC" "a", true, 2},
    {"smallest three-byte after E0", "\xE0\xA0\x80", true, 1},
    {"encoded surrogate", "\xED\xA0\x80", true, 1},
    {"smallest four-byte", "\xF0\x90\x80\x80", true, 1},
    {"largest code point", "\xF4\x8F\xBF\xBF", true, 1},
    {"mixed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", true, 5},
    {"lone continuation", "a\x80" "b", false, 0},
    {"overlong C0", "\xC0\xAF", false, 0},
    {"overlong C1", "\xC1\xBF", false, 0},
    {"three-byte after E0 below A0", "\xE0\x9F\xBF", false, 0},
    {"four-byte after F0 below 90", "\xF0\x8F\xBF\xBF", false, 0},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", false, 0},
    {"lead F5", "\xF5\x80\x80\x80", false, 0},
    {"lead FF", "\xFF", false, 0},
    {"cut off at the end", "ab\xE2\x82", false, 0},
    {"lead alone at the end", "ab\xC3", false, 0},
    {"ascii where a continuation belongs", "\xC3(", false, 0},
    {"continuation above BF", "\xE2\xC0\x80", false, 0},
};

} // namespace

// Runs first, while the compiled expressions do not exist yet: several threads race to build them.
TEST(Bbcode, ConvertsFromManyThreadsAtFirstUse)
{
    const std::string input = "[B]a[/B][SIZE=9]b[/SIZE][LIST][*]c[/LIST]";
    const std::string expected = "<b>a</b><span style=\" font-size:9pt;\">b</span><ul><li>c</ul>";
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&results, &input, i] { results[i] = bbcodeToHtml(input); });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& result : results)
        EXPECT_EQ(result, expected);
}

TEST(Utf8, ValidationAndLengthOverValidAndInvalidSequences)
{
    for (const Utf8Case& c : kUtf8Cases) {
        SCOPED_TRACE(c.name);
        RecordingHost host;
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
        if (c.valid) {
            EXPECT_EQ(utf8Length(c.bytes), c.characters);
            EXPECT_TRUE(host.lines().empty());
        } else {
            EXPECT_EQ(utf8Length(c.bytes), c.bytes.size());
            EXPECT_TRUE(loggedOnce(host, kInvalidLength));
        }
    }
}

TEST(Utf8, LeftCutsWholeCharacters)
{
    struct Case
    {
        std::string text;
        std::size_t count;
        std::string expected;
        bool logs;
    };
    const std::vector<Case> cases = {
        {"ab", 5, "ab", false},
        {"\xE2\x82\xAC" "a\xE2\x82\xAC", 2, "\xE2\x82\xAC" "a", false},
        {"\xE2\x82\xAC\xE2\x82\xAC", 1, "\xE2\x82\xAC", false},
        {"\xF0\x9F\x98\x80" "a", 0, "", false},
        // Only what is walked is checked: the invalid byte lies beyond the count.
        {"ab\x80", 2, "ab", false},
        // A count that is not below the byte length returns the text, valid or not.
        {"a\x80", 2, "a\x80", false},
        {"a\x80" "bc", 3, "a\x80" "b", true},
        {"\xE2\x82" "abc", 2, "\xE2\x82", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " / " + std::to_string(c.count));
        RecordingHost host;
        EXPECT_EQ(utf8Left(c.text, c.count), c.expected);
        if (c.logs)
            EXPECT_TRUE(loggedOnce(host, kInvalidLeft));
        else
            EXPECT_TRUE(host.lines().empty());
    }
}

TEST(Utf8, HtmlEntitiesForEveryMultiByteCharacter)
{
    RecordingHost host;
    EXPECT_EQ(utf8ToHtmlEntities("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80<&"), "a&#233;&#8364;&#128512;<&");
    EXPECT_EQ(utf8ToHtmlEntities("\xED\xA0\x80"), "&#55296;");
    EXPECT_TRUE(host.lines().empty());
    const std::string invalid = "\xC3\xA9\xFF";
    EXPECT_EQ(utf8ToHtmlEntities(invalid), invalid);
    EXPECT_TRUE(loggedOnce(host, kInvalidEntities));
}

TEST(Utf8, TrimRemovesUnicodeBlanksAtBothEndsOnly)
{
    struct Case
    {
        std::string text;
        std::string expected;
        int result;
    };
    const std::vector<Case> cases = {
        {"", "", 0},
        {" \t ", "", 0},
        {"\xC2\xA0hello world\xE3\x80\x80", "hello world", 0},
        {"a\xE3\x80\x80" "b", "a\xE3\x80\x80" "b", 0},
        {"\xEF\xBB\xBF\xE2\x80\x8B" "x\xE1\x9A\x80\xE2\x81\xAF\xEF\xBE\xA0", "x", 0},
        {"\xE2\xA0\x80" "x\xE2\x80\x8E", "x\xE2\x80\x8E", 0}, // U+200E is no blank
        // An invalid sequence stops the walk; what was erased at the start stays erased.
        {" \t\x80 ", "\x80 ", kUtf8Invalid},
        {"a \xFF ", "a \xFF ", kUtf8Invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(trimUtf8(text), c.result);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(Utf8, SanitizeRemovesControlsDirectionMarksAndFourByteCharacters)
{
    struct Case
    {
        std::string text;
        bool lineBreaks;
        bool tabs;
        std::string expected;
        int result;
    };
    const std::string mixed = "a\tb\nc\r\x07" "d\xF0\x9F\x98\x80";
    const std::vector<Case> cases = {
        {"", true, true, "", 0},
        {mixed, false, false, "a\tb\nc\rd", 0},
        {mixed, true, false, "a\tbcd", 0},
        {mixed, false, true, "ab\nc\rd", 0},
        {mixed, true, true, "abcd", 0},
        {std::string("\x00\x0B\x0C\x1F\x7F", 5) + "x\xC2\x80\xC2\x9F\xE2\x80\x8F\xE2\x80\xA8\xE2\x80\xAE"
                "\xEF\xBF\xB9\xEF\xBF\xBD" "y",
            false, false, "xy", 0},
        // U+FFF8 and the characters just outside the removed ranges stay.
        {"\xEF\xBF\xB8\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF", true, true, "\xEF\xBF\xB8\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF", 0},
        // Removals before an invalid sequence stay, the rest is left as it is.
        {"\x01" "a\x02\x80\x01", false, false, "a\x80\x01", kUtf8Invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(sanitizeUtf8(text, c.lineBreaks, c.tabs), c.result);
        EXPECT_EQ(text, c.expected);
    }
}

TEST(Utf8, CuttingTrimmingAndCleaningKeepValidTextValid)
{
    // Random texts of valid characters (some of them blanks or removable) through every function.
    const std::vector<std::string> pieces = {"a", " ", "\t", "\n", "\x07", "\xC2\xA0", "\xC3\xA9", "\xE2\x80\x8E",
        "\xE3\x80\x80", "\xE2\x82\xAC", "\xED\xA0\x80", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"};
    std::mt19937 random(14);
    RecordingHost host;
    for (int round = 0; round < 500; ++round) {
        std::string text;
        const std::size_t count = random() % 12;
        for (std::size_t i = 0; i < count; ++i)
            text += pieces[random() % pieces.size()];
        SCOPED_TRACE(text);
        ASSERT_TRUE(isValidUtf8(text));
        ASSERT_EQ(utf8Length(text), count);
        const std::size_t cut = random() % (count + 2);
        const std::string left = utf8Left(text, cut);
        EXPECT_TRUE(isValidUtf8(left));
        EXPECT_EQ(utf8Length(left), std::min(cut, count));
        EXPECT_EQ(text.compare(0, left.size(), left), 0);
        std::string trimmed = text;
        EXPECT_EQ(trimUtf8(trimmed), 0);
        EXPECT_TRUE(isValidUtf8(trimmed));
        std::string clean = text;
        EXPECT_EQ(sanitizeUtf8(clean, true, true), 0);
        EXPECT_TRUE(isValidUtf8(clean));
        EXPECT_EQ(clean.find_first_of("\t\n\x07"), std::string::npos);
    }
    EXPECT_TRUE(host.lines().empty());
}

TEST(Formatting, PercentAndByteSizes)
{
    // A client with a comma locale still gets a point.
    struct CommaNumpunct : std::numpunct<char>
    {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
    EXPECT_EQ(formatPercent(0.1234), "12.34 %");
    EXPECT_EQ(formatPercent(1.0), "100.00 %");
    EXPECT_EQ(formatPercent(0.0), "0.00 %");

    const uint64_t max = std::numeric_limits<uint64_t>::max();
    struct Case
    {
        uint64_t bytes;
        bool binary;
        const char* expected;
    };
    const Case cases[] = {
        {0, false, "0"},
        {999, false, "999"},
        {1000, false, "1.00 k"},
        {1000000, false, "1000.00 k"},
        {1000001, false, "1.00 M"},
        {1500000, false, "1.50 M"},
        {max, false, "18.45 E"},
        {512, true, "512 Bytes"},
        {1023, true, "1023 Bytes"},
        {2048, true, "2.00 KiB"},
        {1048576, true, "1024.00 KiB"},
        {3u * 1024 * 1024 * 1024, true, "3.00 GiB"},
        {max, true, "16.00 EiB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatByteSize(c.bytes, c.binary), c.expected) << c.bytes << (c.binary ? " binary" : "");
    std::locale::global(old);
}

TEST(Formatting, Durations)
{
    const uint64_t year = 31536000000ull;
    RecordingHost host;
    EXPECT_EQ(formatDuration(0, false), "00:00:00");
    EXPECT_EQ(formatDuration(0, true), "00:00:00.000");
    EXPECT_EQ(formatDuration(59999, true), "00:00:59.999");
    EXPECT_EQ(formatDuration(86400000ull + 3600000 + 60000 + 1000 + 1, true), "1d 01:01:01.001");
    EXPECT_EQ(formatDuration(year, false), "1a 0d 00:00:00");
    EXPECT_EQ(formatDuration(100 * year + 364 * 86400000ull + 86399999, true), "100a 364d 23:59:59.999");
    EXPECT_TRUE(host.lines().empty());
    EXPECT_EQ(formatDuration(101 * year, false), "overflow");
    EXPECT_TRUE(loggedOnce(host, "Your system time seems to be unstable, please fix this"));
}

TEST(Formatting, LocalTimeHasFixedShape)
{
    const std::string text = localTimeText();
    ASSERT_EQ(text.size(), 26u) << text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (i) {
        case 4: case 7: EXPECT_EQ(text[i], '-') << text; break;
        case 10: EXPECT_EQ(text[i], ' ') << text; break;
        case 13: case 16: EXPECT_EQ(text[i], ':') << text; break;
        case 19: EXPECT_EQ(text[i], '.') << text; break;
        default: EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text; break;
        }
    }
}

TEST(Formatting, HexDumpAndShorts)
{
    const unsigned char bytes[] = {0x00, 0x0F, 0xAB, 0xFF};
    EXPECT_EQ(hexDump(bytes, 4), "00 0f ab ff ");
    EXPECT_EQ(hexDump(bytes, 0), "");
    EXPECT_EQ(hexDump(bytes, -1), "");

    RecordingHost host;
    const int16_t values[] = {-1, 0, 32767, -32768};
    EXPECT_EQ(formatShorts(values, 8), "-1 0 32767 -32768 ");
    EXPECT_EQ(formatShorts(values, 0), "");
    EXPECT_EQ(formatShorts(values, -2), "");
    EXPECT_TRUE(host.lines().empty());

    // An odd size: the assertion is logged, and the half value at the end is not read (the
    // sanitizer build would catch a read past this three-byte block).
    void* block = std::malloc(3);
    ASSERT_NE(block, nullptr);
    const int16_t first = -7;
    std::memcpy(block, &first, sizeof first);
    EXPECT_EQ(formatShorts(static_cast<const int16_t*>(block), 3), "-7 ");
    std::free(block);
    const auto lines = host.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.rfind("Assertion \"size % 2 == 0\" failed at ctrlport_plugin/custom_string_helpers:", 0),
        0u)
        << lines[0].text;
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].channel, "");
}

TEST(Bbcode, BasicTagsNestInAnyLetterCase)
{
    struct Case
    {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"[b][I]x[/i][/B]", "<b><i>x</i></b>"},
        {"[i]a [b]b[/B] c[/I]", "<i>a <b>b</b> c</i>"},
        {"[U]u[/u] and [B]b[/B]", "<u>u</u> and <b>b</b>"},
        {"[B]line\nbreak[/B]", "<b>line\nbreak</b>"},
        {"[URL=http://example.com/page]the [B]site[/B][/URL]",
            "<a href=\"http://example.com/page\">the <b>site</b></a>"},
        {"[url]https://example.com/?a=1&b=2[/url]",
            "<a href=\"https://example.com/?a=1&amp;b=2\">https://example.com/?a=1&amp;b=2</a>"},
        {"[URL=mailto:someone@example.com]mail[/URL] [URL=FTP://files.example.com]f[/URL]",
            "<a href=\"mailto:someone@example.com\">mail</a> <a href=\"FTP://files.example.com\">f</a>"},
        {"[COLOR=red]r[/COLOR][color=#00ff7F]g[/color]", "<font color=\"red\">r</font><font color=\"#00ff7F\">g</font>"},
        // Unclosed and stray tags stay as text.
        {"[B]open [I]x[/B]", "<b>open [I]x</b>"},
        {"[/B][B]", "[/B][B]"},
        {"[URL=http://x]no closer", "[URL=http://x]no closer"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bbcodeBasicToHtml(c.input), c.expected) << c.input;
    // The basic conversion leaves layout tags and lists alone.
    EXPECT_EQ(bbcodeBasicToHtml("[CENTER][B]c[/B][/CENTER][LIST][*]x[/LIST]"),
        "[CENTER]<b>c</b>[/CENTER][LIST][*]x[/LIST]");
}

TEST(Bbcode, LayoutTagsAndLists)
{
    struct Case
    {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"[SIZE=12]big[/SIZE]", "<span style=\" font-size:12pt;\">big</span>"},
        {"[left]l[/left][RIGHT]r[/RIGHT][Center][b]c[/b][/Center]",
            "<div align=\"left\">l</div><div align=\"right\">r</div><div align=\"center\"><b>c</b></div>"},
        {"[LIST][*]a[*]b[/LIST]", "<ul><li>a<li>b</ul>"},
        {"[LIST]plain[/LIST]", "<ul><li>plain</ul>"},
        {"[list=a][*]x[/list][LIST=1][*]y[/LIST][List=i][*]z[/List]",
            "<ol type=A><li>x</ol><ol type=1><li>y</ol><ol type=I><li>z</ol>"},
        {"[LIST][*]a[LIST][*]b[/LIST][*]c[/LIST]", "<ul><li>a<ul><li>b</ul><li>c</ul>"},
        {"[LIST][LIST]inner[/LIST][/LIST]", "<ul><li><ul><li>inner</ul></ul>"},
        // A list without a closer stops the list conversion: it and every later list stay.
        {"[LIST][*]a[/LIST] [LIST][*]b [LIST=1][*]c", "<ul><li>a</ul> [LIST][*]b [LIST=1][*]c"},
        // Other "[LIST" forms are text, also at the very end of the text.
        {"[LIST=B]x[/LIST][LISTING][LIST=", "[LIST=B]x[/LIST][LISTING][LIST="},
        {"[LIST=1", "[LIST=1"},
        {"[LIST", "[LIST"},
        {"x[LIST=]", "x[LIST=]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bbcodeToHtml(c.input), c.expected) << c.input;
}

TEST(Bbcode, HostileMarkupNeverReachesTheHtml)
{
    struct Case
    {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"<script>alert(1)</script> & \"q\"", "&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;q&quot;"},
        {"[B]<img src=x onerror=alert(1)>[/B]", "<b>&lt;img src=x onerror=alert(1)&gt;</b>"},
        // Links with another scheme, or that would break out of the attribute, keep only their text.
        {"[URL=javascript:alert(1)]click[/URL]", "click"},
        {"[url=JavaScript:alert(1)]click[/url]", "click"},
        {"[URL]javascript:alert(1)[/URL]", "javascript:alert(1)"},
        {"[URL= http://x]sp[/URL]", "sp"},
        {"[URL=data:text/html,x]d[/URL]", "d"},
        {"[URL=http://x\" onmouseover=\"alert(1)]y[/URL]", "y"},
        {"[URL=http://x\"onmouseover=\"alert(1)]y[/URL]",
            "<a href=\"http://x&quot;onmouseover=&quot;alert(1)\">y</a>"},
        {"[URL]http://a/[B]b[/B][/URL]", "http://a/<b>b</b>"},
        // A tag pair of an earlier pass that crosses a link's address: the link stays text.
        {"[b][url=http://a[/b]x]y[/url]", "<b>[url=http://a</b>x]y[/url]"},
        {"[b][url]http://a[/b]x[/url]", "<b>[url]http://a</b>x[/url]"},
        // Colours only from "#" and hex digits or letters, sizes only from digits.
        {"[COLOR=red\" style=\"x]t[/COLOR]", "t"},
        {"[COLOR=expression(alert(1))]t[/COLOR]", "t"},
        {"[COLOR=#12345z]t[/COLOR]", "t"},
        {"[SIZE=12;color:red]t[/SIZE]", "t"},
        {"[SIZE=1000]t[/SIZE]", "t"},
        {"[SIZE=]t[/SIZE]", "t"},
    };
    for (const Case& c : cases) {
        const std::string html = bbcodeToHtml(c.input);
        EXPECT_EQ(html, c.expected) << c.input;
        EXPECT_EQ(html_safety::firstFault(html), "") << c.input;
    }
}

TEST(Bbcode, PathologicalInputIsBoundedAndReturnedEscaped)
{
    RecordingHost host;
    // Fifty thousand unclosed tags: beyond the length bound, returned escaped and unconverted.
    std::string unclosed;
    for (int i = 0; i < 50000; ++i)
        unclosed += "[B]<";
    std::string escaped;
    for (int i = 0; i < 50000; ++i)
        escaped += "[B]&lt;";
    EXPECT_EQ(bbcodeToHtml(unclosed), escaped);
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0].channel, "StringHelp");
    host.clearLines();

    // Just within the bound: many unclosed tags with a converted one at the end.
    std::string within;
    while (within.size() + 16 < kBbcodeMaxInput)
        within += "[I][COLOR=";
    EXPECT_EQ(bbcodeToHtml(within + "[B]x[/B]"), within + "<b>x</b>");
    EXPECT_TRUE(host.lines().empty());

    // Nesting deeper than the passes allow: each pass pairs the first opener with the first
    // closer, so the passes convert that many tags and the rest stays text.
    const int depth = kBbcodeMaxPasses + 8;
    std::string nested = "x";
    for (int i = 0; i < depth; ++i)
        nested = "[B]" + nested + "[/B]";
    std::string expected;
    for (int i = 0; i < depth; ++i)
        expected += i < kBbcodeMaxPasses ? "<b>" : "[B]";
    expected += "x";
    for (int i = 0; i < depth; ++i)
        expected += i < kBbcodeMaxPasses ? "</b>" : "[/B]";
    EXPECT_EQ(bbcodeBasicToHtml(nested), expected);

    // More lists than converted: the later ones stay text.
    std::string lists;
    for (int i = 0; i < kBbcodeMaxLists + 1; ++i)
        lists += "[LIST]x[/LIST]";
    const std::string html = bbcodeToHtml(lists);
    EXPECT_EQ(html.rfind("[LIST]x[/LIST]"), html.size() - 14);
    EXPECT_EQ(html.find("[LIST]"), html.size() - 14);
}

TEST(Bbcode, RandomMarkupSoupStaysSafeHtml)
{
    const std::vector<std::string> pieces = {"[B]", "[/B]", "[i]", "[/I]", "[U]", "[/u]", "[URL]", "[URL=", "[/URL]",
        "[COLOR=", "[/COLOR]", "[SIZE=", "[/SIZE]", "[CENTER]", "[/CENTER]", "[LIST]", "[LIST=a]", "[LIST=", "[/LIST]",
        "[*]", "]", "[", "\"", "<", ">", "&", "'", " ", "=", "http://e.x/", "javascript:", "mailto:a@b", "#ff0000",
        "red", "12", "x", "<li>", "onclick=", "\n"};
    std::mt19937 random(2125);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const std::size_t count = 1 + random() % 24;
        for (std::size_t i = 0; i < count; ++i)
            input += pieces[random() % pieces.size()];
        const std::string html = bbcodeToHtml(input);
        ASSERT_EQ(html_safety::firstFault(html), "") << input << "\n -> " << html;
        ASSERT_EQ(html_safety::firstFault(bbcodeBasicToHtml(input)), "") << input;
    }
}

TEST(Bbcode, SafeMarkupConvertsAsPlainRegexReplaceWould)
{
    // The conversion runs the expressions only where they can match; on markup whose parameters
    // all pass the checks it must give what repeated regex_replace over the whole text gives.
    const boost::regex basic(R"re((?:\[B\](.*?)\[/B\])|(?:\[I\](.*?)\[/I\])|(?:\[U\](.*?)\[/U\])|(?:\[URL\](.*?)\[/URL\])|(?:\[URL=([^\]]*)\](.*?)\[/URL\])|(?:\[COLOR=([^\]]*)\](.*?)\[/COLOR\]))re",
        boost::regex::perl | boost::regex::icase);
    const char* const basicFormat = R"re((?1<b>\1</b>)(?2<i>\2</i>)(?3<u>\3</u>)(?4<a href="\4">\4</a>)(?5<a href="\5">\6</a>)(?7<font color="\7">\8</font>))re";
    const boost::regex layout(R"re((?:\[SIZE=([^\]]*)\](.*?)\[/SIZE\])|(?:\[LEFT\](.*?)\[/LEFT\])|(?:\[RIGHT\](.*?)\[/RIGHT\])|(?:\[CENTER\](.*?)\[/CENTER\]))re",
        boost::regex::perl | boost::regex::icase);
    const char* const layoutFormat = R"re((?1<span style=" font-size\:\1pt;">\2</span>)(?3<div align="left">\3</div>)(?4<div align="right">\4</div>)(?5<div align="center">\5</div>))re";
    const auto repeat = [](std::string text, const boost::regex& expression, const char* format) {
        for (int pass = 0; pass < kBbcodeMaxPasses; ++pass) {
            std::string next = boost::regex_replace(text, expression, format, boost::format_all);
            if (next == text)
                break;
            text.swap(next);
        }
        return text;
    };

    const std::vector<std::string> pieces = {"[B]", "[/B]", "[b]", "[/b]", "[I]", "[/I]", "[U]", "[/U]",
        "[URL=http://e.x/]", "[url=mailto:a@b.c]", "[/URL]", "[COLOR=red]", "[color=#ABC]", "[/COLOR]", "[SIZE=12]",
        "[/SIZE]", "[LEFT]", "[/LEFT]", "[CENTER]", "[/center]", "[RIGHT]", "[/RIGHT]", "[", "]", "x", "/", "\n"};
    std::mt19937 random(3393);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const std::size_t count = 1 + random() % 30;
        for (std::size_t i = 0; i < count; ++i)
            input += pieces[random() % pieces.size()];
        const std::string expected = repeat(repeat(input, basic, basicFormat), layout, layoutFormat);
        ASSERT_EQ(bbcodeToHtml(input), expected) << input;
    }
}
