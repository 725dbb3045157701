// The engine's part of the banner: fetching the image that the banner service names, against the
// fault-injecting HTTP server. The size limit counts what is announced and what arrives; only web
// addresses are fetched; one image at a time. Then the whole road in the window: the banner
// service on its own port (this program runs in a network namespace of its own), the image, the
// news ticker and "View Changes".
#include "changelogviewer.h"
#include "configuration.h"
#include "mainwindow.h"
#include "newsbanner.h"
#include "programfolder.h"
#include "testservers.h"
#include "testsupport.h"
#include "udpservice.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QBuffer>
#include <QImage>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <memory>

using testservers::ServerProcess;
using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

class BannerImageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setProgramFolderForTesting(makeTempFolder("program"));
        root = makeTempFolder("images");
        QImage image(468, 60, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(image.save(&buffer, "PNG"));
        ASSERT_TRUE(writeFile(root + "/banner.png", png));
        ASSERT_TRUE(writeFile(root + "/limit.bin", QByteArray(int(UpdateEngine::maxBannerBytes), 'l')));
        ASSERT_TRUE(writeFile(root + "/over.bin", QByteArray(int(UpdateEngine::maxBannerBytes) + 1, 'o')));
        ASSERT_TRUE(server.startFaultServer(root));
        engine.reset(new UpdateEngine(&config, nullptr));
        found.reset(new QSignalSpy(engine.get(), &UpdateEngine::bannerFound));
    }
    void TearDown() override
    {
        found.reset();
        engine.reset();
        setProgramFolderForTesting(QString());
    }

    // Hands the engine an answer of the banner service, as the query would.
    void answer(const QString& image, const QString& click = QStringLiteral("https://click.example/"))
    {
        ASSERT_TRUE(QMetaObject::invokeMethod(engine.get(), "onBannerFound", Q_ARG(QString, image),
                                              Q_ARG(QString, click)));
    }
    // Waits until the download the engine started (if any) has ended.
    bool waitForEnd() { return waitUntil([&] { return !engine->isFetchingBanner(); }, 20000); }
    int requests()
    {
        int count = -1, maxActive = 0;
        server.stats(&count, &maxActive);
        return count;
    }

    Configuration config;
    QString root;
    QByteArray png;
    ServerProcess server;
    std::unique_ptr<UpdateEngine> engine;
    std::unique_ptr<QSignalSpy> found;
};

TEST_F(BannerImageTest, ImageArrivesWithItsClickAddress)
{
    answer(server.url("/ok/banner.png"), "https://www.example.com/offer?id=1");
    EXPECT_TRUE(engine->isFetchingBanner());
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    EXPECT_EQ(found->at(0).at(0).toByteArray(), png);
    EXPECT_EQ(found->at(0).at(1).toString(), "https://www.example.com/offer?id=1");
    EXPECT_FALSE(engine->isFetchingBanner());
}

TEST_F(BannerImageTest, LimitHoldsForAnnouncedAndForReceivedBytes)
{
    // Exactly the limit passes, with and without Content-Length.
    for (const char* path : {"/ok/limit.bin", "/nolength/limit.bin"}) {
        SCOPED_TRACE(path);
        found->clear();
        answer(server.url(path));
        ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
        EXPECT_EQ(found->at(0).at(0).toByteArray().size(), UpdateEngine::maxBannerBytes);
    }
    // One byte more is dropped, announced or not (extra: the limit and ten bytes more); and a body
    // that never ends is cut off rather than filling the memory.
    for (const char* path : {"/ok/over.bin", "/nolength/over.bin", "/extra10/limit.bin", "/endless/banner.png"}) {
        SCOPED_TRACE(path);
        found->clear();
        answer(server.url(path));
        ASSERT_TRUE(waitForEnd());
        testsupport::drainEvents();
        EXPECT_EQ(found->count(), 0);
    }
}

TEST_F(BannerImageTest, OnlyWebAddressesAreFetched)
{
    ASSERT_TRUE(writeFile(root + "/secret.txt", "local file"));
    for (const QString& address : {root + "/secret.txt", "file://" + root + "/secret.txt",
                                  QString("data:image/png;base64,") + png.toBase64(), QString("ftp://127.0.0.1/x"),
                                  QString("not a url at all ::"), QString()}) {
        SCOPED_TRACE(address.left(60).toStdString());
        answer(address);
        EXPECT_FALSE(engine->isFetchingBanner());
    }
    testsupport::drainEvents();
    EXPECT_EQ(found->count(), 0);
    EXPECT_EQ(requests(), 0);
}

TEST_F(BannerImageTest, SecondAnswerDuringADownloadIsIgnored)
{
    answer(server.url("/slow100/banner.png"), "https://first.example/");
    answer(server.url("/ok/limit.bin"), "https://second.example/");
    ASSERT_TRUE(waitUntil([&] { return found->count() == 1; }));
    testsupport::drainEvents();
    ASSERT_EQ(found->count(), 1);
    EXPECT_EQ(found->at(0).at(0).toByteArray(), png);
    EXPECT_EQ(found->at(0).at(1).toString(), "https://first.example/");
    EXPECT_EQ(requests(), 1);

    // After the first has ended, the next answer is fetched again.
    answer(server.url("/ok/banner.png"), "https://third.example/");
    ASSERT_TRUE(waitUntil([&] { return found->count() == 2; }));
    EXPECT_EQ(found->at(1).at(1).toString(), "https://third.example/");
}

TEST_F(BannerImageTest, WindowShowsBannerNewsAndChangeLogFromTheLocalServices)
{
    qputenv("VXM_UPDATE_NO_DIALOGS", "1");
    ASSERT_TRUE(writeFile(root + "/4711/changelog_client.txt", "Version 4711\n- the banner works\n"));
    ASSERT_TRUE(writeFile(QString(programFolder() + "/mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=local\n[local]\nurl=" + server.url("/ok").toUtf8() + "\n"));
    // The banner service on its real port, as the program asks it.
    testservers::UdpServiceProcess service;
    ASSERT_TRUE(service.start({"--version-port", "0", "--banner",
                               server.url("/ok/banner.png") + ",https://www.example.com/offer"}));
    ASSERT_EQ(service.bannerPort(), 2009);

    config.version = 4711;
    MainWindow window(&config);
    window.setNewsText("<!--URL=https://www.example.com/news-->Voxmere 3.6.1 is out");
    window.updateHeaderText();
    window.show();

    auto* banner = window.findChild<UrlClickLabel*>("banner");
    ASSERT_TRUE(waitUntil([&] { return !banner->pixmap(Qt::ReturnByValue).isNull(); }));
    EXPECT_EQ(banner->getUrl(), "https://www.example.com/offer");
    EXPECT_EQ(banner->toolTip(), "Click to open \"https://www.example.com\"");
    EXPECT_EQ(service.requests("banner"), 1);

    auto* news = window.findChild<NewsBanner*>("newsBanner");
    EXPECT_EQ(news->clickAddress(), "https://www.example.com/news");
    const qreal start = news->offset();
    ASSERT_TRUE(waitUntil([&] { return news->offset() < start - 5; }));

    window.findChild<QPushButton*>("changelogButton")->click();
    ASSERT_NE(ChangeLogViewer::instance(), nullptr);
    auto* text = ChangeLogViewer::instance()->findChild<QTextEdit*>("changeLogTextEdit");
    ASSERT_TRUE(waitUntil([&] { return text->toPlainText().startsWith("Version 4711"); }));
    delete ChangeLogViewer::instance();
}

} // namespace
