#include "parameterparser.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <limits>
#include <locale>

namespace {

ParamParser parsed(const std::string& line)
{
    bool ok = false;
    ParamParser parser(line, ok);
    EXPECT_TRUE(ok) << line;
    return parser;
}

std::vector<std::string> tokens(const ParamParser& parser)
{
    std::vector<std::string> result;
    for (std::size_t i = 0; i < parser.size(); ++i)
        result.push_back(parser.getToken(i));
    return result;
}

using Tokens = std::vector<std::string>;

const std::string kAssertionPrefix = "Assertion \"";

} // namespace

TEST(ParamParserTokens, BlanksAndNulBytes)
{
    EXPECT_EQ(parsed("").size(), 0u);
    EXPECT_EQ(parsed("     ").size(), 0u);

    ParamParser command = parsed("  use  schandlerid=1  ");
    EXPECT_EQ(command.getLine(), "use  schandlerid=1");
    EXPECT_EQ(tokens(command), (Tokens{"use", "schandlerid=1"}));

    // Only blanks separate; a tab stays inside its token.
    EXPECT_EQ(tokens(parsed("a\tb c")), (Tokens{"a\tb", "c"}));

    bool ok = true;
    ParamParser withNul(std::string("use\0x", 5), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(withNul.size(), 0u);
    EXPECT_FALSE(withNul.reparse(std::string("a\0", 2)));
    EXPECT_EQ(withNul.size(), 0u);
}

TEST(ParamParserTokens, BarsSeparateRecordsOnlyAfterAWord)
{
    EXPECT_EQ(tokens(parsed("clid=1|clid=2")), (Tokens{"clid=1", "|", "clid=2"}));
    EXPECT_EQ(tokens(parsed("clid=1 | clid=2")), (Tokens{"clid=1", "clid=2"}));
    EXPECT_EQ(tokens(parsed("|a")), (Tokens{"a"}));
    EXPECT_EQ(tokens(parsed("a||b")), (Tokens{"a", "|", "b"}));
    EXPECT_EQ(tokens(parsed("a|")), (Tokens{"a", "|"}));
}

TEST(ParamParserTokens, ReparseKeepsTrailingBlanksAndTheError)
{
    RecordingHost host;
    ParamParser parser = parsed("x");
    parser.getString("missing");
    ASSERT_EQ(parser.getError(), kParamErrorMissing);
    EXPECT_TRUE(parser.reparse("  a=1 b  "));
    EXPECT_EQ(parser.getLine(), "a=1 b  ");
    EXPECT_EQ(tokens(parser), (Tokens{"a=1", "b"}));
    EXPECT_EQ(parser.getError(), kParamErrorMissing);
}

TEST(ParamParserKeys, KeysValuesAndQuotes)
{
    ParamParser parser = parsed("cmd a=b=c x\"y=1 \"q -uid empty= client_nickname=Big\\sBen");
    EXPECT_EQ(parser.getKey(0), "cmd");
    EXPECT_EQ(parser.getValue(0), "");
    EXPECT_EQ(parser.getKey(1), "a");
    EXPECT_EQ(parser.getValue(1), "b=c");
    EXPECT_EQ(parser.getKey(2), "");       // quote before "=": unnamed
    EXPECT_EQ(parser.getValue(2), "1");
    EXPECT_EQ(parser.getKey(3), "\"q");    // no "=": the whole token
    EXPECT_EQ(parser.getKey(4), "-uid");
    EXPECT_EQ(parser.getKey(5), "empty");
    EXPECT_EQ(parser.getValue(5), "");
    EXPECT_EQ(parser.getString("client_nickname"), "Big Ben");
    EXPECT_EQ(parser.getToken(6), "client_nickname=Big Ben");

    EXPECT_EQ(parser.findParam("x\"y"), -1);
    EXPECT_TRUE(parser.hasParam("-uid"));
    EXPECT_FALSE(parser.hasParam("-away"));
    EXPECT_TRUE(parser.isParamTrue("-uid", false));
    EXPECT_FALSE(parser.isParamTrue("-away", false));
    EXPECT_TRUE(parser.isParamTrue("-away", true));
    EXPECT_EQ(parser.getError(), 0);
}

TEST(ParamParserKeys, IsParamTrueTexts)
{
    ParamParser parser = parsed("a=1 b=true c=TRUE d=True e=0 f= \"g=1");
    for (const char* key : {"a", "b", "c", "f"})
        EXPECT_TRUE(parser.isParamTrue(key, false)) << key;
    for (const char* key : {"d", "e"})
        EXPECT_FALSE(parser.isParamTrue(key, true)) << key;
    EXPECT_TRUE(parser.isParamTrue(std::size_t{0}, false));
    EXPECT_FALSE(parser.isParamTrue(std::size_t{4}, true));
    EXPECT_TRUE(parser.isParamTrue(std::size_t{6}, true));   // unnamed token: the default
    EXPECT_FALSE(parser.isParamTrue(std::size_t{6}, false));
    EXPECT_TRUE(parser.isParamTrue(std::size_t{99}, true));
}

TEST(ParamParserKeys, FindParamWithHintWrapsAround)
{
    ParamParser parser = parsed("cmd clid=1 cid=5 clid=2");
    std::size_t hint = 0;
    EXPECT_EQ(parser.findParam("clid", hint), 1);
    EXPECT_EQ(hint, 2u);
    EXPECT_EQ(parser.findParam("clid", hint), 3);
    EXPECT_EQ(hint, 4u);
    EXPECT_EQ(parser.findParam("clid", hint), 1);  // found before the hint: hint stays
    EXPECT_EQ(hint, 4u);
    EXPECT_EQ(parser.findParam("cid", hint), 2);
    EXPECT_EQ(parser.getUInt("clid", hint), 1u);

    hint = 0;
    EXPECT_EQ(parser.getUInt("clid", hint), 1u);
    EXPECT_EQ(parser.getUInt("clid", hint), 2u);
}

TEST(ParamParserKeys, OutOfRangeIndexesLogAssertionsAndStayInside)
{
    RecordingHost host;
    ParamParser parser = parsed("cmd a=1");
    EXPECT_EQ(parser.getToken(2), "");
    EXPECT_EQ(parser.getValue(7), "");
    std::size_t hint = 9;
    EXPECT_EQ(parser.findParam("a", hint), 1);
    EXPECT_EQ(hint, 9u);

    const std::vector<fakehost::LogLine> lines = host.lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string indexCheck = "Assertion \"index < m_paramVector.size()\" failed at ctrlport_plugin/parameterparser:";
    const std::string hintCheck =
        "Assertion \"positionHint <= m_paramVector.size()\" failed at ctrlport_plugin/parameterparser:";
    EXPECT_EQ(lines[0].text.compare(0, indexCheck.size(), indexCheck), 0) << lines[0].text;
    EXPECT_EQ(lines[1].text.compare(0, indexCheck.size(), indexCheck), 0) << lines[1].text;
    EXPECT_EQ(lines[2].text.compare(0, hintCheck.size(), hintCheck), 0) << lines[2].text;
    for (const fakehost::LogLine& line : lines) {
        EXPECT_EQ(line.level, 0);
        EXPECT_EQ(line.channel, "");
        EXPECT_EQ(line.text.substr(line.text.size() - 2), "; ");
        // a line number between the colon and "; "
        const std::string number = line.text.substr(line.text.rfind(':') + 1);
        EXPECT_GT(std::stoi(number), 0);
    }
}

TEST(ParamParserGetters, RangeRulesOfEachGetter)
{
    struct Case
    {
        const char* value;
        bool ok;
    };
    auto check = [](const char* getter, const std::vector<Case>& cases, auto read) {
        for (const Case& c : cases) {
            ParamParser parser = parsed(std::string("cmd v=") + c.value);
            read(parser);
            EXPECT_EQ(parser.getError(), c.ok ? 0 : kParamErrorConversion) << getter << " of \"" << c.value << '"';
        }
    };
    check("getInt", {{"-7", true}, {"+5", true}, {"12abc", true}, {"2147483648", false}, {"abc", false}, {"", false},
                     {"\\s1", false}},
          [](ParamParser& p) { p.getInt("v"); });
    check("getUInt", {{"4294967295", true}, {"-1", false}, {"+1", false}, {"4294967296", false}, {"", false}},
          [](ParamParser& p) { p.getUInt("v"); });
    check("getUInt64", {{"-1", true}, {"18446744073709551615", true}, {"18446744073709551616", false}, {"-2", false},
                        {"abc", false}, {"", false}},
          [](ParamParser& p) { p.getUInt64("v"); });
    check("getUInt16", {{"65535", true}, {"\\s12", true}, {"65536", false}, {"x", false}, {"", false}},
          [](ParamParser& p) { p.getUInt16("v"); });
    check("getFloat", {{"1.5", true}, {"-2e3", true}, {"x", false}, {"", false}},
          [](ParamParser& p) { p.getFloat("v"); });
    check("getDouble", {{"2.25x", true}, {".", false}, {"", false}}, [](ParamParser& p) { p.getDouble("v"); });
    check("getBoolValue", {{"1", true}, {"0", true}, {"true", false}, {"2", false}, {"", false}},
          [](ParamParser& p) { p.getBoolValue("v"); });

    ParamParser values = parsed("cmd i=-7 u=12abc big=-1 s=65535 f=1.5 d=2.25 b=1");
    EXPECT_EQ(values.getInt("i"), -7);
    EXPECT_EQ(values.getUInt("u"), 12u);
    EXPECT_EQ(values.getUInt64("big"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(values.getUInt16("s"), 65535);
    EXPECT_FLOAT_EQ(values.getFloat("f"), 1.5f);
    EXPECT_DOUBLE_EQ(values.getDouble("d"), 2.25);
    EXPECT_TRUE(values.getBoolValue("b"));
    EXPECT_EQ(values.getError(), 0);
}

TEST(ParamParserGetters, FloatsReadAPointWhateverTheLocale)
{
    struct CommaNumpunct : std::numpunct<char>
    {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
    ParamParser parser = parsed("cmd f=1.5 d=0.25");
    const float f = parser.getFloat("f");
    const double d = parser.getDouble("d");
    std::locale::global(old);
    EXPECT_FLOAT_EQ(f, 1.5f);
    EXPECT_DOUBLE_EQ(d, 0.25);
    EXPECT_EQ(parser.getError(), 0);
}

TEST(ParamParserGetters, ErrorsStick)
{
    RecordingHost host;
    ParamParser parser = parsed("cmd clid=5 name=x");
    EXPECT_EQ(parser.getString("missing"), "");
    EXPECT_EQ(parser.getError(), kParamErrorMissing);
    ASSERT_EQ(host.lines().size(), 1u);
    EXPECT_EQ(host.lines()[0].text, "Protocol mismatch, old client or old server?");
    EXPECT_EQ(host.lines()[0].level, 1);
    EXPECT_EQ(host.lines()[0].channel, "ParamParser");

    EXPECT_EQ(parser.getUInt("clid"), 0u);     // present, but an error is already set
    EXPECT_EQ(parser.getString("name"), "x");  // a found parameter does not reset the error
    EXPECT_EQ(parser.getError(), kParamErrorMissing);

    ParamParser conversion = parsed("cmd name=x clid=5");
    EXPECT_EQ(conversion.getUInt("name"), 0u);
    EXPECT_EQ(conversion.getError(), kParamErrorConversion);
    EXPECT_EQ(conversion.getUInt("clid"), 0u);
    EXPECT_EQ(conversion.getError(), kParamErrorConversion);
    conversion.getInt("absent");
    EXPECT_EQ(conversion.getError(), kParamErrorMissing);
    EXPECT_EQ(host.lines().size(), 2u);  // conversion failures are not logged
}

TEST(ParamParserList, RecordsAndCursor)
{
    ParamParserList list(parsed("clientvariable clid=1 client_nickname|clid=2 client_nickname|"));
    ASSERT_EQ(list.size(), 2u);  // the trailing bar makes no empty group
    ParamParser* first = list.next();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getLine(), "clientvariable clid=1 client_nickname");
    EXPECT_EQ(first->getUInt("clid"), 1u);
    ParamParser* second = list.next();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->getLine(), "clid=2 client_nickname");
    EXPECT_EQ(tokens(*second), (Tokens{"clid=2", "client_nickname"}));
    EXPECT_EQ(list.next(), nullptr);
    EXPECT_EQ(list.next(), nullptr);

    EXPECT_TRUE(list.parse("clientmute clid=1 | clid=2"));  // blanks around the bar: one record
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(list.next()->size(), 3u);

    EXPECT_FALSE(list.parse(std::string("a|b\0", 4)));
    EXPECT_EQ(list.size(), 1u);  // unchanged
    EXPECT_EQ(list.next(), nullptr);

    list.build(parsed("a|b|c"));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(list.next()->getLine(), "a");
    list.clear();
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.next(), nullptr);
    EXPECT_EQ(ParamParserList(parsed("")).size(), 0u);
}
