// The banner query against the UDP stand-in of the update server (free ports, short resend
// interval): good and malformed answers, silence and the one resend, answers from strangers.
#include "banner.h"
#include "testsupport.h"
#include "udpservice.h"

#include <QSignalSpy>
#include <QUdpSocket>

#include <gtest/gtest.h>

using testservers::UdpServiceProcess;
using testsupport::waitUntil;

namespace {

constexpr int shortResendMs = 150;

class BannerTest : public ::testing::Test
{
protected:
    // Starts the stand-in that answers `answer` (plus further options) and a query against it.
    void startQuery(const QString& answer, const QStringList& options = {}, int resendMs = 5000)
    {
        service.reset(new UdpServiceProcess);
        ASSERT_TRUE(service->start(QStringList{"--version-port", "0", "--banner-port", "0", "--banner", answer} +
                                   options));
        banner.reset(new Banner(nullptr, QStringLiteral("127.0.0.1"), quint16(service->bannerPort()), resendMs));
        found.reset(new QSignalSpy(banner.get(), &Banner::bannerFound));
        banner->resolveHost();
    }

    // Waits until the query has ended (answered, ignored or given up).
    bool waitUntilDone() { return waitUntil([&] { return requests() > 0 && !banner->isWaiting(); }); }
    int requests() { return service->requests("banner"); }
    // Waits for the requests with the event loop running (the query's timer must fire meanwhile).
    bool waitForRequests(int count, int timeoutMs = 10000)
    {
        return waitUntil([&] { return requests() >= count; }, timeoutMs);
    }

    std::unique_ptr<UdpServiceProcess> service;
    std::unique_ptr<Banner> banner;
    std::unique_ptr<QSignalSpy> found;
};

TEST_F(BannerTest, WellFormedAnswerGivesBothAddresses)
{
    startQuery("http://127.0.0.1/banner.png,https://example.com/offer?id=1");
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    EXPECT_EQ(found->at(0).at(0).toString(), "http://127.0.0.1/banner.png");
    EXPECT_EQ(found->at(0).at(1).toString(), "https://example.com/offer?id=1");
    EXPECT_FALSE(banner->isWaiting());
    EXPECT_EQ(requests(), 1);
    EXPECT_EQ(service->requests("unknown"), 0);
}

TEST_F(BannerTest, EmptyPartsCount)
{
    startQuery(",x");
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    EXPECT_EQ(found->at(0).at(0).toString(), "");
    EXPECT_EQ(found->at(0).at(1).toString(), "x");
}

TEST_F(BannerTest, MalformedAnswersEndTheQuerySilently)
{
    for (const QString answer : {"no comma at all", "a,b,c"}) {
        SCOPED_TRACE(answer.toStdString());
        startQuery(answer);
        ASSERT_TRUE(waitUntilDone());
        testsupport::drainEvents();
        EXPECT_EQ(found->count(), 0);
        EXPECT_EQ(requests(), 1) << "no request after an answer";
    }
}

TEST_F(BannerTest, SilentServiceGetsOneResendThenTheQueryGivesUp)
{
    startQuery("a,b", {"--mode", "silent"}, shortResendMs);
    ASSERT_TRUE(waitForRequests(2));
    ASSERT_TRUE(waitUntil([&] { return !banner->isWaiting(); }));
    EXPECT_FALSE(waitForRequests(3, 3 * shortResendMs));
    EXPECT_EQ(found->count(), 0);
}

TEST_F(BannerTest, AnswerToTheResendIsTaken)
{
    startQuery("img,click", {"--ignore", "1"}, shortResendMs);
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    EXPECT_EQ(found->at(0).at(0).toString(), "img");
    EXPECT_EQ(requests(), 2);
    EXPECT_FALSE(banner->isWaiting());
}

TEST_F(BannerTest, AnswersFromAnotherAddressAreDropped)
{
    // Only a stranger answers: nothing is taken, the query resends and gives up.
    startQuery("http://evil.example/x.png,http://evil.example/", {"--mode", "foreign"}, shortResendMs);
    ASSERT_TRUE(waitForRequests(2));
    ASSERT_TRUE(waitUntil([&] { return !banner->isWaiting(); }));
    testsupport::drainEvents();
    EXPECT_EQ(found->count(), 0);
}

TEST_F(BannerTest, ForgedAnswerBeforeTheTrueOneIsDropped)
{
    startQuery("true-image,true-click", {"--mode", "foreign-first"});
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    testsupport::drainEvents();
    ASSERT_EQ(found->count(), 1);
    EXPECT_EQ(found->at(0).at(0).toString(), "true-image");
    EXPECT_EQ(found->at(0).at(1).toString(), "true-click");
}

// The service played in-process: an answer from the right address but another port is no answer.
TEST(BannerPeerTest, AnswerFromAnotherPortIsDropped)
{
    QUdpSocket service, stranger;
    ASSERT_TRUE(service.bind(QHostAddress(QHostAddress::LocalHost), 0));
    ASSERT_TRUE(stranger.bind(QHostAddress(QHostAddress::LocalHost), 0));
    Banner banner(nullptr, QStringLiteral("127.0.0.1"), service.localPort());
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.resolveHost();

    ASSERT_TRUE(waitUntil([&] { return service.hasPendingDatagrams(); }));
    QByteArray request(int(service.pendingDatagramSize()), '\0');
    QHostAddress from;
    quint16 fromPort = 0;
    service.readDatagram(request.data(), request.size(), &from, &fromPort);
    EXPECT_EQ(request, QByteArray("\x01\x01", 2));

    stranger.writeDatagram(QByteArray("forged,forged"), from, fromPort);
    service.writeDatagram(QByteArray("real,answer"), from, fromPort);
    ASSERT_TRUE(waitUntil([&] { return found.count() == 1; }));
    testsupport::drainEvents();
    ASSERT_EQ(found.count(), 1);
    EXPECT_EQ(found.at(0).at(0).toString(), "real");

    // A datagram longer than 1024 bytes is cut there.
    Banner second(nullptr, QStringLiteral("127.0.0.1"), service.localPort());
    QSignalSpy secondFound(&second, &Banner::bannerFound);
    second.resolveHost();
    ASSERT_TRUE(waitUntil([&] { return service.hasPendingDatagrams(); }));
    service.readDatagram(request.data(), request.size(), &from, &fromPort);
    service.writeDatagram(QByteArray("a,") + QByteArray(2000, 'b'), from, fromPort);
    ASSERT_TRUE(waitUntil([&] { return secondFound.count() == 1; }));
    EXPECT_EQ(secondFound.at(0).at(1).toString().size(), 1022);
}

} // namespace
