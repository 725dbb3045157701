#include "custom_string_helpers.h"
#include "host.h"
#include "recording_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <random>

namespace {

// A C++ locale that writes and reads "," as decimal point, as a client with a German locale would.
struct CommaNumpunct : std::numpunct<char>
{
    char do_decimal_point() const override { return ','; }
};

class GlobalCommaLocale
{
public:
    GlobalCommaLocale() : m_old(std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct))) {}
    ~GlobalCommaLocale() { std::locale::global(m_old); }

private:
    std::locale m_old;
};

const uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();

} // namespace

TEST(NumberText, WritesFullRangeAndBinary)
{
    EXPECT_EQ(intToString(std::numeric_limits<int32_t>::min()), "-2147483648");
    EXPECT_EQ(uintToString(0), "0");
    EXPECT_EQ(uint64ToString(kAllOnes), "18446744073709551615");
    EXPECT_EQ(toBinaryString(0), "");
    EXPECT_EQ(toBinaryString(5), "101");
    EXPECT_EQ(toBinaryString(kAllOnes), std::string(64, '1'));
}

TEST(NumberText, FormatFloatHasFourDecimalsAndAPointInEveryLocale)
{
    EXPECT_EQ(formatFloat(1.5f), "1.5000");
    EXPECT_EQ(formatFloat(0.0f), "0.0000");
    EXPECT_EQ(formatFloat(-2.25f), "-2.2500");
    GlobalCommaLocale comma;
    EXPECT_EQ(formatFloat(1.5f), "1.5000");
}

TEST(TextChanges, TrimsReplaceAndRemove)
{
    EXPECT_EQ(trimLeft("   ", " "), "");
    EXPECT_EQ(trimRight("   ", " "), "");
    EXPECT_EQ(trimLeft(" |a b| ", " |"), "a b| ");
    EXPECT_EQ(trimRight(" |a b| ", " |"), " |a b");

    EXPECT_EQ(replaceAll("\r", "", "no return"), "no return");
    EXPECT_EQ(replaceAll("\r", "", "a\r\nb\r"), "a\nb");
    EXPECT_EQ(replaceAll("", "x", "text"), "text");
    EXPECT_EQ(replaceAll("long search", "x", "short"), "short");
    EXPECT_EQ(replaceAll("aa", "X", "aaa"), "Xa");        // no overlap
    EXPECT_EQ(replaceAll("a", "aa", "aa"), "aaaa");       // replacement not scanned again
    EXPECT_EQ(replaceAll(std::wstring(L"ß"), std::wstring(L"ss"), std::wstring(L"Straße")), L"Strasse");

    EXPECT_EQ(removeChar("a\rb\r", '\r'), "ab");
}

TEST(TextChanges, CaseTouchesOnlyAsciiLetters)
{
    const std::string mixed = "Ab1-\xC3\x84\xC3\xB6z";  // "Ab1-Äöz" in UTF-8
    EXPECT_EQ(toLower(mixed), "ab1-\xC3\x84\xC3\xB6z");
    EXPECT_EQ(toUpper(mixed), "AB1-\xC3\x84\xC3\xB6Z");
    std::string allBytes;
    for (int b = 0x80; b <= 0xFF; ++b)
        allBytes += static_cast<char>(b);
    EXPECT_EQ(toLower(allBytes), allBytes);
    EXPECT_EQ(toUpper(allBytes), allBytes);
}

TEST(TextChanges, PaddingAndEliding)
{
    EXPECT_EQ(padLeft("7", "0", 2), "07");
    EXPECT_EQ(padRight("ab", "xyz", 4), "abxyz");  // a long pad overshoots
    EXPECT_EQ(padLeft("ab", "xyz", 4), "xyzab");
    EXPECT_EQ(padLeft("abc", "0", 2), "abc");
    // An empty pad can never reach the width: the text comes back instead of a hang.
    EXPECT_EQ(padLeft("a", "", 10), "a");
    EXPECT_EQ(padRight("a", "", 10), "a");

    EXPECT_EQ(elide("0123456789", 2), "...");
    EXPECT_EQ(elide("0123456789", 5), "01...");
    EXPECT_EQ(elide("0123456789", 10), "0123456789");
    EXPECT_EQ(elide("0123456789", -1), "...");
    EXPECT_EQ(elide("", -1), "...");
}

TEST(AddressText, DottedAddressAndHostOrderPort)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(25639);
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.20", &address.sin_addr), 1);
    EXPECT_EQ(ipText(address), "192.168.1.20");
    EXPECT_EQ(portText(address), "25639");
    EXPECT_EQ(ipPortText(address), "192.168.1.20:25639");
}

TEST(SqlText, QuotingAndStatements)
{
    EXPECT_EQ(sqlEscape("it's"), "it''s");
    EXPECT_EQ(sqlUnescape("'''"), "''");
    EXPECT_EQ(sqlQuote("a'b"), "'a'b'");
    EXPECT_EQ(doubleQuote("a"), "\"a\"");

    const std::string script = "insert into t values('a;b');delete from t;";
    std::size_t position = 0;
    EXPECT_EQ(nextSqlStatement(script, position), "insert into t values('a;b');");
    EXPECT_EQ(nextSqlStatement(script, position), "delete from t;");
    EXPECT_EQ(nextSqlStatement(script, position), "");
    EXPECT_EQ(position, std::string::npos);
    EXPECT_EQ(nextSqlStatement(script, position), "");

    position = 0;
    EXPECT_EQ(nextSqlStatement("select 1;", position), "select 1;");
    EXPECT_EQ(position, std::string::npos);
    position = 0;
    EXPECT_EQ(nextSqlStatement("select 1", position), "select 1");
    EXPECT_EQ(position, std::string::npos);

    // A position beyond the script ends it instead of cutting out of range.
    position = 100;
    EXPECT_EQ(nextSqlStatement("a;", position), "");
    EXPECT_EQ(position, std::string::npos);
}

TEST(SqlText, UnclosedQuoteLogsAndEndsTheScript)
{
    RecordingHost host;
    std::size_t position = 0;
    EXPECT_EQ(nextSqlStatement("select 'a;", position), "");
    EXPECT_EQ(position, std::string::npos);
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0].text, "Invalid SQL string detected: select 'a;");
    EXPECT_EQ(host.lines()[0].channel, "StringHelp");
    EXPECT_EQ(host.lines()[0].level, 0);
}

TEST(NumberParsers, AcceptanceRules)
{
    bool failed = false;
    EXPECT_EQ(parseUInt("4294967295", failed), 4294967295u);
    EXPECT_FALSE(failed);
    EXPECT_EQ(parseUInt("12abc", failed), 12u);
    EXPECT_FALSE(failed);
    for (const char* bad : {"", "+5", "-5", " 5", "abc", "4294967296"}) {
        failed = false;
        EXPECT_EQ(parseUInt(bad, failed), 0u) << bad;
        EXPECT_TRUE(failed) << bad;
    }

    EXPECT_EQ(parseInt("+5", failed), 5);
    EXPECT_FALSE(failed);
    EXPECT_EQ(parseInt("-2147483648", failed), std::numeric_limits<int32_t>::min());
    EXPECT_FALSE(failed);
    for (const char* bad : {"", "-", "+-1", "2147483648", "-2147483649", "x1"}) {
        failed = false;
        EXPECT_EQ(parseInt(bad, failed), 0) << bad;
        EXPECT_TRUE(failed) << bad;
    }

    EXPECT_EQ(parseUInt64("18446744073709551615", failed), kAllOnes);
    EXPECT_FALSE(failed);
    for (const char* bad : {"", "-2", "18446744073709551616", "+1"}) {
        failed = false;
        EXPECT_EQ(parseUInt64(bad, failed), 0u) << bad;
        EXPECT_TRUE(failed) << bad;
    }
    // "-1" is all ones and leaves the flag as the caller set it.
    failed = true;
    EXPECT_EQ(parseUInt64("-1", failed), kAllOnes);
    EXPECT_TRUE(failed);
    failed = false;
    EXPECT_EQ(parseUInt64("-1", failed), kAllOnes);
    EXPECT_FALSE(failed);
    EXPECT_EQ(parseUInt64("-1x", failed), 0u);
    EXPECT_TRUE(failed);
}

TEST(NumberParsers, FlaglessFormsLogFailuresButNotEmptyTexts)
{
    RecordingHost host;
    EXPECT_EQ(stringToUInt(""), 0u);
    EXPECT_EQ(stringToInt(""), 0);
    EXPECT_EQ(stringToUINT64(""), 0u);
    EXPECT_TRUE(host.lines().empty());

    EXPECT_EQ(stringToUInt("+1"), 0u);
    EXPECT_EQ(stringToInt("abc"), 0);
    EXPECT_EQ(stringToUINT64("x"), 0u);
    EXPECT_EQ(stringToUINT64("-1"), kAllOnes);
    EXPECT_EQ(stringToInt("-12"), -12);
    const std::vector<std::string> expected = {"stringToUInt() failed with: +1", "stringToInt() failed with: abc",
                                               "stringToUINT64() failed with: x"};
    EXPECT_EQ(host.texts(), expected);
    for (const fakehost::LogLine& line : host.lines()) {
        EXPECT_EQ(line.channel, "StringHelp");
        EXPECT_EQ(line.level, 0);
        EXPECT_EQ(line.sch, 0u);
    }
}

TEST(NumberParsers, NumberBeforeBracketAndStreamReader)
{
    EXPECT_EQ(numberBeforeBracket("Speed [ 250M]"), 250u);
    EXPECT_EQ(numberBeforeBracket("Size 42]"), 42u);
    EXPECT_EQ(numberBeforeBracket("[250M]"), 0u);
    EXPECT_EQ(numberBeforeBracket("none"), 0u);
    EXPECT_EQ(numberBeforeBracket("]"), 0u);
    EXPECT_EQ(numberBeforeBracket("a xM]"), 0u);

    bool failed = false;
    EXPECT_EQ(stringToULong("  17abc", failed), 17u);
    EXPECT_FALSE(failed);
    stringToULong("abc", failed);
    EXPECT_TRUE(failed);
    stringToULong("", failed);
    EXPECT_TRUE(failed);
    stringToULong("18446744073709551616", failed);
    EXPECT_TRUE(failed);
}

TEST(Escaping, TableAndRoundTripsOverAllBytes)
{
    EXPECT_EQ(escapeText(""), "");
    EXPECT_EQ(escapeText("a b|c/d\\e"), "a\\sb\\pc\\/d\\\\e");
    EXPECT_EQ(escapeText("\a\b\f\n\r\t\v"), "\\a\\b\\f\\n\\r\\t\\v");
    EXPECT_EQ(escapeText("\xC3\xA4\"="), "\xC3\xA4\"=");

    // Every byte alone and every pair of bytes.
    for (int a = 0; a < 256; ++a) {
        const std::string single(1, static_cast<char>(a));
        const std::string escaped = escapeText(single);
        ASSERT_EQ(escaped.find_first_of(" |\n\r"), std::string::npos) << a;
        ASSERT_EQ(unescapeText(escaped), single) << a;
        for (int b = 0; b < 256; ++b) {
            const std::string pair = single + static_cast<char>(b);
            ASSERT_EQ(unescapeText(escapeText(pair)), pair) << a << ' ' << b;
        }
    }
    std::mt19937 random(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string text(static_cast<std::size_t>(byte(random) % 40), '\0');
        for (char& c : text)
            c = static_cast<char>(byte(random));
        ASSERT_EQ(unescapeText(escapeText(text)), text);
    }
}

TEST(Escaping, UnescapeKeepsWhatIsNoEscape)
{
    EXPECT_EQ(unescapeText("a\\"), "a\\");                    // trailing backslash stays
    EXPECT_EQ(unescapeText("\\\xC3\xA4"), "\\\xC3\xA4");      // before a byte of 0x80 or above
    EXPECT_EQ(unescapeText("\\\\s"), "\\s");                  // the pair is read once
    EXPECT_EQ(unescapeText("\\\"\\q\\/\\p\\s"), "\"q/| ");
}

TEST(Escaping, TakeEscapedElementCutsAtTheFirstPlainSlash)
{
    std::string path = "Lobby\\/Hall/Sub\\sRoom/Last";
    EXPECT_EQ(takeEscapedElement(path), "Lobby/Hall");
    EXPECT_EQ(path, "Sub\\sRoom/Last");
    EXPECT_EQ(takeEscapedElement(path), "Sub Room");
    EXPECT_EQ(takeEscapedElement(path), "Last");
    EXPECT_EQ(path, "");

    std::string backslashThenSlash = "a\\\\/b";
    EXPECT_EQ(takeEscapedElement(backslashThenSlash), "a\\");
    EXPECT_EQ(backslashThenSlash, "b");
    std::string quoted = "\\\"x\\\"/y";
    EXPECT_EQ(takeEscapedElement(quoted), "\"x\"");
    EXPECT_EQ(quoted, "y");
    std::string trailing = "end\\";
    EXPECT_EQ(takeEscapedElement(trailing), "end\\");
    EXPECT_EQ(trailing, "");
}

TEST(Host, PathsAreNulTerminatedAndLoggingNeedsATable)
{
    clearHostFunctions();
    logMessage("nobody listens", 0, "StringHelp");  // must not crash
    EXPECT_EQ(hostConfigPath(), "");

    RecordingHost host;
    host.setConfigPath("/home/j\xC3\xBCrgen/.vxmclient/");
    EXPECT_EQ(hostConfigPath(), "/home/j\xC3\xBCrgen/.vxmclient/");

    // A client that fills the whole buffer without a terminator.
    host.table().getConfigPath = [](char* buffer, size_t size) { std::memset(buffer, 'x', size); };
    host.install();
    EXPECT_EQ(hostConfigPath(), std::string(kHostPathBufferSize - 1, 'x'));

    logAssertionFailure("a < b", "parameterparser", 42);
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0].text, "Assertion \"a < b\" failed at ctrlport_plugin/parameterparser:42; ");
    EXPECT_EQ(host.lines()[0].channel, "");
}

// The text of error 0 is kept after the first answer; a new table (a reloaded plug-in) must not
// answer with the old one, and an answer that failed is asked again.
TEST(Host, OkTextFollowsTheTable)
{
    static int asked = 0;
    static const char* answer = nullptr;
    RecordingHost host;
    host.table().getErrorText = [](unsigned, char** text) -> unsigned {
        ++asked;
        *text = answer ? strdup(answer) : nullptr;
        return answer ? 0 : 1;
    };
    host.table().freeHostMemory = [](void* pointer) { std::free(pointer); };
    host.install();
    asked = 0;
    EXPECT_EQ(hostErrorText(0), "");
    answer = "ok";
    EXPECT_EQ(hostErrorText(0), "ok");
    EXPECT_EQ(hostErrorText(0), "ok");
    EXPECT_EQ(asked, 2);
    answer = "fine";
    host.install();
    EXPECT_EQ(hostErrorText(0), "fine");
}
