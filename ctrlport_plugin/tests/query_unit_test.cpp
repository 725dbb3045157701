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

// What the filter makes of a block: its data, or "(dropped)" for a block with a stray NUL.
std::string filtered(TelnetInputFilter& filter, const std::string& block)
{
    std::string data;
    return filter.filter(block.data(), block.size(), data) ? data : "(dropped)";
}

TEST(TelnetInputFilter, RemovesCommandSequencesOfEveryLength)
{
    const struct
    {
        std::string block;
        std::string data;
    } rows[] = {
        {bytes({0xFF, 0xFB, 0x01}) + "quit\r\n", "quit\n"},
        // Interrupt process, then a data byte that must survive.
        {bytes({0xFF, 0xF4}) + "whoami\n", "whoami\n"},
        // IAC IAC counts as a two-byte command.
        {"a" + bytes({0xFF, 0xFF}) + "b", "ab"},
        // Subnegotiation with an IAC IAC inside.
        {"x" + bytes({0xFF, 0xFA, 0x18, 0xFF, 0xFF, 0x01, 0xFF, 0xF0}) + "y", "xy"},
        {"\r\n\r", "\n"},
        // A subnegotiation without its end stops at the line's end, or after 64 bytes.
        {"a" + bytes({0xFF, 0xFA}) + "whoami\nhelp\n", "a\nhelp\n"},
        {bytes({0xFF, 0xFA}) + std::string(64, 'x') + "quit\n", "quit\n"},
        // The Synch: its Data Mark (the IAC came as urgent data, kept in the stream).
        {bytes({0xFF, 0xF2}) + "whoami\n", "whoami\n"},
    };
    for (const auto& row : rows) {
        TelnetInputFilter filter;
        EXPECT_EQ(row.data, filtered(filter, row.block)) << row.block;
    }
}

TEST(TelnetInputFilter, KeepsItsPlaceAcrossBlocks)
{
    TelnetInputFilter filter;
    EXPECT_EQ("a", filtered(filter, "a" + bytes({0xFF})));
    EXPECT_EQ("", filtered(filter, bytes({0xFD})));
    EXPECT_EQ("use 1\n", filtered(filter, bytes({0x03}) + "use 1\n"));
    EXPECT_EQ("b", filtered(filter, "b" + bytes({0xFF, 0xFA, 0x1F, 0x01})));
    EXPECT_EQ("", filtered(filter, bytes({0x50, 0xFF})));
    EXPECT_EQ("c", filtered(filter, bytes({0xF0}) + "c"));
}

TEST(TelnetInputFilter, CarriageReturnNulEndsALineAndAnyOtherNulDropsTheBlock)
{
    TelnetInputFilter filter;
    // What a telnet client in character mode sends for the Enter key, also cut after the CR.
    EXPECT_EQ("whoami\n", filtered(filter, std::string("whoami\r\0", 8)));
    EXPECT_EQ("use 2", filtered(filter, "use 2\r"));
    EXPECT_EQ("\nx", filtered(filter, std::string("\0x", 2)));
    EXPECT_EQ("\n\n", filtered(filter, std::string("\r\0\r\r\0", 5)));
    EXPECT_EQ("(dropped)", filtered(filter, std::string("\0help\n", 6)));
    EXPECT_EQ("(dropped)", filtered(filter, std::string("he\0lp\r\0", 7)));
    // A NUL in a subnegotiation drops its block, but the end of the subnegotiation in that block
    // still counts: the next block is data again.
    EXPECT_EQ("", filtered(filter, bytes({0xFF, 0xFA, 0x18})));
    EXPECT_EQ("(dropped)", filtered(filter, bytes({0x00}) + "XTERM" + bytes({0xFF, 0xF0}) + "lost\n"));
    EXPECT_EQ("whoami\n", filtered(filter, "whoami\n"));
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
