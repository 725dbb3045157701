// The catalogue apps.ini and the settings file runwatcher.ini.
#include <QFile>
#include <QMap>
#include <QSettings>
#include <gtest/gtest.h>

#include "client_folders.h"
#include "received_lists.h"
#include "runwatch_manager.h"

namespace {

const QByteArray kCatalogue =
    "[Categories]\n"
    "01=Old name\n"
    "1=Games\n"
    "x=not a number\n"
    "70000=too big\n"
    "7=Tools\n"
    "[Zeta]\n"
    "binary_linux=zeta\n"
    "category=70001\n"
    "[Alpha]\n"
    "binary_linux=alpha, alpha-bin\n"
    "files_linux=data, alpha.pak\n"
    "category=1\n"
    "[Beta]\n"
    "binary=beta\n"
    "[Gamma]\n"
    "binary_linux=gamma\n";

TEST(Catalogue, IdsAreGroupPositionsWithGaps)
{
    ClientFolders client;
    client.writeCatalogue(kCatalogue);
    RunwatchManager manager;
    ASSERT_TRUE(manager.loadApps());

    // Reader order: Alpha, Beta, Categories, Gamma, Zeta. Beta lacks binary_linux, Categories is no
    // application, yet both use up their position.
    const auto& apps = manager.applications();
    ASSERT_EQ(apps.size(), 3);
    ASSERT_TRUE(apps.contains(0));
    ASSERT_TRUE(apps.contains(3));
    ASSERT_TRUE(apps.contains(4));
    EXPECT_EQ(apps.value(0)->name, "Alpha");
    EXPECT_EQ(apps.value(0)->binaries, (QSet<QString>{"alpha", "alpha-bin"}));
    EXPECT_EQ(apps.value(0)->files, (QSet<QString>{"data", "alpha.pak"}));
    EXPECT_EQ(apps.value(0)->category, 1);
    EXPECT_TRUE(apps.value(3)->files.isEmpty());
    EXPECT_EQ(apps.value(3)->category, 0);
    EXPECT_EQ(apps.value(4)->category, 70001 & 0xFFFF);

    // "01" and "1" are the same number; the later key in reader order wins. Bad keys are skipped.
    const auto& categories = manager.categoryNames();
    EXPECT_EQ(categories.size(), 2);
    EXPECT_EQ(categories.value(1), "Games");
    EXPECT_EQ(categories.value(7), "Tools");
}

TEST(Catalogue, MissingOrEmptyCatalogueLoadsNothing)
{
    ClientFolders client;
    RunwatchManager manager;
    EXPECT_FALSE(manager.loadApps());
    EXPECT_TRUE(manager.applications().isEmpty());

    client.writeCatalogue("[Categories]\n1=Games\n[NoApp]\nbinary=x\n");
    EXPECT_FALSE(manager.loadApps());
    EXPECT_EQ(manager.categoryNames().value(1), "Games");
}

TEST(Catalogue, OptOutsAreStoredAtOnceAndRemovedToOptBackIn)
{
    ClientFolders client;
    client.writeCatalogue(kCatalogue);
    {
        RunwatchManager manager;
        manager.loadApps();
        EXPECT_TRUE(manager.isAppEnabled(0));
        EXPECT_FALSE(manager.isAppEnabled(1));   // Beta is no application
        EXPECT_FALSE(manager.isAppEnabled(99));

        manager.setAppEnabled(0, false);
        EXPECT_FALSE(manager.isAppEnabled(0));
        // On disk without waiting for the settings object to write by itself.
        QSettings onDisk(client.settingsPath(), QSettings::IniFormat);
        EXPECT_EQ(onDisk.value("Runwatcher/Alpha"), QVariant(false));

        manager.setAppEnabled(99, false);  // unknown id: nothing is written
        EXPECT_FALSE(client.readSettings().contains("99"));
    }
    {
        RunwatchManager manager;
        manager.loadApps();
        EXPECT_FALSE(manager.isAppEnabled(0));
        EXPECT_TRUE(manager.isAppEnabled(3));
        manager.setAppEnabled(0, true);
        QSettings onDisk(client.settingsPath(), QSettings::IniFormat);
        EXPECT_FALSE(onDisk.contains("Runwatcher/Alpha"));
    }
}

TEST(Catalogue, GroupNamedEnabledIsSkippedAndLeavesTheSwitchAlone)
{
    ClientFolders client;
    client.writeSettings("[Runwatcher]\nEnabled=false\n");
    client.writeCatalogue("[Enabled]\nbinary_linux=enabled\n[Other]\nbinary_linux=other\n");
    RunwatchManager manager;
    ASSERT_TRUE(manager.loadApps());
    ASSERT_EQ(manager.applications().size(), 1);
    EXPECT_EQ(manager.applications().value(1)->name, "Other");
    ASSERT_EQ(client.host.logLines().size(), 1);
    EXPECT_TRUE(client.host.logLines().first().startsWith("2|RunwatcherPlugin|Skipped the application \"Enabled\""));
    EXPECT_FALSE(manager.isEnabled());
}

TEST(Catalogue, NamesAreUtf8AndNamesThatCannotWorkAreSkippedWithALogLine)
{
    ClientFolders client;
    const QByteArray longName(kMaxReceivedListBytes + 1, 'L');
    client.writeCatalogue("[\xc3\x9cmlaut-App]\nbinary_linux=pr\xc3\xb6gr\xc3\xa4mm\n"
                          "[%U00DCscaped]\nbinary_linux=x\\xe4y\n"
                          "[]\nbinary_linux=empty\n"
                          "[Dir/Game]\nbinary_linux=nested\n"
                          "[Tom && Jerry]\nbinary_linux=tj\n"
                          "[" + longName + "]\nbinary_linux=long\n");
    RunwatchManager manager;
    ASSERT_TRUE(manager.loadApps());
    QMap<QString, QSet<QString>> loaded;
    for (const AppEntry* app : manager.applications()) {
        loaded[app->name] = app->binaries;
    }
    EXPECT_EQ(loaded, (QMap<QString, QSet<QString>>{{QString::fromUtf8("\xc3\x9cmlaut-App"), {QString::fromUtf8("pr\xc3\xb6gr\xc3\xa4mm")}},
                                                    {QString::fromUtf8("\xc3\x9cscaped"), {QString::fromUtf8("x\xc3\xa4y")}}}));

    const QStringList skipped = {"\"\" of apps.ini: its name is empty",
                                 "\"Dir/Game\" of apps.ini: its name contains \"/\"",
                                 "\"Tom && Jerry\" of apps.ini: its name contains \"&&\"",
                                 "\"" + QString(64, 'L') + "...\" of apps.ini: its name is longer than the 4096 bytes"};
    const QString log = client.host.logLines().join('\n');
    EXPECT_EQ(client.host.logLines().size(), skipped.size()) << log.toStdString();
    for (const QString& line : skipped) {
        EXPECT_TRUE(log.contains("2|RunwatcherPlugin|Skipped the application " + line)) << line.toStdString();
    }
}

TEST(Catalogue, ReloadReplacesTheCatalogue)
{
    ClientFolders client;
    client.writeCatalogue(kCatalogue);
    RunwatchManager manager;
    manager.loadApps();
    client.writeCatalogue("[Categories]\n3=Office\n[Writer]\nbinary_linux=writer\ncategory=3\n");
    manager.reload();
    ASSERT_EQ(manager.applications().size(), 1);
    EXPECT_EQ(manager.applications().value(1)->name, "Writer");
    EXPECT_EQ(manager.categoryNames().keys(), QList<quint16>{3});
    EXPECT_FALSE(manager.isScanning());  // broadcasting is off
}

// A byte order mark changes nothing; past the bounds the first part is used, with a log line; the
// file is parsed once per change, so its log lines come once.
TEST(Catalogue, ByteOrderMarkBoundsAndOneParsePerChange)
{
    struct Row {
        const char* name;
        QByteArray text;
        int apps;
        QString firstName;  // an application that must be loaded
        QString logged;
    };
    QByteArray large = "[Alpha]\nbinary_linux=alpha\n";
    while (large.size() <= kMaxCatalogueBytes) {
        large += "; " + QByteArray(1000, 'x') + "\n";
    }
    large += "[Zeta]\nbinary_linux=zeta\n";
    QByteArray many;
    for (int i = 0; i < kMaxCatalogueGroups + 10; ++i) {
        many += QStringLiteral("[G%1]\nbinary_linux=g\n").arg(i, 5, 10, QLatin1Char('0')).toUtf8();
    }
    const Row rows[] = {
        {"byte order mark", "\xef\xbb\xbf[\xc3\x9cmlaut]\nbinary_linux=u\n[Categories]\n1=Games\n", 1, QString::fromUtf8("\xc3\x9cmlaut"), ""},
        {"too large", large, 1, "Alpha", "2|RunwatcherPlugin|apps.ini is larger than 262144 bytes: only its first "},
        {"too many groups", many, kMaxCatalogueGroups, "G00000",
         "2|RunwatcherPlugin|apps.ini has 4106 groups: only the first 4096 are read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClientFolders client;
        client.writeCatalogue(row.text);
        RunwatchManager manager;
        ASSERT_TRUE(manager.loadApps());
        EXPECT_EQ(manager.applications().size(), row.apps);
        QStringList names;
        for (const AppEntry* app : manager.applications()) {
            names << app->name;
        }
        EXPECT_TRUE(names.contains(row.firstName));
        EXPECT_EQ(client.host.logLines().size(), row.logged.isEmpty() ? 0 : 1) << client.host.logLines().join('\n').toStdString();
        if (!row.logged.isEmpty()) {
            EXPECT_TRUE(client.host.logLines().value(0).startsWith(row.logged)) << client.host.logLines().value(0).toStdString();
        }
        manager.reload();
        EXPECT_EQ(manager.applications().size(), row.apps);
        EXPECT_EQ(client.host.logLines().size(), row.logged.isEmpty() ? 0 : 1);
    }
}

TEST(Catalogue, ShippedCatalogueIsComplete)
{
    ClientFolders client;
    client.useShippedCatalogue();
    RunwatchManager manager;
    ASSERT_TRUE(manager.loadApps());
    const auto& apps = manager.applications();
    EXPECT_GE(apps.size(), 60);
    QSet<QString> names;
    for (const AppEntry* app : apps) {
        SCOPED_TRACE(app->name.toStdString());
        EXPECT_FALSE(app->binaries.isEmpty());
        EXPECT_TRUE(manager.categoryNames().contains(app->category));
        names.insert(app->name);
        for (const QString& binary : app->binaries) {
            EXPECT_FALSE(binary.contains('/'));
            EXPECT_EQ(binary, binary.trimmed());
        }
    }
    EXPECT_TRUE(names.contains("0 A.D."));
    EXPECT_TRUE(names.contains("Cities: Skylines"));
    EXPECT_TRUE(names.contains("Don't Starve Together"));
    EXPECT_TRUE(client.host.logLines().isEmpty());
}

TEST(Settings, LegacyFileIsMovedToTheNewName)
{
    ClientFolders client;
    client.writeFile(client.config() + "runwatchr.conf", "[Runwatcher]\nEnabled=true\n");
    RunwatchManager manager;
    EXPECT_TRUE(manager.isEnabled());
    EXPECT_FALSE(QFile::exists(client.config() + "runwatchr.conf"));
    EXPECT_TRUE(client.readSettings().contains("Enabled=true"));
}

TEST(Settings, LegacyFileStaysWhenTheNewOneExists)
{
    ClientFolders client;
    client.writeFile(client.config() + "runwatchr.conf", "[Runwatcher]\nEnabled=true\n");
    client.writeSettings("[Runwatcher]\nEnabled=false\n");
    RunwatchManager manager;
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_TRUE(QFile::exists(client.config() + "runwatchr.conf"));
}

TEST(Settings, SwitchIsStoredAtOnce)
{
    ClientFolders client;
    RunwatchManager manager;
    EXPECT_FALSE(manager.isEnabled());
    manager.setEnabled(true);
    EXPECT_TRUE(manager.isScanning());
    EXPECT_EQ(QSettings(client.settingsPath(), QSettings::IniFormat).value("Runwatcher/Enabled"), QVariant(true));
    manager.setEnabled(false);
    EXPECT_FALSE(manager.isScanning());
    EXPECT_EQ(QSettings(client.settingsPath(), QSettings::IniFormat).value("Runwatcher/Enabled"), QVariant(false));
}

}  // namespace
