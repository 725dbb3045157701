// Configuration: command-line forms, update.ini, the session record, the temporary folder and the
// clean-up of self-update leftovers, run on a temporary installation.
#include "configuration.h"
#include "programfolder.h"
#include "testsupport.h"
#include "updaterfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::makeTempFolder;
using testsupport::writeFile;

namespace {

// A configuration whose version service answers as the test says.
class FakeServiceConfiguration : public Configuration
{
public:
    QPair<QString, QString> queryLatestVersion(int askedChannel, QString& news) override
    {
        ++queries;
        this->askedChannel = askedChannel;
        if (!answerVersion.isEmpty())
            news = answerNews;
        return {answerVersion, answerName};
    }
    int queries = 0;
    int askedChannel = -1;
    QString answerVersion = QStringLiteral("4711");
    QString answerName = QStringLiteral("3.6.1");
    QString answerNews = QStringLiteral("service news");
};

class ConfigurationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        installation = makeTempFolder("installation");
        setProgramFolderForTesting(installation);
    }
    void TearDown() override { setProgramFolderForTesting(QString()); }

    void writeUpdateIni(const QByteArray& text) { ASSERT_TRUE(writeFile(installation + "/update.ini", text)); }
    // A new installation for each variant of update.ini: QSettings keeps files it has read in a
    // process-wide cache and may not notice a rewrite of the same size within the same second.
    void freshInstallation()
    {
        installation = makeTempFolder("installation");
        setProgramFolderForTesting(installation);
    }

    struct Outcome
    {
        bool ok;
        QStringList fatal;
    };
    Outcome parse(FakeServiceConfiguration& config, const QStringList& args)
    {
        QSignalSpy fatal(&config, &Configuration::fatalError);
        const bool ok = config.parseCommandLine(QStringList{"update"} + args);
        QStringList texts;
        for (const QList<QVariant>& call : fatal)
            texts << call.at(0).toString();
        return {ok, texts};
    }

    QString installation;
};

TEST_F(ConfigurationTest, FormsWithoutAVersionAskTheService)
{
    {
        FakeServiceConfiguration config;
        const Outcome outcome = parse(config, {});
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(config.queries, 1);
        EXPECT_EQ(config.clientType, "client_linux_amd64");
        EXPECT_EQ(config.version, 4711);
        EXPECT_EQ(config.displayName, "3.6.1");
        EXPECT_EQ(config.newsHtml, "service news");
        EXPECT_FALSE(config.autoStart);
    }
    {
        // A single argument is ignored.
        FakeServiceConfiguration config;
        EXPECT_TRUE(parse(config, {"client_linux_x86"}).ok);
        EXPECT_EQ(config.queries, 1);
        EXPECT_EQ(config.clientType, "client_linux_amd64");
    }
    {
        // "--nouser" alone runs unattended on the service's version.
        FakeServiceConfiguration config;
        EXPECT_TRUE(parse(config, {"--nouser"}).ok);
        EXPECT_EQ(config.queries, 1);
        EXPECT_TRUE(config.autoStart);
        EXPECT_EQ(config.clientType, "client_linux_amd64");
    }
    {
        // With only one further argument, that argument is ignored.
        FakeServiceConfiguration config;
        EXPECT_TRUE(parse(config, {"--nouser", "client_linux_x86"}).ok);
        EXPECT_EQ(config.clientType, "client_linux_amd64");
        EXPECT_EQ(config.queries, 1);
    }
    {
        // The service's news replaces the one from the command line.
        FakeServiceConfiguration config;
        EXPECT_TRUE(parse(config, {"--nouser", "client_linux_x86", "0", "#", "cmdline news"}).ok);
        EXPECT_EQ(config.newsHtml, "service news");
        EXPECT_EQ(config.displayName, "3.6.1");
        EXPECT_EQ(config.clientType, "client_linux_x86");
    }
}

TEST_F(ConfigurationTest, TypeAndVersionFormNeverAsksTheService)
{
    FakeServiceConfiguration config;
    Outcome outcome = parse(config, {"client_linux_x86", "1234"});
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(config.clientType, "client_linux_x86");
    EXPECT_EQ(config.version, 1234);
    EXPECT_FALSE(config.autoStart);

    FakeServiceConfiguration zero;
    outcome = parse(zero, {"client_linux_amd64", "0"});
    EXPECT_TRUE(outcome.ok) << "version 0 is taken as it is in this form";
    EXPECT_EQ(zero.version, 0);
    EXPECT_EQ(zero.queries, 0);

    // The switch is case-sensitive: "--NOUSER 12" is a client type and a version.
    FakeServiceConfiguration upper;
    EXPECT_TRUE(parse(upper, {"--NOUSER", "12"}).ok);
    EXPECT_EQ(upper.clientType, "--NOUSER");
    EXPECT_EQ(upper.version, 12);
    EXPECT_FALSE(upper.autoStart);
}

TEST_F(ConfigurationTest, UnattendedFormTakesNameAndNews)
{
    FakeServiceConfiguration config;
    EXPECT_TRUE(parse(config, {"--nouser", "client_linux_amd64", "12", "#", ""}).ok);
    EXPECT_TRUE(config.autoStart);
    EXPECT_EQ(config.version, 12);
    EXPECT_TRUE(config.displayName.isEmpty()) << "\"#\" stands for no name";
    EXPECT_TRUE(config.newsHtml.isEmpty());
    EXPECT_EQ(config.queries, 0);

    FakeServiceConfiguration named;
    EXPECT_TRUE(parse(named, {"--nouser", "client_linux_x86", "13", "3.6 beta", "<b>news</b>", "more", "ignored"}).ok);
    EXPECT_EQ(named.clientType, "client_linux_x86");
    EXPECT_EQ(named.displayName, "3.6 beta");
    EXPECT_EQ(named.newsHtml, "<b>news</b>");
}

TEST_F(ConfigurationTest, InvalidVersionsAreFatal)
{
    FakeServiceConfiguration config;
    Outcome outcome = parse(config, {"client_linux_amd64", "12abc"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.fatal, QStringList({"Invalid version nr (12abc)"}));

    FakeServiceConfiguration unattended;
    outcome = parse(unattended, {"--nouser", "client_linux_amd64", "x", "name"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(unattended.autoStart);
    EXPECT_EQ(outcome.fatal, QStringList({"Invalid version nr (x)"}));

    FakeServiceConfiguration badService;
    badService.answerVersion = "v7";
    outcome = parse(badService, {});
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.fatal, QStringList({"Update server returned invalid version nr (v7)"}));

    // Giving up the query, or no version for the channel: no further message.
    FakeServiceConfiguration noAnswer;
    noAnswer.answerVersion.clear();
    outcome = parse(noAnswer, {"--nouser"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.fatal.isEmpty());
    EXPECT_FALSE(noAnswer.autoStart);
}

TEST_F(ConfigurationTest, ChannelSelection)
{
    struct Case
    {
        QByteArray ini;
        int channel;
        int version;
    };
    const Case cases[] = {
        {"", StableChannel, 0},
        {"[Channel]\nbeta=true\n", BetaChannel, 0},
        {"[Channel]\nBeta=true\n", BetaChannel, 0},
        {"[Channel]\nbeta=false\nBeta=1\n", BetaChannel, 0},
        {"[Channel]\nalphaRevno=99\n", StableChannel, 0},
        {"[Channel]\nalpha=http://alpha.example/a\nbeta=true\nalphaRevno=99\n", AlphaChannel, 99},
        {"[Channel]\nalpha=http://alpha.example/a,b\n", AlphaChannel, 0},
    };
    for (const Case& c : cases) {
        freshInstallation();
        writeUpdateIni(c.ini);
        Configuration config;
        config.version = 5;
        config.readChannelSettings();
        EXPECT_EQ(config.channel, c.channel) << c.ini.constData();
        EXPECT_EQ(config.version, c.version) << c.ini.constData();
    }
}

TEST_F(ConfigurationTest, AlphaRevisionWinsOverTheCommandLineVersion)
{
    writeUpdateIni("[Channel]\nalpha=http://alpha.example/a\nalphaRevno=321\n");
    FakeServiceConfiguration config;
    const Outcome outcome = parse(config, {"client_linux_amd64", "abc"});
    EXPECT_TRUE(outcome.ok) << "the version argument is not read at all";
    EXPECT_TRUE(outcome.fatal.isEmpty());
    EXPECT_EQ(config.version, 321);
    EXPECT_EQ(config.channel, AlphaChannel);

    // Without a revision the alpha channel asks the service, for channel 2.
    freshInstallation();
    writeUpdateIni("[Channel]\nalpha=http://alpha.example/a\n");
    FakeServiceConfiguration asking;
    EXPECT_TRUE(parse(asking, {}).ok);
    EXPECT_EQ(asking.askedChannel, AlphaChannel);
}

TEST_F(ConfigurationTest, UpdateSettingsAndStreamsBelowOne)
{
    struct Case
    {
        QByteArray ini;
        int streams;
        QString proxy;
    };
    const Case cases[] = {
        {"", 6, ""},
        {"[update]\nstreams=3\nproxy=http://proxy.example:8080\n", 3, "http://proxy.example:8080"},
        {"[update]\nstreams=1\n", 1, ""},
        {"[update]\nstreams=0\n", 6, ""},
        {"[update]\nstreams=-4\n", 6, ""},
        {"[update]\nstreams=many\n", 6, ""},
    };
    for (const Case& c : cases) {
        freshInstallation();
        writeUpdateIni(c.ini);
        Configuration config;
        config.readUpdateSettings();
        EXPECT_EQ(config.streams, c.streams) << c.ini.constData();
        EXPECT_EQ(config.proxy, c.proxy) << c.ini.constData();
    }
    // A missing update.ini gives the defaults, and reading does not create it.
    QFile::remove(installation + "/update.ini");
    Configuration config;
    config.readUpdateSettings();
    config.readChannelSettings();
    EXPECT_EQ(config.streams, 6);
    EXPECT_EQ(config.channel, StableChannel);
    EXPECT_FALSE(QFile::exists(installation + "/update.ini"));
}

TEST_F(ConfigurationTest, SessionRecordRoundTrip)
{
    writeUpdateIni("[Channel]\nbeta=true\n[update]\nstreams=2\n");
    const QString runDir = makeTempFolder("run dir, with comma");
    storeSessionRecord(77, runDir, "client_linux_x86");

    int version = 0;
    QString type;
    QString dir;
    ASSERT_TRUE(loadSessionRecord(&version, &type, &dir));
    EXPECT_EQ(version, 77);
    EXPECT_EQ(type, "client_linux_x86");
    EXPECT_EQ(dir, runDir);
    EXPECT_TRUE(loadSessionRecord(nullptr, nullptr, nullptr)) << "every output may be null";

    clearSessionRecord();
    version = -1;
    EXPECT_FALSE(loadSessionRecord(&version, &type, &dir));
    EXPECT_EQ(version, -1) << "nothing is written for a missing record";
    QSettings ini(installation + "/update.ini", QSettings::IniFormat);
    EXPECT_FALSE(ini.childGroups().contains("current"));
    EXPECT_TRUE(ini.value("Channel/beta").toBool()) << "other groups stay";
    EXPECT_EQ(ini.value("update/streams").toInt(), 2);
}

TEST_F(ConfigurationTest, IncompleteOrStaleSessionRecordsCountAsAbsent)
{
    const QString runDir = makeTempFolder("run");
    const QByteArray records[] = {
        "[current]\nversion=12\ndir=" + runDir.toUtf8() + "/gone\ntype=client_linux_amd64\n",
        "[current]\nversion=twelve\ndir=" + runDir.toUtf8() + "\ntype=client_linux_amd64\n",
        "[current]\nversion=12\ndir=" + runDir.toUtf8() + "\n",
        "[current]\nversion=12\ntype=client_linux_amd64\n",
        "[current]\ndir=" + runDir.toUtf8() + "\ntype=client_linux_amd64\n",
    };
    for (const QByteArray& record : records) {
        freshInstallation();
        writeUpdateIni(record);
        int version = -1;
        QString dir = "untouched";
        EXPECT_FALSE(loadSessionRecord(&version, nullptr, &dir)) << record.constData();
        EXPECT_EQ(version, -1);
        EXPECT_EQ(dir, "untouched");
    }
}

class TempFolderTest : public ConfigurationTest
{
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        savedTmp = qgetenv("TMPDIR");
        tmp = makeTempFolder("systemp");
        qputenv("TMPDIR", tmp.toUtf8());
    }
    void TearDown() override
    {
        qputenv("TMPDIR", savedTmp);
        ConfigurationTest::TearDown();
    }
    QByteArray savedTmp;
    QString tmp;
};

TEST_F(TempFolderTest, FoldersAreCreatedExclusivelyForTheUserOnly)
{
    Configuration config;
    ASSERT_TRUE(config.createTempDirectory());
    EXPECT_EQ(config.tempDir, tmp + "/voxmere_temp_0");
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(config.tempDir).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A second run, and entries of other kinds, move on to the next free number.
    ASSERT_TRUE(writeFile(tmp + "/voxmere_temp_1", "not a folder"));
    ASSERT_EQ(::symlink(QFile::encodeName(tmp).constData(), QFile::encodeName(tmp + "/voxmere_temp_2").constData()), 0);
    Configuration second;
    ASSERT_TRUE(second.createTempDirectory());
    EXPECT_EQ(second.tempDir, tmp + "/voxmere_temp_3");

    // A given folder is used unchanged, an empty one makes a new folder.
    Configuration given;
    EXPECT_TRUE(given.ensureTempDirectory(tmp + "/earlier"));
    EXPECT_EQ(given.tempDir, tmp + "/earlier");
    EXPECT_TRUE(given.ensureTempDirectory(QString()));
    EXPECT_EQ(given.tempDir, tmp + "/voxmere_temp_4");
}

TEST_F(TempFolderTest, ThousandExistingFoldersGiveTheError)
{
    for (int i = 0; i <= 999; ++i)
        ASSERT_TRUE(QDir(tmp).mkdir(QStringLiteral("voxmere_temp_%1").arg(i)));
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    EXPECT_FALSE(config.createTempDirectory());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal[0][0].toString(), "Unable to create temp directory.");
    EXPECT_TRUE(config.tempDir.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(tmp + "/voxmere_temp_1000"));
}

TEST_F(TempFolderTest, MissingTempPathGivesTheError)
{
    qputenv("TMPDIR", (tmp + "/not/there").toUtf8());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    EXPECT_FALSE(config.createTempDirectory());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal[0][0].toString(), "Unable to get temp directory.");
    EXPECT_FALSE(QFileInfo::exists(tmp + "/not"));
}

TEST(UpdaterFiles, OwnFilesMatchExactly)
{
    EXPECT_EQ(updaterOwnFiles().size(), 13);
    EXPECT_EQ(updaterOwnFiles().first(), "update");
    EXPECT_TRUE(isUpdaterOwnFile("libQt5Core.so.5"));
    EXPECT_FALSE(isUpdaterOwnFile("Update"));
    EXPECT_FALSE(isUpdaterOwnFile("old/update"));
    EXPECT_FALSE(isUpdaterOwnFile("update "));
    // By path: a file named like one of them elsewhere is the release's own.
    EXPECT_TRUE(isUpdaterOwnPath("update"));
    EXPECT_TRUE(isUpdaterOwnPath("imageformats/libqjpeg.so"));
    EXPECT_FALSE(isUpdaterOwnPath("tools/update"));
    EXPECT_FALSE(isUpdaterOwnPath("old/update"));
    EXPECT_EQ(oldFilePrefix(), "_old_");
}

TEST_F(ConfigurationTest, StartUpCleanUpRemovesOnlyTheUpdatersLeftovers)
{
    const QString keep[] = {
        "_old_vxmclient_linux_amd64", "old/_old_addon_setup", "libQt5Core.so.5", "update",
        "imageformats/libqjpeg.so", "_old_Update", "sqldrivers/_old_libqgif.so.1", "old/_old_02_update",
        "old/_old_x_update",
    };
    const QString removed[] = {
        "_old_update", "_old_libQt5Core.so.5", "old/_old_update", "old/_old_2_update", "old/_old_12_libQt5Core.so.5",
        "imageformats/_old_libqjpeg.so",
        "accessible/_old_libqtaccessiblewidgets.so", "sqldrivers/_old_libsqlite.so",
        "libQtCore.so.4", "libQtSql.so.4",
    };
    for (const QString& name : keep)
        ASSERT_TRUE(writeFile(installation + "/" + name, "x"));
    for (const QString& name : removed)
        ASSERT_TRUE(writeFile(installation + "/" + name, "x"));

    removeSelfUpdateLeftovers(installation);
    for (const QString& name : keep)
        EXPECT_TRUE(QFile::exists(installation + "/" + name)) << name.toStdString();
    for (const QString& name : removed)
        EXPECT_FALSE(QFile::exists(installation + "/" + name)) << name.toStdString();
    EXPECT_TRUE(QFileInfo(installation + "/old").isDir()) << "old still holds a backup";

    for (const char* kept : {"/old/_old_addon_setup", "/old/_old_02_update", "/old/_old_x_update"})
        QFile::remove(installation + kept);
    ASSERT_TRUE(writeFile(installation + "/old/_old_libqgif.so", "x"));
    removeSelfUpdateLeftovers(installation);
    EXPECT_FALSE(QFileInfo::exists(installation + "/old")) << "an emptied old folder goes";
}

} // namespace
