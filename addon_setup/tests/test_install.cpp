// Installation: add-on names, copying into the client installation, the add-on list, the
// activation list, removal of the extracted folder, and the command line.
#include "commandline.h"
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QSettings>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <iostream>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// The installation's fault hook: the k-th operation of the process, or the n-th of one kind,
// raises a signal; operations of the kinds listed fail, and so does the n-th of one kind.
struct
{
    int killAt = 0;
    int seen = 0;
    QByteArray signalOn; // with signalAt: raise `signal` at that operation of this kind
    int signalAt = 0;
    int signal = SIGKILL;
    QByteArray failOn; // with failAt: fail that operation of this kind
    int failAt = 0;
    QMap<QByteArray, int> seenOf;
    QSet<QByteArray> failing;
} faults;

} // namespace

extern "C" bool vxmInjectInstallFault(const char *operation, const char *)
{
    const int nth = ++faults.seenOf[operation];
    if (++faults.seen == faults.killAt)
        ::raise(SIGKILL);
    if (operation == faults.signalOn && nth == faults.signalAt)
        ::raise(faults.signal);
    return faults.failing.contains(operation) || (operation == faults.failOn && nth == faults.failAt);
}

namespace {

class InstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        base = freshEnvironment();
        package = base + QStringLiteral("/package");
        client = makeClientFolder(base + QStringLiteral("/client"));
        QDir().mkpath(package);
    }

    QString settingsValue(const QString &file, const QString &key)
    {
        return QSettings(configFolder() + file, QSettings::IniFormat).value(key).toString();
    }

    QString base;
    QString package;
    QString client;
};

TEST(ClientFolder, NeedsOneOfTheClientExecutables)
{
    const QString base = freshEnvironment();
    EXPECT_FALSE(isClientFolder(QString()));
    EXPECT_FALSE(isClientFolder(base));
    writeTree(base + QStringLiteral("/x86"), {{QStringLiteral("vxmclient_linux_x86"), ""}});
    writeTree(base + QStringLiteral("/amd64"), {{QStringLiteral("vxmclient_linux_amd64/"), ""}});
    EXPECT_TRUE(isClientFolder(base + QStringLiteral("/x86")));
    EXPECT_TRUE(isClientFolder(base + QStringLiteral("/amd64")));
    EXPECT_EQ(configFolder(), QDir::homePath() + QStringLiteral("/.vxmclient/"));
}

TEST(AddonNames, DetectedPerCategory)
{
    struct Case
    {
        const char *category;
        QStringList entries; // a name ending in "/" is a folder
        const char *expected; // nullptr: no name
    };
    const Case cases[] = {
        {"translations", {"pelica_de.qm"}, "de_DE"},
        {"translations", {"pelica_DE.qm"}, nullptr},
        {"translations", {"mypelica_fr.qm"}, "fr_FR"},
        {"translations", {"pelica_de.qm", "pelica_fr.qm"}, "fr_FR"},
        {"translations", {"pelica_zz.qm"}, "C"},
        {"translations", {"pelica_de.QM"}, nullptr},
        {"translations", {"pelica_de.qm/"}, nullptr},
        {"plugins", {"tool_linux_amd64.so"}, "tool"},
        {"plugins", {"tool_win32.so"}, "tool"},
        {"plugins", {"tool_mac.so"}, "tool"},
        {"plugins", {"tool.so"}, "tool"},
        {"plugins", {"tool_x86_64.so"}, "tool_x86"},
        {"plugins", {"TOOL.SO"}, "TOOL.SO"},
        {"plugins", {"tool.dll", "tool/"}, nullptr},
        {"gfx", {"customCountries/", "flags/"}, "flags"},
        {"gfx", {"customCountries/"}, nullptr},
        {"gfx", {"flag.png"}, nullptr},
        {"styles", {"dark.qss", "dark_linux.qss", "dark_mac.qss"}, "dark"},
        {"styles", {"dark_chat.qss"}, nullptr},
        {"styles", {"Dark.QSS"}, "Dark"},
        {"styles", {"light.qss", "dark_vista.qss"}, "light"},
        {"sound", {"alpha/", "Beta/"}, "Beta"},
        {"sound", {"alpha.wav"}, nullptr},
        {"sound", {".hidden/"}, nullptr},
    };
    for (const Case &c : cases) {
        const QString category = QString::fromLatin1(c.category);
        SCOPED_TRACE((category + QLatin1Char(':') + c.entries.join(QLatin1Char(','))).toStdString());
        const QString root = freshEnvironment() + QStringLiteral("/pkg");
        QList<QPair<QString, QByteArray>> files;
        for (const QString &entry : c.entries)
            files.append({category + QLatin1Char('/') + entry, "x"});
        writeTree(root, files);
        AddonNames names;
        detectAddonNames(root, category, names);
        if (c.expected)
            EXPECT_EQ(names, (AddonNames{{category, QString::fromLatin1(c.expected)}}));
        else
            EXPECT_TRUE(names.isEmpty());
    }

    // All categories at once; a missing folder adds nothing and the map is not cleared.
    const QString root = freshEnvironment() + QStringLiteral("/pkg");
    writeTree(root, {{QStringLiteral("styles/dark.qss"), ""}, {QStringLiteral("plugins/tool_linux_x86.so"), ""}});
    AddonNames names{{QStringLiteral("sound"), QStringLiteral("earlier")}};
    detectAllAddonNames(root, names);
    EXPECT_EQ(names, (AddonNames{{QStringLiteral("sound"), QStringLiteral("earlier")},
                                 {QStringLiteral("styles"), QStringLiteral("dark")},
                                 {QStringLiteral("plugins"), QStringLiteral("tool")}}));
}

TEST_F(InstallTest, CopiesOnlyContentFoldersAndRecordsTheChecksum)
{
    writeTree(package, {{QStringLiteral("package.ini"), "name=x"},
                        {QStringLiteral("readme.txt"), "r"},
                        {QStringLiteral("other/file.txt"), "o"},
                        {QStringLiteral("styles/dark.qss"), "new style"},
                        {QStringLiteral("styles/package.ini"), "nested"},
                        {QStringLiteral("styles/.hidden.qss"), "hidden"},
                        {QStringLiteral("sound/deep/voice/hello.wav"), "wav"},
                        {QStringLiteral("plugins/tool.so"), "elf"}});
    ::symlink("/etc/passwd", QFile::encodeName(package + QStringLiteral("/plugins/passwd.so")).constData());
    ::symlink(QFile::encodeName(base).constData(), QFile::encodeName(package + QStringLiteral("/gfx")).constData());
    writeTree(client, {{QStringLiteral("styles/dark.qss"), "old style"}, {QStringLiteral("styles/mine.qss"), "mine"}});

    g_packageFileName = QStringLiteral("file://") + base + QStringLiteral("/Dark.Skin.zip");
    writeTree(base, {{QStringLiteral("Dark.Skin.zip"), QByteArray(300000, 'z')}});
    QSettings(configFolder() + QStringLiteral("addons.ini"), QSettings::IniFormat)
        .setValue(QStringLiteral("Other/Checksum"), QStringLiteral("abc"));

    AddonNames names;
    ASSERT_TRUE(installPackage(client, package, names));
    EXPECT_EQ(names, (AddonNames{{QStringLiteral("styles"), QStringLiteral("dark")},
                                 {QStringLiteral("sound"), QStringLiteral("deep")},
                                 {QStringLiteral("plugins"), QStringLiteral("tool")}}));
    EXPECT_EQ(listTree(client),
              (QStringList{"plugins", "plugins/tool.so", "sound", "sound/deep", "sound/deep/voice",
                           "sound/deep/voice/hello.wav", "styles", "styles/dark.qss", "styles/mine.qss",
                           "vxmclient_linux_amd64"}));
    EXPECT_EQ(readFile(client + QStringLiteral("/styles/dark.qss")), QByteArray("new style"));
    EXPECT_EQ(settingsValue(QStringLiteral("addons.ini"), QStringLiteral("Dark/Checksum")),
              sha1sum(base + QStringLiteral("/Dark.Skin.zip")));
    EXPECT_EQ(settingsValue(QStringLiteral("addons.ini"), QStringLiteral("Other/Checksum")), QStringLiteral("abc"));

    // Installing again replaces the checksum of the same package.
    writeTree(base, {{QStringLiteral("Dark.Skin.zip"), "changed"}});
    ASSERT_TRUE(installPackage(client, package, names));
    EXPECT_EQ(settingsValue(QStringLiteral("addons.ini"), QStringLiteral("Dark/Checksum")),
              sha1sum(base + QStringLiteral("/Dark.Skin.zip")));
}

TEST_F(InstallTest, MissingPackageFolderOrUnreadablePackageFile)
{
    g_packageFileName = base + QStringLiteral("/gone.zip");
    AddonNames names;
    EXPECT_FALSE(installPackage(client, base + QStringLiteral("/no-such-folder"), names));
    EXPECT_FALSE(silentInstall(client, base + QStringLiteral("/no-such-folder")));
    // A folder without a file to install (such as a package of folders only) is no success either.
    QString error;
    writeTree(package, {{QStringLiteral("styles/empty/"), ""}});
    EXPECT_FALSE(installPackage(client, package, names, &error));
    EXPECT_EQ(error, QStringLiteral("The Add-On holds no files to install."));

    // The package file itself is only needed for the checksum.
    writeTree(package, {{QStringLiteral("styles/a.qss"), "a"}});
    EXPECT_TRUE(installPackage(client, package, names));
    EXPECT_TRUE(QFileInfo::exists(client + QStringLiteral("/styles/a.qss")));
    EXPECT_FALSE(QFileInfo::exists(configFolder() + QStringLiteral("addons.ini")));
}

TEST_F(InstallTest, FailedInstallLeavesTheClientAsItWas)
{
    struct Case
    {
        const char *what;
        std::function<void(const QString &client)> prepare; // makes the installation fail
        qint64 tmpfsSize;        // the client on a tmpfs of this size (0: beside the package)
        unsigned long fileLimit; // writes past this size fail, as on a full disk (0: none)
        const char *reason;      // in the error
        bool rootOnly = false;   // only root can make another user's file
    };
    const Case cases[] = {
        {"a folder in the way of a file",
         [](const QString &client) { writeTree(client, {{QStringLiteral("styles/c.qss/inside"), "x"}}); }, 0, 0,
         "c.qss"},
        {"the add-on list cannot be written",
         [](const QString &) { QDir().mkpath(configFolder() + QStringLiteral("addons.ini")); }, 0, 0, "addons.ini"},
        // The settings reader would drop its first line and the line without "=" when it writes.
        {"the add-on list cannot be read back",
         [](const QString &) { writeTree(configFolder(), {{QStringLiteral("addons.ini"), "\xEF\xBB\xBF[Mine]\nnote\n"}}); },
         0, 0, "addons.ini"},
        {"the add-on list links to another user's file",
         [](const QString &) {
             writeTree(configFolder(), {{QStringLiteral("theirs.ini"), "[Theirs]\nChecksum=1\n"}});
             ::chown(QFile::encodeName(configFolder() + QStringLiteral("theirs.ini")).constData(), 54321, 54321);
             ::symlink("theirs.ini", QFile::encodeName(configFolder() + QStringLiteral("addons.ini")).constData());
         },
         0, 0, "addons.ini", true},
        // Nothing can be made there: no undo of names that were never made is taken for a failure.
        {"the client is read-only",
         [](const QString &client) { ::mount(nullptr, QFile::encodeName(client).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr); },
         8 << 20, 0, "/sound"},
        // A copy to another file system that runs out of room half-way.
        {"the disk fills", nullptr, 8 << 20, 1 << 20, "big.qss"},
        {"the disk is too small", nullptr, 3 << 20, 0, "Not enough free space"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        base = freshEnvironment();
        client = base + QStringLiteral("/client");
        QDir().mkpath(client);
        if ((c.tmpfsSize && !mountSmallTmpfs(client, c.tmpfsSize)) || (c.rootOnly && ::geteuid() != 0)) {
            std::cout << "[ SKIPPED ] " << c.what << ": it needs root" << std::endl;
            continue;
        }
        makeClientFolder(client);
        g_packageFileName = base + QStringLiteral("/p.zip");
        writeTree(base, {{QStringLiteral("p.zip"), "zip"}});

        // Version 1 is installed; version 2 replaces two of its files, adds others and new folders.
        const QString v1 = base + QStringLiteral("/v1");
        writeTree(v1, {{QStringLiteral("styles/a.qss"), "a1"}, {QStringLiteral("styles/big.qss"), "big1"}});
        AddonNames names;
        ASSERT_TRUE(installPackage(client, v1, names));
        QFile::remove(configFolder() + QStringLiteral("addons.ini"));
        const QString v2 = base + QStringLiteral("/v2");
        writeTree(v2, {{QStringLiteral("sound/calm/ding.wav"), "wav"},
                       {QStringLiteral("styles/a.qss"), "a2"},
                       {QStringLiteral("styles/big.qss"), QByteArray(2 << 20, 'b')},
                       {QStringLiteral("styles/c.qss"), "c2"},
                       {QStringLiteral("translations/pelica_de.qm"), "qm"}});
        if (c.prepare)
            c.prepare(client);
        const QMap<QString, QByteArray> before = snapshotTree(client);
        const QByteArray listBefore = readFile(configFolder() + QStringLiteral("addons.ini"));

        QString error;
        bool ok = true;
        bool failed = false;
        const auto install = [&] {
            ok = installPackage(client, v2, names, &error);
            if (QByteArray(c.reason) != "addons.ini")
                copyTree(v2, client, failed);
        };
        if (c.fileLimit)
            ASSERT_TRUE(withFileSizeLimit(c.fileLimit, install));
        else
            install();
        EXPECT_FALSE(ok);
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
        // Byte for byte as before: old files back, nothing new, no staged file left.
        EXPECT_EQ(snapshotTree(client), before);
        EXPECT_EQ(readFile(configFolder() + QStringLiteral("addons.ini")), listBefore);
        EXPECT_FALSE(QFileInfo::exists(configFolder() + QStringLiteral("addon_setup.journal")));
        EXPECT_EQ(failed, QByteArray(c.reason) != "addons.ini");
    }
}

TEST_F(InstallTest, AKilledInstallationIsUndoneOrFinishedAtTheNextStart)
{
    g_packageFileName = base + QStringLiteral("/Skin.zip");
    writeTree(base, {{QStringLiteral("Skin.zip"), "v1"}});
    const QString v1 = base + QStringLiteral("/v1");
    const QString v2 = base + QStringLiteral("/v2");
    writeTree(v1, {{QStringLiteral("styles/a.qss"), "a1"}, {QStringLiteral("plugins/tool_linux_amd64.so"), "tool1"}});
    writeTree(v2, {{QStringLiteral("styles/a.qss"), "a2"}, {QStringLiteral("plugins/tool_linux_amd64.so"), "tool2"},
                   {QStringLiteral("sound/calm/ding.wav"), "wav"}});
    AddonNames names;
    ASSERT_TRUE(installPackage(client, v1, names));
    writeTree(base, {{QStringLiteral("Skin.zip"), "v2"}});
    // The client and the user's configuration folder, hidden files included.
    using State = QPair<QMap<QString, QByteArray>, QMap<QString, QByteArray>>;
    const auto state = [&] { return State(snapshotTree(client), snapshotTree(configFolder())); };
    const auto restore = [&](const State &to) {
        for (const QString &root : {client, configFolder()}) {
            removeTree(root);
            const QMap<QString, QByteArray> &tree = root == client ? to.first : to.second;
            for (auto it = tree.cbegin(); it != tree.cend(); ++it)
                writeTree(root, {{it.key() + (it.value() == "/" ? QStringLiteral("/") : QString()), it.value()}});
        }
    };
    const State before = state();

    // Killed at each operation in turn until one run goes through; each time the next start
    // finds the old add-on or the new one, whole, with its checksum, and nothing else.
    QList<State> afterKills;
    for (int kill = 1;; ++kill) {
        restore(before);
        const pid_t child = ::fork();
        if (child == 0) {
            faults = {};
            faults.killAt = kill;
            ::_exit(installPackage(client, v2, names) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        QString report;
        ASSERT_TRUE(recoverInterruptedInstallation(client, report) && report.isEmpty()) << report.toStdString();
        if (WIFSIGNALED(status)) {
            afterKills.append(state());
            continue;
        }
        ASSERT_EQ(WEXITSTATUS(status), 0);
        const State after = state();
        EXPECT_EQ(readFile(client + QStringLiteral("/sound/calm/ding.wav")), QByteArray("wav"));
        for (const State &found : qAsConst(afterKills))
            EXPECT_TRUE(found == before || found == after) << ::testing::PrintToString(found.first);
        EXPECT_TRUE(afterKills.contains(before) && afterKills.contains(after)) << kill << " operations";
        break;
    }

    // Killed, or asked to stop, when the `nth` file is placed; false when the run was not ended so.
    const auto endedWhilePlacing = [&](int nth, int signal) {
        restore(before);
        const pid_t child = ::fork();
        if (child == 0) {
            faults = {};
            faults.signalOn = "place";
            faults.signalAt = nth;
            faults.signal = signal;
            ::_exit(installPackage(client, v2, names) ? 0 : 1);
        }
        int status = 0;
        return ::waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == signal;
    };
    const QString journal = configFolder() + QStringLiteral("addon_setup.journal");
    // Every file of the client and the configuration folder holds what it held before, or the
    // original it replaced lies in the client or in a kept folder.
    const auto nothingLost = [&] {
        QList<QByteArray> contents = snapshotTree(client).values() + snapshotTree(configFolder()).values();
        return contents.contains("tool1") && contents.contains("a1");
    };

    // SIGTERM, SIGHUP and SIGINT while placing end the run with its undo, before the next start.
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        ASSERT_TRUE(endedWhilePlacing(2, signal)) << signal;
        EXPECT_EQ(state(), before) << signal;
    }

    // A failure before anything was placed leaves nothing to restore, whatever an undo would say.
    restore(before);
    faults.failing = {"place", "undo"};
    QString error;
    EXPECT_FALSE(installPackage(client, v2, names, &error));
    faults = {};
    EXPECT_FALSE(error.contains(QStringLiteral("Not restored"))) << error.toStdString();
    EXPECT_EQ(state(), before);

    // An undo that cannot complete names the files, sets the journal aside with the originals it
    // kept, and the next installation goes on.
    faults.failOn = "place";
    faults.failAt = 3;
    faults.failing = {"undo"};
    EXPECT_FALSE(installPackage(client, v2, names, &error));
    faults = {};
    EXPECT_TRUE(error.contains(QStringLiteral("Not restored: ")) && error.contains(client + QStringLiteral("/sound/calm/ding.wav"))
                && error.contains(configFolder() + QStringLiteral("unrecovered-")))
        << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(journal));
    EXPECT_TRUE(nothingLost());
    QString report;
    EXPECT_TRUE(recoverInterruptedInstallation(client, report) && report.isEmpty()) << report.toStdString();
    EXPECT_TRUE(installPackage(client, v2, names, &error)) << error.toStdString();

    // A journal damaged after its plan's end, or written by another version, is never taken for
    // one cut short: it is set aside and the originals stay.
    const QList<QPair<const char *, std::function<QByteArray(QByteArray)>>> damages = {
        {"placing mark garbled", [](QByteArray data) { return data.replace("\nP\n", "\nQ\n"); }},
        {"a bit flipped in the plan", [](QByteArray data) { const int at = data.indexOf("styles/a.qss") + 7; data[at] = char(data.at(at) ^ 1); return data; }},
        {"CRLF line ends", [](QByteArray data) { return data.replace("\n", "\r\n"); }},
        {"another version", [](QByteArray data) { return data.replace("journal 2", "journal 3"); }},
    };
    for (const auto &damage : damages) {
        SCOPED_TRACE(damage.first);
        ASSERT_TRUE(endedWhilePlacing(2, SIGKILL));
        writeTree(configFolder(), {{QStringLiteral("addon_setup.journal"), damage.second(readFile(journal))}});
        EXPECT_TRUE(recoverInterruptedInstallation(client, report));
        EXPECT_TRUE(report.contains(journal) && report.contains(QStringLiteral("unrecovered-"))) << report.toStdString();
        EXPECT_FALSE(QFileInfo::exists(journal));
        EXPECT_TRUE(nothingLost());
    }

    // Another user's configuration folder: the start there sweeps the client, but the staged copies
    // it removes are no backups, and this user's next start restores the client.
    ASSERT_TRUE(endedWhilePlacing(2, SIGKILL));
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(base + QStringLiteral("/other-home")));
    QDir().mkpath(QDir::homePath());
    EXPECT_TRUE(recoverInterruptedInstallation(client, report));
    qputenv("HOME", home);
    EXPECT_TRUE(recoverInterruptedInstallation(client, report) && report.isEmpty()) << report.toStdString();
    EXPECT_EQ(state(), before);

    // A journal of another user's is not obeyed: it is set aside without touching the client.
    if (::geteuid() == 0) {
        ASSERT_TRUE(endedWhilePlacing(2, SIGKILL));
        ASSERT_EQ(::chown(QFile::encodeName(journal).constData(), 54321, 54321), 0);
        EXPECT_TRUE(recoverInterruptedInstallation(client, report));
        EXPECT_TRUE(report.contains(QStringLiteral("unrecovered-"))) << report.toStdString();
        EXPECT_EQ(readFile(client + QStringLiteral("/plugins/tool_linux_amd64.so")), QByteArray("tool2"));
        EXPECT_TRUE(nothingLost());
    } else {
        std::cout << "[ SKIPPED ] a journal of another user: only root can make one" << std::endl;
    }

    // Staged copies that runs without a journal left are removed; backups and other hidden files stay.
    restore(before);
    writeTree(client, {{QStringLiteral("styles/dark/.vxm-1x2y3z-17"), "left"}, {QStringLiteral("sound/.keep"), "mine"},
                       {QStringLiteral("styles/.vxmkeep-1x2y3z-18"), "kept"}});
    EXPECT_TRUE(recoverInterruptedInstallation(client, error));
    EXPECT_FALSE(QFileInfo::exists(client + QStringLiteral("/styles/dark/.vxm-1x2y3z-17")));
    EXPECT_TRUE(QFileInfo::exists(client + QStringLiteral("/sound/.keep")));
    EXPECT_TRUE(QFileInfo::exists(client + QStringLiteral("/styles/.vxmkeep-1x2y3z-18")));
}

TEST_F(InstallTest, ActivationListKeepsEarlierKeys)
{
    writeActivationList({{QStringLiteral("gfx"), QStringLiteral("flags")}});
    writeActivationList({{QStringLiteral("styles"), QStringLiteral("dark")},
                         {QStringLiteral("translations"), QStringLiteral("de_DE")}});
    QSettings list(configFolder() + QStringLiteral("addon_setup_temp.ini"), QSettings::IniFormat);
    EXPECT_EQ(list.allKeys(), (QStringList{"gfx", "styles", "translations"}));
    EXPECT_EQ(list.value(QStringLiteral("gfx")).toString(), QStringLiteral("flags"));
    EXPECT_EQ(list.value(QStringLiteral("translations")).toString(), QStringLiteral("de_DE"));
    EXPECT_TRUE(readFile(configFolder() + QStringLiteral("addon_setup_temp.ini")).startsWith("[General]"));
}

TEST_F(InstallTest, SilentInstallNeedsAClientAndActivatesWhatItFinds)
{
    writeTree(package, {{QStringLiteral("styles/dark.qss"), "d"}});
    g_packageFileName = base + QStringLiteral("/p.zip");
    EXPECT_FALSE(silentInstall(base, package));
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/styles")));

    EXPECT_TRUE(silentInstall(client, package));
    EXPECT_EQ(settingsValue(QStringLiteral("addon_setup_temp.ini"), QStringLiteral("styles")), QStringLiteral("dark"));

    // Nothing recognised: installed, but no activation list.
    QFile::remove(configFolder() + QStringLiteral("addon_setup_temp.ini"));
    const QString plain = base + QStringLiteral("/plain");
    writeTree(plain, {{QStringLiteral("styles/readme.txt"), "r"}});
    EXPECT_TRUE(silentInstall(client, plain));
    EXPECT_TRUE(QFileInfo::exists(client + QStringLiteral("/styles/readme.txt")));
    EXPECT_FALSE(QFileInfo::exists(configFolder() + QStringLiteral("addon_setup_temp.ini")));
}

TEST_F(InstallTest, RemoveTreeStaysInsideTheTree)
{
    const QString outside = base + QStringLiteral("/outside");
    writeTree(outside, {{QStringLiteral("keep.txt"), "keep"}});
    writeTree(package, {{QStringLiteral("a/b/c.txt"), "c"}, {QStringLiteral(".hidden/x"), "x"}, {QStringLiteral(".dot"), ""}});
    ::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(package + QStringLiteral("/a/link")).constData());
    ::symlink(QFile::encodeName(outside + QStringLiteral("/keep.txt")).constData(),
              QFile::encodeName(package + QStringLiteral("/file-link")).constData());
    removeTree(package);
    EXPECT_FALSE(QFileInfo::exists(package));
    EXPECT_EQ(listTree(outside), QStringList{"keep.txt"});

    // A link given as the tree itself is not followed.
    const QString link = base + QStringLiteral("/link");
    ::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(link).constData());
    removeTree(link);
    removeTree(QString());
    EXPECT_EQ(listTree(outside), QStringList{"keep.txt"});
}

TEST(CommandLine, ArgumentsMakePathSilentAndForce)
{
    struct Case
    {
        QStringList arguments;
        bool valid, silent, force;
        const char *path;
    };
    const Case cases[] = {
        {{"addon_setup"}, false, false, false, ""},
        {{"addon_setup", "-silent"}, false, true, false, ""},
        {{"addon_setup", "pkg.zip"}, true, false, false, "pkg.zip"},
        {{"addon_setup", "My", "Skin.zip"}, true, false, false, "My Skin.zip"},
        {{"addon_setup", "pkg.zip", "force"}, true, false, true, "pkg.zip"},
        {{"addon_setup", "pkg.zip", "force", "more"}, true, false, false, "pkg.zip force more"},
        {{"addon_setup", "force"}, true, false, true, ""},
        {{"addon_setup", "pkg.zip", "-silent"}, true, false, false, "pkg.zip -silent"},
        {{"addon_setup", "-silent", "-silent", "pkg.zip"}, true, true, false, "-silent pkg.zip"},
        {{"addon_setup", "-SILENT", "pkg.zip"}, true, false, false, "-SILENT pkg.zip"},
        {{"addon_setup", "-silent", " spaced.zip ", "Force"}, true, true, false, "spaced.zip  Force"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char('|')).toStdString());
        const CommandLine line = parseCommandLine(c.arguments);
        EXPECT_EQ(line.valid, c.valid);
        EXPECT_EQ(line.silent, c.silent);
        EXPECT_EQ(line.force, c.force);
        EXPECT_EQ(line.packageFileName, QString::fromLatin1(c.path));
    }
}

} // namespace
