// The main window driven through a stand-in engine (offscreen): the form, the start button's three
// roles, the counters, the close confirmation, the restart after a failure and the start of the
// client script, by hand and in an unattended run.
#include "changelogviewer.h"
#include "messagebox.h"
#include "configuration.h"
#include "mainwindow.h"
#include "newsbanner.h"
#include "programfolder.h"
#include "testsupport.h"
#include "updateengine.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

// A tool tip or label text as the user sees it.
QString shownText(const QString& text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// Plays the update engine: counts the window's calls and answers as the test says.
class StandInEngine : public UpdateEngine
{
public:
    explicit StandInEngine(Configuration* config) : UpdateEngine(config, nullptr) {}

    // The banner service is not asked here (its fixed port belongs to the namespace tests).
    void startBannerLookup() override {}

    bool isRunning() const override { return engineState == Prepared || engineState == Running; }
    bool prepareUpdate() override
    {
        ++prepares;
        if (!prepareSucceeds)
            return false;
        engineState = Prepared;
        return true;
    }
    bool startUpdate() override
    {
        ++starts;
        engineState = Running;
        return true;
    }
    void cancelUpdate() override { ++cancels; }
    void releaseTask() override
    {
        ++releases;
        engineState = Idle;
    }
    void finishRun()
    {
        engineState = Finished;
        emit updateFinished();
    }
    void failRun()
    {
        engineState = Cancelled;
        emit updateCanceled();
    }

    bool prepareSucceeds = true;
    int prepares = 0;
    int starts = 0;
    int cancels = 0;
    int releases = 0;
};

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("VXM_UPDATE_NO_DIALOGS", "1");
        // A blank in the path: the client script must still start.
        installation = makeTempFolder("client installation");
        setProgramFolderForTesting(installation);
        marker = installation + "/client-started";
        ASSERT_TRUE(writeFile(installation + "/vxmclient_runscript.sh",
                              "#!/bin/sh\necho started > \"$(dirname \"$0\")/client-started\"\n"));
        QFile::setPermissions(installation + "/vxmclient_runscript.sh",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        config.version = 4711;
        config.displayName = "3.6.1";
    }
    void TearDown() override
    {
        delete window;
        setProgramFolderForTesting(QString());
    }
    void open()
    {
        engine = new StandInEngine(&config);
        window = new MainWindow(&config, engine);
        window->updateHeaderText();
        window->show();
    }
    template <typename T> T* child(const char* name) { return window->findChild<T*>(QLatin1String(name)); }
    QPushButton* startButton() { return child<QPushButton>("startButton"); }
    QString log() { return child<QTextEdit>("outputTextEdit")->toPlainText(); }

    Configuration config;
    StandInEngine* engine = nullptr;
    MainWindow* window = nullptr;
    QString installation;
    QString marker;
};

TEST_F(MainWindowTest, FormStartsWithItsTextsAndTheLogAndCountersHidden)
{
    open();
    EXPECT_EQ(window->windowTitle(), "Voxmere 3 Client Update");
    EXPECT_EQ(startButton()->text(), "Start Update");
    EXPECT_TRUE(startButton()->isDefault());
    EXPECT_TRUE(startButton()->isEnabled());
    EXPECT_EQ(child<QPushButton>("detailsButton")->text(), "Details");
    EXPECT_EQ(child<QPushButton>("changelogButton")->text(), "View Changes");
    EXPECT_EQ(child<QProgressBar>("totalProgressBar")->maximum(), 1000);
    EXPECT_FALSE(child<QTextEdit>("outputTextEdit")->isVisible());
    EXPECT_FALSE(child<QLabel>("downloadSizeLabel")->isVisible());
    EXPECT_FALSE(child<QLabel>("downloadSpeedLabel")->isVisible());
    EXPECT_FALSE(child<QLabel>("voxmereLabel")->pixmap(Qt::ReturnByValue).isNull());
    for (const char* name : {"versionLabel", "banner", "copyrightLabel"})
        EXPECT_NE(child<QLabel>(name), nullptr) << name;
    EXPECT_NE(child<NewsBanner>("newsBanner"), nullptr);
    const QString header = child<QLabel>("versionLabel")->text();
    EXPECT_TRUE(header.contains("Update to Voxmere 3.6.1")) << header.toStdString();
    EXPECT_TRUE(header.contains("<strong>Stable channel</strong>")) << header.toStdString();

    // Details shows the log; the scroll to the newest line follows queued. The window grows by it
    // (the contents scroll only where the screen is too small).
    const int before = window->height();
    child<QPushButton>("detailsButton")->click();
    EXPECT_TRUE(child<QTextEdit>("outputTextEdit")->isVisible());
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return window->height() >= before + child<QTextEdit>("outputTextEdit")->height();
    })) << before << " " << window->height();
    child<QPushButton>("detailsButton")->click();
    EXPECT_FALSE(child<QTextEdit>("outputTextEdit")->isVisible());
}

TEST_F(MainWindowTest, StartPreparesAndStartsOnceAndAFailedPreparationLeavesTheButton)
{
    open();
    engine->prepareSucceeds = false;
    startButton()->click();
    EXPECT_EQ(engine->prepares, 1);
    EXPECT_EQ(engine->starts, 0);
    EXPECT_TRUE(startButton()->isEnabled());

    engine->prepareSucceeds = true;
    startButton()->click();
    EXPECT_EQ(engine->starts, 1);
    EXPECT_FALSE(startButton()->isEnabled());
    // A second press (say the unattended timer after a click) finds the run going.
    window->onAutoStartUpdate();
    EXPECT_EQ(engine->prepares, 2);
    EXPECT_EQ(engine->starts, 1);
}

TEST_F(MainWindowTest, ProgressAndCountersShowTruncatedValues)
{
    open();
    emit engine->updateProgress(0.9996);
    EXPECT_EQ(child<QProgressBar>("totalProgressBar")->value(), 999);
    emit engine->downloadProgress(1999, 2500, 999, true);
    EXPECT_TRUE(child<QLabel>("downloadSizeLabel")->isVisible());
    EXPECT_TRUE(child<QLabel>("downloadSizeLabel")->text().contains(">1 KB / 2 KB<"));
    EXPECT_TRUE(child<QLabel>("downloadSpeedLabel")->text().contains(">0 KB/s<"));
    emit engine->downloadProgress(0, 0, 0, false);
    EXPECT_FALSE(child<QLabel>("downloadSizeLabel")->isVisible());
    EXPECT_FALSE(child<QLabel>("downloadSpeedLabel")->isVisible());
}

TEST_F(MainWindowTest, FailedRunOffersRestartAndKeepsTheLog)
{
    open();
    startButton()->click();
    emit engine->message("Starting update process");
    emit engine->updateProgress(0.3);
    engine->failRun();
    EXPECT_EQ(engine->releases, 1);
    EXPECT_EQ(startButton()->text(), "Restart");
    EXPECT_TRUE(startButton()->isEnabled());
    EXPECT_EQ(child<QProgressBar>("totalProgressBar")->value(), 0);
    EXPECT_TRUE(log().endsWith("Starting update process\nUpdate cancelled")) << log().toStdString();

    startButton()->click();
    EXPECT_EQ(engine->prepares, 2);
    EXPECT_EQ(engine->starts, 2);
    EXPECT_TRUE(log().startsWith("Starting update process"));
}

TEST_F(MainWindowTest, FinishedRunStartsTheClientOnThePressAndCloses)
{
    open();
    startButton()->click();
    engine->finishRun();
    EXPECT_EQ(startButton()->text(), "Start Voxmere");
    EXPECT_TRUE(startButton()->isEnabled());
    EXPECT_EQ(window->focusWidget(), startButton());
    EXPECT_FALSE(QFileInfo::exists(marker));

    startButton()->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(marker); }));
}

TEST_F(MainWindowTest, UnattendedRunStartsTheClientByItselfUnlessTheChangeLogIsOpen)
{
    config.autoStart = true;
    open();
    EXPECT_FALSE(startButton()->isEnabled());
    window->onAutoStartUpdate();
    EXPECT_EQ(engine->starts, 1);
    engine->finishRun();
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(marker); }));
    EXPECT_FALSE(window->isVisible());

    // Second window, with the change log open when the run ends: the user decides.
    delete window;
    window = nullptr;
    ASSERT_TRUE(QFile::remove(marker));
    open();
    window->onAutoStartUpdate();
    child<QPushButton>("changelogButton")->click();
    ASSERT_NE(ChangeLogViewer::instance(), nullptr);
    engine->finishRun();
    EXPECT_EQ(startButton()->text(), "Start Voxmere");
    EXPECT_TRUE(startButton()->isEnabled());
    EXPECT_FALSE(waitUntil([&] { return QFileInfo::exists(marker); }, 1500));
    ChangeLogViewer::instance()->close();
    testsupport::drainEvents();
    EXPECT_EQ(ChangeLogViewer::instance(), nullptr);
}

// Texts from outside against every sink of the window: the news ticker, the header, the boxes and
// the log. None may load what it names (an image file beside the test), lay out without end or
// make the window taller than it was. (Before any test that quits the application: after a quit,
// no modal box shows.)
TEST_F(MainWindowTest, TextsFromOutsideAreShownNotObeyed)
{
    const QString folder = makeTempFolder("outside texts");
    QImage image(300, 300, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(folder + "/big.png"));
    QString nested;
    for (int i = 0; i < 40; ++i)
        nested += "<table><tr><td>";
    nested += "deep";
    const QStringList texts = {
        "4711#<img src=\"" + folder + "/big.png\">",
        "<img src=\"file://" + folder + "/big.png\" width=\"400\">",
        nested,
        "<img src=\"x\" width=\"10\" height=\"99999999999\">",
        "<ul><li><ul><li><ul><li><ul><li><ul><li><ul><li><ul><li><ul><li><ul><li><ul><li>list</ul></ul></ul></ul></ul>",
    };
    open();
    auto* news = child<NewsBanner>("newsBanner");
    window->setNewsText("plain news");
    QApplication::processEvents();
    const QSize windowSize = window->size();
    const int lineHeight = news->maximumHeight();
    qunsetenv("VXM_UPDATE_NO_DIALOGS");
    for (const QString& text : texts) {
        SCOPED_TRACE(text.toStdString());
        window->setNewsText(text);
        EXPECT_LE(news->maximumHeight(), lineHeight);
        if (text.contains("big.png")) {
            EXPECT_LT(news->textSize().width(), 300);
        }
        news->grab();
        QApplication::processEvents();
        // The window is never taken past the screen, nor taller than a line of news makes it.
        const QRect screen = window->screen()->availableGeometry();
        EXPECT_LE(window->width(), screen.width());
        EXPECT_LE(window->height(), std::min(screen.height(), windowSize.height() + lineHeight));

        config.displayName = text;
        window->updateHeaderText();
        EXPECT_TRUE(shownText(child<QLabel>("versionLabel")->text()).contains(text));

        Qt::TextFormat boxFormat = Qt::AutoText;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxFormat = box->textFormat();
                box->done(QMessageBox::Ok);
            }
        });
        closer.start(1);
        emit engine->error(text);
        closer.stop();
        EXPECT_EQ(boxFormat, Qt::PlainText);
        EXPECT_TRUE(log().endsWith(text));
        window->setNewsText("plain news");
        config.displayName = "3.6.1";
        window->updateHeaderText();
    }
    qputenv("VXM_UPDATE_NO_DIALOGS", "1");
}

TEST_F(MainWindowTest, ClosingAsksOnlyWhileRunningAndCancelsOnce)
{
    open();
    startButton()->click();
    // The real question: a reflexive Return answers No.
    qunsetenv("VXM_UPDATE_NO_DIALOGS");
    QTimer pressReturn;
    QObject::connect(&pressReturn, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            pressReturn.stop();
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    pressReturn.start(10);
    window->close();
    qputenv("VXM_UPDATE_NO_DIALOGS", "1");
    EXPECT_EQ(engine->cancels, 0);

    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(engine->cancels, 1);
    // Asked and confirmed once: later close requests wait for the run to wind down.
    window->close();
    EXPECT_EQ(engine->cancels, 1);
    engine->failRun();
    // The program quits instead of offering a restart.
    EXPECT_EQ(engine->releases, 0);
    EXPECT_EQ(startButton()->text(), "Start Update");

    // A run that finishes all the same (its files were all replaced when the abort came) quits
    // as well, and offers no client start.
    delete window;
    open();
    startButton()->click();
    window->close();
    engine->finishRun();
    EXPECT_EQ(startButton()->text(), "Start Update");

    delete window;
    open();
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(engine->cancels, 0);
}

TEST_F(MainWindowTest, ClientScriptThatCannotStartIsReported)
{
    open();
    ASSERT_TRUE(QFile::remove(installation + "/vxmclient_runscript.sh"));
    EXPECT_FALSE(window->startClient());
    ASSERT_TRUE(writeFile(installation + "/vxmclient_runscript.sh", "#!/bin/sh\n"));
    QFile::setPermissions(installation + "/vxmclient_runscript.sh", QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(window->startClient());
}

TEST_F(MainWindowTest, BannerTakesOnlyImages)
{
    open();
    auto* banner = child<QLabel>("banner");
    emit engine->bannerFound("not an image", "https://example.com/x");
    EXPECT_TRUE(banner->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_TRUE(banner->toolTip().isEmpty());

    QPixmap image(468, 60);
    image.fill(Qt::darkBlue);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    emit engine->bannerFound(png, "https://www.example.com/offer?id=1");
    EXPECT_FALSE(banner->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(banner->toolTip(), "Click to open \"https://www.example.com\"");
}

TEST_F(MainWindowTest, BannerImageAnnouncingTooManyPixelsIsNotDecoded)
{
    open();
    auto* banner = child<QLabel>("banner");
    // A small PNG whose header announces 16000 x 16000 pixels (its CRC made to match): decoded,
    // it would take a gigabyte.
    QByteArray png = encoded(QImage(1, 1, QImage::Format_RGB32), "PNG");
    ASSERT_EQ(png.mid(12, 4), QByteArray("IHDR"));
    const auto putBigEndian = [&png](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            png[at + i] = char(value >> (24 - 8 * i));
    };
    putBigEndian(16, 16000);
    putBigEndian(20, 16000);
    quint32 crc = 0xffffffff;
    for (int i = 12; i < 29; ++i) {
        crc ^= quint8(png.at(i));
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    putBigEndian(29, ~crc);
    emit engine->bannerFound(png, "https://www.example.com/");
    EXPECT_TRUE(banner->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_TRUE(banner->toolTip().isEmpty());
}

TEST_F(MainWindowTest, ProxyWithoutHostIsShownInTheOpenedLog)
{
    ASSERT_TRUE(writeFile(installation + "/update.ini", "[update]\nproxy=proxy.example:8080\n"));
    window = new MainWindow(&config);
    window->show();
    EXPECT_EQ(window->updateEngine()->network()->proxy().type(), QNetworkProxy::DefaultProxy);
    EXPECT_TRUE(log().contains("'proxy.example:8080' is an invalid proxy specification")) << log().toStdString();
    EXPECT_TRUE(child<QTextEdit>("outputTextEdit")->isVisible());
}

} // namespace
