#include "parameterparser.h"
#include "replybuilder.h"

#include <gtest/gtest.h>

#include <limits>

TEST(ReplyBuilder, ErrorLinesAndEmptyValues)
{
    std::string line = startCommand("error");
    addParam(line, "id", 0);
    addParam(line, "msg", "ok");
    EXPECT_EQ(finishLine(line), "error id=0 msg=ok");

    line = startCommand("error");
    addParam(line, "id", 1538);
    addParam(line, "msg", std::string());
    EXPECT_EQ(finishLine(line), "error id=1538 msg");

    EXPECT_EQ(finishLine(startCommand("")), "");
    line = emptyLine();
    addToken(line, "");
    addToken(line, "selected");
    EXPECT_EQ(finishLine(line), "selected");
    setKeyOnly(line, "schandlerid");
    EXPECT_EQ(line, "schandlerid ");
}

TEST(ReplyBuilder, TextIsEscapedNumbersAreNot)
{
    std::string line = emptyLine();
    addParam(line, "client_nickname", "Big Ben|a/b\\c\nd");
    addParam(line, "i", std::numeric_limits<int32_t>::min());
    addParam(line, "u", std::numeric_limits<uint32_t>::max());
    addParam(line, "u64", std::numeric_limits<uint64_t>::max());
    addParam(line, "u16", uint16_t{65535});
    addParam(line, "f0", 0.0f);
    addParam(line, "f", 1.5f);
    EXPECT_EQ(finishLine(line), "client_nickname=Big\\sBen\\pa\\/b\\\\c\\nd i=-2147483648 u=4294967295 "
                                "u64=18446744073709551615 u16=65535 f0=0.0000 f=1.5000");

    line = emptyLine();
    addParam(line, "raw", "a b ", false);
    EXPECT_EQ(finishLine(line), "raw=a b");  // an unescaped trailing blank is lost
}

TEST(ReplyBuilder, RecordsAndTrailingBars)
{
    std::string line = emptyLine();
    addParam(line, "clid", uint16_t{1});
    endRecord(line);
    addParam(line, "clid", uint16_t{2});
    endRecord(line);
    endRecord(line);
    EXPECT_EQ(line, "clid=1|clid=2|");
    EXPECT_EQ(finishLine(line), "clid=1|clid=2");

    std::string empty = emptyLine();
    endRecord(empty);
    EXPECT_EQ(empty, "|");
    EXPECT_EQ(finishLine(empty), "");
    EXPECT_EQ(finishLine("a= | |  "), "a=");
}

TEST(ReplyBuilder, SingleTokensAndKeys)
{
    EXPECT_TRUE(isSingleToken("selected  |"));
    EXPECT_FALSE(isSingleToken("a b"));
    EXPECT_FALSE(isSingleToken("a|b"));
    EXPECT_TRUE(isValidKey(""));
    EXPECT_TRUE(isValidKey("client_nickname-2"));
    for (const char* bad : {"a b", "a=b", "a.b", "\xC3\xA4", "a|"})
        EXPECT_FALSE(isValidKey(bad)) << bad;
}

TEST(ReplyBuilder, WhatIsBuiltParsesBack)
{
    const std::string nasty = "x y|z/\\ \t\r\n=\"end";
    std::string line = startCommand("notifytextmessage");
    addParam(line, "msg", nasty);
    addParam(line, "invokerid", uint16_t{7});
    endRecord(line);
    addParam(line, "msg", "second one");

    ParamParserList records;
    ASSERT_TRUE(records.parse(finishLine(line)));
    ASSERT_EQ(records.size(), 2u);
    ParamParser* first = records.next();
    EXPECT_EQ(first->getToken(0), "notifytextmessage");
    EXPECT_EQ(first->getString("msg"), nasty);
    EXPECT_EQ(first->getUInt16("invokerid"), 7);
    EXPECT_EQ(records.next()->getString("msg"), "second one");
}
