// The version query against the UDP stand-in of the update server (on ports chosen by the system):
// the answer format, time-outs, retries, cut answers and answers from a stranger.
#include "serverinfoquery.h"
#include "testsupport.h"
#include "udpservice.h"

#include <QFile>

#include <gtest/gtest.h>

using testservers::UdpServiceProcess;

namespace {

using Pairs = QList<QPair<QString, QString>>;

// Long enough for the stand-in to answer on a loaded machine, short enough for the silent cases.
const int shortTimeoutMs = 1000;

class ServerInfoQueryTest : public ::testing::Test
{
protected:
    // Starts the stand-in with the options on free ports.
    void serve(const QStringList& options)
    {
        ASSERT_TRUE(service.start(QStringList{"--version-port", "0", "--banner-port", "0"} + options));
    }
    ServerInfoQuery query(int timeoutMs = 3000)
    {
        return ServerInfoQuery(QStringLiteral("127.0.0.1"), quint16(service.versionPort()), timeoutMs);
    }

    UdpServiceProcess service;
};

TEST(ServerInfoAnswerTest, ItemsSplitAtTheFirstHashAndKeepEmptyItems)
{
    EXPECT_EQ(parseVersionList("1001#3.0.1,1002#3.0.2"),
              (Pairs{{"1001", "3.0.1"}, {"1002", "3.0.2"}}));
    EXPECT_EQ(parseVersionList("3,4"), (Pairs{{"3", ""}, {"4", ""}}));
    EXPECT_EQ(parseVersionList("5#a#b"), (Pairs{{"5", "a#b"}}));
    EXPECT_EQ(parseVersionList(",#x,"), (Pairs{{"", ""}, {"", "x"}, {"", ""}}));
    EXPECT_EQ(parseVersionList(""), (Pairs{{"", ""}}));
}

TEST_F(ServerInfoQueryTest, ChannelPicksItsItemAndTheNewsIsTakenEvenWithoutOne)
{
    serve({"--versions", "1001#3.0.1,1002#3.0.2", "--news", "Neuigkeiten <b>grün</b>"});
    ServerInfoQuery q = query();
    int retries = 0;
    const auto never = [&] { ++retries; return false; };

    QString news;
    EXPECT_EQ(queryLatestVersionWith(q, 1, news, never), (QPair<QString, QString>("1002", "3.0.2")));
    EXPECT_EQ(news, QString::fromUtf8("Neuigkeiten <b>grün</b>"));

    news.clear();
    EXPECT_EQ(queryLatestVersionWith(q, 2, news, never), (QPair<QString, QString>()));
    EXPECT_EQ(news, QString::fromUtf8("Neuigkeiten <b>grün</b>"));
    EXPECT_EQ(retries, 0);
    // Each exchange asks both questions.
    EXPECT_TRUE(service.waitForRequests("version", 2));
    EXPECT_TRUE(service.waitForRequests("news", 2));
}

TEST_F(ServerInfoQueryTest, SilentServiceFailsEachAttemptAndRetryRepeatsBothRequests)
{
    serve({"--versions", "7#seven", "--ignore", "2", "--ignore-news", "1"});
    ServerInfoQuery q = query(shortTimeoutMs);
    int asked = 0;
    QString news = "from the command line";
    // Attempt 1: no version answer; attempt 2: no version answer; attempt 3: version answered,
    // news not; attempt 4 would succeed but the user gives up after the third failure.
    const auto retryTwice = [&] { return ++asked < 3; };
    EXPECT_EQ(queryLatestVersionWith(q, 0, news, retryTwice), (QPair<QString, QString>()));
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(news, "from the command line");
    EXPECT_EQ(service.requests("version"), 3);
    EXPECT_EQ(service.requests("news"), 1);
}

TEST_F(ServerInfoQueryTest, RetryAfterALateFailureDoesNotKeepTheFormerAnswers)
{
    serve({"--versions", "11#a,12#b,13#c", "--news", "n", "--ignore-news", "1"});
    ServerInfoQuery q = query(shortTimeoutMs);
    EXPECT_FALSE(q.queryServerInfo());
    EXPECT_TRUE(q.entries.isEmpty());
    EXPECT_TRUE(q.newsText.isEmpty());

    int asked = 0;
    QString news;
    const auto retry = [&] { ++asked; return true; };
    EXPECT_EQ(queryLatestVersionWith(q, 2, news, retry), (QPair<QString, QString>("13", "c")));
    EXPECT_EQ(q.entries.size(), 3);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(news, "n");
}

TEST_F(ServerInfoQueryTest, AnswersFromAnotherAddressAreIgnored)
{
    {
        serve({"--versions", "21#true", "--news", "true news", "--mode", "foreign-first"});
        ServerInfoQuery q = query();
        ASSERT_TRUE(q.queryServerInfo());
        EXPECT_EQ(q.entries, (Pairs{{"21", "true"}}));
        EXPECT_EQ(q.newsText, "true news");
        service.stop();
    }
    serve({"--versions", "21#true", "--mode", "foreign"});
    ServerInfoQuery q = query(shortTimeoutMs);
    EXPECT_FALSE(q.queryServerInfo());
    EXPECT_TRUE(q.entries.isEmpty());
}

TEST_F(ServerInfoQueryTest, AnswersAreCutAtTheirBufferAndAtTheFirstNul)
{
    const QString folder = testsupport::makeTempFolder("answers");
    const QByteArray exact(4095, 'n');
    ASSERT_TRUE(testsupport::writeFile(folder + "/exact", exact));
    ASSERT_TRUE(testsupport::writeFile(folder + "/long", QByteArray(5000, 'x')));
    ASSERT_TRUE(testsupport::writeFile(folder + "/nul", QByteArray("before\0after", 12)));
    const QString longVersions = "9#" + QString(600, 'v');

    for (const char* name : {"exact", "long", "nul"}) {
        SCOPED_TRACE(name);
        serve({"--versions", longVersions, "--news-file", folder + "/" + name});
        ServerInfoQuery q = query();
        ASSERT_TRUE(q.queryServerInfo());
        ASSERT_EQ(q.entries.size(), 1);
        EXPECT_EQ(q.entries[0].first, "9");
        EXPECT_EQ(q.entries[0].second, QString(511 - 2, 'v'));
        if (QByteArray(name) == "exact")
            EXPECT_EQ(q.newsText, QString::fromLatin1(exact));
        else if (QByteArray(name) == "long")
            EXPECT_EQ(q.newsText, QString(4095, 'x'));
        else
            EXPECT_EQ(q.newsText, "before");
        service.stop();
    }
}

} // namespace
