// The change-log viewer (offscreen) against the fault-injecting HTTP server: where its mirrors
// come from, what counts as a change log, the bound on a mirror's silence, the texts it shows and
// the reasons it gives, its size, and that a second "View Changes" only raises it.
#include "changelogviewer.h"
#include "programfolder.h"
#include "testservers.h"
#include "testsupport.h"

#include <QFontMetrics>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>

#include <gtest/gtest.h>

using testservers::ServerProcess;
using testsupport::makeTempFolder;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

const QString version = QStringLiteral("1234");
const QByteArray changeLog = "Version 1234\n<b>not bold</b> & friends\n\n- fixed the thing\n";

class ChangeLogViewerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        programDir = makeTempFolder("program");
        setProgramFolderForTesting(programDir);
        serverRoot = makeTempFolder("mirror");
        ASSERT_TRUE(writeFile(serverRoot + "/1234/changelog_client.txt", changeLog));
        ASSERT_TRUE(writeFile(serverRoot + "/moved/1234/changelog_client.txt",
                              "<html><body><h1>Moved</h1>The document has moved <a href=\"/x\">here</a>."
                              "</body></html>\n"));
        ASSERT_TRUE(writeFile(serverRoot + "/other/1234/changelog_client.txt", "the other mirror's log\n"));
        ASSERT_TRUE(server.startFaultServer(serverRoot));
        ChangeLogViewer::setMirrorTimeoutForTesting(0);
    }
    void TearDown() override
    {
        if (ChangeLogViewer::instance())
            delete ChangeLogViewer::instance();
        ChangeLogViewer::setMirrorTimeoutForTesting(0);
        setProgramFolderForTesting(QString());
    }

    void writeMirrorsIni(const QStringList& urls)
    {
        QSettings ini(programDir + "/mirrors.ini", QSettings::IniFormat);
        ini.beginWriteArray("mirrors");
        for (int i = 0; i < urls.size(); ++i) {
            ini.setArrayIndex(i);
            ini.setValue("mirror", QString("m%1").arg(i));
        }
        ini.endArray();
        for (int i = 0; i < urls.size(); ++i)
            ini.setValue(QString("m%1/url").arg(i), urls[i]);
    }
    void writeAlpha(const QString& url)
    {
        QSettings ini(programDir + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", url);
    }

    QTextEdit* textEdit() const
    {
        return ChangeLogViewer::instance() ? ChangeLogViewer::instance()->findChild<QTextEdit*>("changeLogTextEdit")
                                           : nullptr;
    }
    QString shown() const { return textEdit() ? textEdit()->toPlainText() : QString("<no viewer>"); }
    // Opens the viewer and waits until it shows something else than "Loading...".
    QString load(int timeoutMs = 15000)
    {
        ChangeLogViewer::showChangeLog(nullptr, version);
        waitUntil([&] { return shown() != "Loading..."; }, timeoutMs);
        return shown();
    }
    int requests()
    {
        int count = -1, maxActive = 0;
        server.stats(&count, &maxActive);
        return count;
    }

    QString programDir;
    QString serverRoot;
    ServerProcess server;
};

TEST_F(ChangeLogViewerTest, LoadsFromAMirrorAsPlainText)
{
    writeMirrorsIni({server.url("/ok")});
    ChangeLogViewer::showChangeLog(nullptr, version);
    ASSERT_NE(ChangeLogViewer::instance(), nullptr);
    EXPECT_EQ(shown(), "Loading...");
    EXPECT_EQ(ChangeLogViewer::instance()->objectName(), "ChangeLogViewer");
    EXPECT_EQ(ChangeLogViewer::instance()->windowTitle(), "Changelog");
    EXPECT_TRUE(textEdit()->isReadOnly());
    EXPECT_EQ(textEdit()->lineWrapMode(), QTextEdit::NoWrap);
    // The type-writer face, measured: fontconfig calls some fixed-pitch faces "dual", which Qt does
    // not count as fixed pitch.
    const QFont font = textEdit()->font();
    EXPECT_EQ(font.styleHint(), QFont::TypeWriter);
    EXPECT_EQ(font.family(), font.defaultFamily());
    EXPECT_EQ(QFontMetrics(font).horizontalAdvance("iiii"), QFontMetrics(font).horizontalAdvance("WWWW"));
    ASSERT_TRUE(waitUntil([&] { return shown() != "Loading..."; }));
    // Markup in the log is shown as it stands.
    EXPECT_EQ(shown(), QString::fromUtf8(changeLog));
}

TEST_F(ChangeLogViewerTest, AlphaAddressIsTheOnlyMirror)
{
    writeMirrorsIni({server.url("/ok/other")});
    writeAlpha(server.url("/ok"));
    EXPECT_EQ(load(), QString::fromUtf8(changeLog));
    EXPECT_EQ(requests(), 1);
    delete ChangeLogViewer::instance();

    // A failing alpha address is not replaced by the mirrors of mirrors.ini.
    writeAlpha(server.url("/404"));
    EXPECT_EQ(load().section('\n', 0, 0), "Failed to load changelog.");
    EXPECT_EQ(requests(), 2);
    delete ChangeLogViewer::instance();

    // An empty alpha value leaves the choice to mirrors.ini.
    writeAlpha(QString());
    EXPECT_EQ(load(), "the other mirror's log\n");
}

TEST_F(ChangeLogViewerTest, BaseEndingInSlashGetsNoSecondSlash)
{
    // The stand-in serves nothing for a path with "//" in it.
    writeMirrorsIni({server.url("/ok/")});
    EXPECT_EQ(load(), QString::fromUtf8(changeLog));
}

TEST_F(ChangeLogViewerTest, FailedMirrorsAreSkippedUntilNoneIsLeft)
{
    // Every way a mirror can fail, then one good mirror, in random order: the good one wins and
    // no mirror is asked twice.
    writeMirrorsIni({server.url("/404"), server.url("/401"), server.url("/301"), server.url("/ok/moved"),
                     server.url("/ok")});
    EXPECT_EQ(load(), QString::fromUtf8(changeLog));
    EXPECT_LE(requests(), 5);
    delete ChangeLogViewer::instance();

    ASSERT_TRUE(server.resetStats());
    writeMirrorsIni({server.url("/404"), server.url("/401"), server.url("/301"), server.url("/ok/moved")});
    // Each mirror with its reason, below the message.
    const QStringList lines = load().split('\n');
    EXPECT_EQ(requests(), 4);
    ASSERT_EQ(lines.size(), 6) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.mid(0, 2), QStringList({"Failed to load changelog.", ""}));
    for (const char* mirror : {"/404", "/401", "/301", "/ok/moved"})
        EXPECT_EQ(lines.filter(server.url(mirror) + "/1234/changelog_client.txt: ").size(), 1) << mirror;
    EXPECT_EQ(lines.filter("document has moved").size(), 1);
}

TEST_F(ChangeLogViewerTest, NoMirrorAtAll)
{
    EXPECT_EQ(load(), "Failed to load changelog.");
    delete ChangeLogViewer::instance();
    writeMirrorsIni({QString()});
    EXPECT_EQ(load(), "Failed to load changelog.");
}

TEST_F(ChangeLogViewerTest, SilentMirrorIsAbandonedAtTheBound)
{
    // Wide enough that a loaded desk's good mirror never meets it.
    ChangeLogViewer::setMirrorTimeoutForTesting(2000);
    writeMirrorsIni({server.url("/stall5"), server.url("/ok/other")});
    EXPECT_EQ(load(), "the other mirror's log\n");
    delete ChangeLogViewer::instance();

    writeMirrorsIni({server.url("/stall5")});
    EXPECT_EQ(load(), "Failed to load changelog.\n\n" + server.url("/stall5") +
                          "/1234/changelog_client.txt: nothing received for 2 s");
    delete ChangeLogViewer::instance();

    // A slow mirror that keeps delivering is kept although the whole log takes longer than the bound.
    ASSERT_GT(changeLog.size() * 50, 2000);
    writeMirrorsIni({server.url("/trickle50")});
    EXPECT_EQ(load(), QString::fromUtf8(changeLog));
}

TEST_F(ChangeLogViewerTest, OversizedChangeLogIsRefused)
{
    const QByteArray huge(int(ChangeLogViewer::maxChangeLogBytes) + 1, 'x');
    ASSERT_TRUE(writeFile(serverRoot + "/huge/1234/changelog_client.txt", huge));
    for (const QString mode : {"/ok/huge", "/nolength/huge"}) {
        SCOPED_TRACE(mode.toStdString());
        writeMirrorsIni({server.url(mode)});
        EXPECT_EQ(load(), QString("Failed to load changelog.\n\n%1/1234/changelog_client.txt: more than %2 bytes")
                              .arg(server.url(mode)).arg(ChangeLogViewer::maxChangeLogBytes));
        delete ChangeLogViewer::instance();
    }
}

TEST_F(ChangeLogViewerTest, SecondShowRaisesWithoutReloading)
{
    writeMirrorsIni({server.url("/ok")});
    ASSERT_EQ(load(), QString::fromUtf8(changeLog));
    ChangeLogViewer* first = ChangeLogViewer::instance();
    ChangeLogViewer::showChangeLog(nullptr, "999");
    EXPECT_EQ(ChangeLogViewer::instance(), first);
    EXPECT_EQ(shown(), QString::fromUtf8(changeLog));
    EXPECT_TRUE(first->isVisible());
    testsupport::drainEvents();
    EXPECT_EQ(requests(), 1);

    // Closing deletes it; the next one loads afresh.
    first->close();
    ASSERT_TRUE(waitUntil([] { return ChangeLogViewer::instance() == nullptr; }));
    EXPECT_EQ(load(), QString::fromUtf8(changeLog));
    EXPECT_EQ(requests(), 2);
}

TEST_F(ChangeLogViewerTest, WindowFollowsTheWidestLine)
{
    writeMirrorsIni({server.url("/ok")});
    ASSERT_EQ(load(), QString::fromUtf8(changeLog));
    ChangeLogViewer* viewer = ChangeLogViewer::instance();
    const QRect available = viewer->screen()->availableGeometry();
    const QFontMetrics metrics = textEdit()->fontMetrics();
    int widest = 0;
    for (const QString& line : QString::fromUtf8(changeLog).split('\n'))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    EXPECT_EQ(viewer->width(), qMin(widest + 50, available.width()));
    EXPECT_EQ(viewer->height(), qMin(500, available.height()));
    delete viewer;

    // A line wider than the screen: the window stops at the available width.
    ASSERT_TRUE(writeFile(serverRoot + "/wide/1234/changelog_client.txt", QByteArray(3000, 'w') + "\n"));
    writeMirrorsIni({server.url("/ok/wide")});
    ASSERT_EQ(load().size(), 3001);
    EXPECT_EQ(ChangeLogViewer::instance()->width(), ChangeLogViewer::instance()->screen()->availableGeometry().width());
    delete ChangeLogViewer::instance();

    // An empty change log leaves the size as it was.
    ASSERT_TRUE(writeFile(serverRoot + "/empty/1234/changelog_client.txt", ""));
    writeMirrorsIni({server.url("/ok/empty")});
    ChangeLogViewer::showChangeLog(nullptr, version);
    const QSize before = ChangeLogViewer::instance()->size();
    ASSERT_TRUE(waitUntil([&] { return shown().isEmpty(); }));
    EXPECT_EQ(ChangeLogViewer::instance()->size(), before);
}

} // namespace
