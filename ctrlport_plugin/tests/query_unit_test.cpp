// Pure parts of the connection manager and the exports: telnet cleaning, return codes, event lines,
// masked log lines.
#include "parser.h"
#include "query.h"
#include "returncode.h"

#include <gtest/gtest.h>

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string result;
    for (const int value : values)
        result.push_back(static_cast<char>(value));
    return result;
}

TEST(TelnetInputFilter, RemovesCommandSequencesOfEveryLength)
{
    TelnetInputFilter filter;
    EXPECT_EQ("quit\n", filter.filter(bytes({0xFF, 0xFB, 0x01}) + "quit\r\n"));
    // Interrupt process, then a data byte that must survive.
    EXPECT_EQ("whoami\n", filter.filter(bytes({0xFF, 0xF4}) + "whoami\n"));
    // IAC IAC counts as a two-byte command.
    EXPECT_EQ("ab", filter.filter("a" + bytes({0xFF, 0xFF}) + "b"));
    // Subnegotiation with an IAC IAC inside.
    EXPECT_EQ("xy", filter.filter("x" + bytes({0xFF, 0xFA, 0x18, 0xFF, 0xFF, 0x01, 0xFF, 0xF0}) + "y"));
    EXPECT_EQ("\n", filter.filter("\r\n\r"));
}

TEST(TelnetInputFilter, KeepsItsPlaceAcrossBlocks)
{
    TelnetInputFilter filter;
    EXPECT_EQ("a", filter.filter("a" + bytes({0xFF})));
    EXPECT_EQ("", filter.filter(bytes({0xFD})));
    EXPECT_EQ("use 1\n", filter.filter(bytes({0x03}) + "use 1\n"));
    EXPECT_EQ("b", filter.filter("b" + bytes({0xFF, 0xFA, 0x1F, 0x00})));
    EXPECT_EQ("", filter.filter(bytes({0x50, 0xFF})));
    EXPECT_EQ("c", filter.filter(bytes({0xF0}) + "c"));
}

TEST(ReturnCodes, OnlyCodesWithOurPrefixAndMoreAreClaimed)
{
    uint32_t id = 99;
    EXPECT_EQ(ReturnCodeOwner::Foreign, classifyReturnCode(nullptr, "PR_", id));
    EXPECT_EQ(ReturnCodeOwner::Foreign, classifyReturnCode("PR_", "PR_", id));
    EXPECT_EQ(ReturnCodeOwner::Foreign, classifyReturnCode("XX_17", "PR_", id));
    EXPECT_EQ(ReturnCodeOwner::Foreign, classifyReturnCode("PR", "PR_", id));
    EXPECT_EQ(ReturnCodeOwner::Ours, classifyReturnCode("PR_17", "PR_", id));
    EXPECT_EQ(17u, id);
    EXPECT_EQ(ReturnCodeOwner::Ours, classifyReturnCode("PR_17abc", "PR_", id));
    EXPECT_EQ(17u, id);
    EXPECT_EQ(ReturnCodeOwner::OursNoNumber, classifyReturnCode("PR_abc", "PR_", id));
    EXPECT_EQ(ReturnCodeOwner::OursNoNumber, classifyReturnCode("PR_99999999999", "PR_", id));
    // Without a prefix nothing is ours, not even a bare number.
    EXPECT_EQ(ReturnCodeOwner::Foreign, classifyReturnCode("17", "", id));

    setReturnCodePrefix("PR_");
    EXPECT_EQ("PR_7", returnCodeFor(7));
    setReturnCodePrefix("");
    EXPECT_EQ("7", returnCodeFor(7));
}

TEST(EventLines, SchandleridGoesAfterTheFirstWord)
{
    EXPECT_EQ("notifyclientids schandlerid=3", insertSchandlerid("notifyclientids", 3));
    EXPECT_EQ("notifyclientids schandlerid=18446744073709551615 cluid=a\\sb clid=2",
              insertSchandlerid("notifyclientids cluid=a\\sb clid=2", UINT64_MAX));
    EXPECT_EQ(" schandlerid=1", insertSchandlerid("", 1));
    EXPECT_STREQ("disconnected", connectStatusWord(0));
    EXPECT_STREQ("connection_established", connectStatusWord(4));
    EXPECT_STREQ("invalid", connectStatusWord(7));
    EXPECT_STREQ("invalid", connectStatusWord(-1));
}

TEST(ReceivedLog, PasswordValuesAreMasked)
{
    EXPECT_EQ("whoami", Parser::maskPasswords("whoami"));
    EXPECT_EQ("verifyserverpassword password=***", Parser::maskPasswords("verifyserverpassword password=secret"));
    EXPECT_EQ("x client_password=*** a=1|password=*** b", Parser::maskPasswords("x client_password=p a=1|password=q b"));
    EXPECT_EQ("hashpassword password=***  x", Parser::maskPasswords("hashpassword password=  x"));
    EXPECT_EQ("passwords=1 password", Parser::maskPasswords("passwords=1 password"));
}

TEST(ErrorLines, WithoutClientTheTextIsEmpty)
{
    EXPECT_EQ("error id=1538 msg", QueryManager::errorLine(1538, ""));
    EXPECT_EQ("error id=3329 msg extra_msg=you\\smay\\sretry", QueryManager::errorLine(3329, "you may retry"));
}

} // namespace
