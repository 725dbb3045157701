#include "install.h"

#include "extract.h"
#include "freespace.h"
#include "globals.h"
#include "installjournal.h"
#include "installlock.h"
#include "safefs.h"
#include "stagedinstall.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString librarySuffix = QStringLiteral("so");
const QStringList platformAliases32 = {QStringLiteral("win32"), QStringLiteral("linux_x86"),
                                       QStringLiteral("x86"), QStringLiteral("32")};
const QStringList platformAliases64 = {QStringLiteral("win64"), QStringLiteral("linux_amd64"),
                                       QStringLiteral("amd64"), QStringLiteral("x64"), QStringLiteral("64")};
const QStringList platformAliasesMac = {QStringLiteral("mac"), QStringLiteral("i386"), QStringLiteral("ppc")};
const QStringList styleVariantSuffixes = {QStringLiteral("_linux"), QStringLiteral("_mac"),
                                          QStringLiteral("_vista"), QStringLiteral("_chat")};

bool isDotOrDotDot(const QString &name)
{
    return name == QLatin1String(".") || name == QLatin1String("..");
}

// The plug-in's name: its file name less a platform ending such as "_linux_amd64.so" or the
// library suffix.
QString pluginName(const QString &fileName)
{
    for (const QStringList *aliases : {&platformAliases32, &platformAliases64, &platformAliasesMac}) {
        for (const QString &alias : *aliases) {
            const QString ending = QLatin1Char('_') + alias + QLatin1Char('.') + librarySuffix;
            if (fileName.endsWith(ending))
                return fileName.left(fileName.size() - ending.size());
        }
    }
    const QString ending = QLatin1Char('.') + librarySuffix;
    if (fileName.endsWith(ending))
        return fileName.left(fileName.size() - ending.size());
    return fileName;
}

// The name a listing entry gives for `category`, or a null string.
QString addonNameOf(const QString &category, const QFileInfo &entry)
{
    const QString fileName = entry.fileName();
    const QString suffix = entry.suffix().toLower();
    if (category == QLatin1String("translations") && !entry.isDir() && suffix == QLatin1String("qm")) {
        static const QRegularExpression pattern(QStringLiteral("pelica_([a-z]{2})\\.qm"));
        const QRegularExpressionMatch match = pattern.match(fileName);
        return match.hasMatch() ? QLocale(match.captured(1)).name() : QString();
    }
    if (category == QLatin1String("plugins") && !entry.isDir() && suffix == librarySuffix)
        return pluginName(fileName);
    if (category == QLatin1String("gfx") && entry.isDir() && fileName != QLatin1String("customCountries"))
        return fileName;
    if (category == QLatin1String("styles") && !entry.isDir() && suffix == QLatin1String("qss")) {
        const QString base = fileName.left(fileName.size() - 4);
        for (const QString &variant : styleVariantSuffixes) {
            if (base.endsWith(variant))
                return QString();
        }
        return base;
    }
    if (category == QLatin1String("sound") && entry.isDir())
        return fileName;
    return QString();
}

// What the content folders of an extracted package put into an installation: every folder before
// what it holds, paths relative to the installation.
struct ContentPlan
{
    struct Item
    {
        QString source;
        QString relative;
        bool folder;
    };
    QVector<Item> items;
    SpaceNeed need;
};

// Adds the listing of `source`, as the folder `relative`, folders recursively. Links and hidden
// entries are left out, and so are package.ini files.
void planFolderContent(const QString &source, const QString &relative, ContentPlan &plan)
{
    const QFileInfoList entries = QDir(source).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (isDotOrDotDot(name) || name == packageInfoName() || entry.isSymLink())
            continue;
        const QString path = relative + QLatin1Char('/') + name;
        if (entry.isDir()) {
            plan.items.append({QString(), path, true});
            ++plan.need.folders;
            planFolderContent(source + QLatin1Char('/') + name, path, plan);
        } else if (entry.isFile()) {
            plan.items.append({source + QLatin1Char('/') + name, path, false});
            plan.need.fileSizes.append(quint64(entry.size()));
        }
    }
}

// Plans the content folders of the extracted package `source` into `install` (nothing else from
// the package's top goes into the installation `destination`), once it is clear that they fit on
// its file system. Returns the number of files planned, or -1 with `error` set.
int planContent(const QString &source, const QString &destination, StagedInstall &install, QString &error)
{
    if (safefs::kindOf(source) != safefs::Kind::Dir)
        return 0;
    ContentPlan plan;
    const QFileInfoList entries = QDir(source).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (!topFolders().contains(name) || entry.isSymLink() || !entry.isDir())
            continue;
        plan.items.append({QString(), name, true});
        ++plan.need.folders;
        planFolderContent(source + QLatin1Char('/') + name, name, plan);
    }
    // On the package's own file system the files are linked, not copied, and take no room.
    if (fileSystemOf(source) != fileSystemOf(destination) && !fitsOn(destination, plan.need, error))
        return -1;
    for (const ContentPlan::Item &item : qAsConst(plan.items)) {
        if (!(item.folder ? install.addFolder(item.relative) : install.addFile(item.source, item.relative))) {
            error = install.error();
            return -1;
        }
    }
    return plan.need.fileSizes.size();
}

QString journalPath()
{
    return configFolder() + QStringLiteral("addon_setup.journal");
}

// Removes the staged copies (".vxm-", a token, "-" and a number) that runs without a journal left
// beside their targets in the content folders of `clientFolder`: the user's own regular files only.
// Backups have names of their own and stay: a journal that was set aside may name them.
void removeLeftoverStagingFiles(const QString &clientFolder)
{
    static const QRegularExpression stagedName(QString::fromLatin1(stagedNamePattern));
    for (const QString &top : topFolders()) {
        QDirIterator it(clientFolder + QLatin1Char('/') + top, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QByteArray path = QFile::encodeName(it.next());
            struct stat st;
            if (stagedName.match(it.fileName()).hasMatch() && ::lstat(path.constData(), &st) == 0
                && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
                ::unlink(path.constData());
        }
    }
}

// The client folder as an absolute path, whatever the working folder is later.
QString absoluteFolder(const QString &folder)
{
    return QDir::cleanPath(QDir(folder).absolutePath());
}

// The package file's SHA-1 in lower-case hexadecimal; empty when the file cannot be read.
QString packageChecksum()
{
    QFile package(packageFilePath());
    if (!package.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    if (!sha1.addData(&package) || package.error() != QFileDevice::NoError)
        return QString();
    return QString::fromLatin1(sha1.result().toHex());
}

// Installs the content of `packageFolder` into `clientFolder` with the package's add-on list entry
// (none when `checksum` is empty). Returns the number of files installed, or -1 with `error` set.
int installContent(const QString &packageFolder, const QString &clientFolder, const QString &checksum, QString &error)
{
    const QString root = absoluteFolder(clientFolder);
    // One installation at a time in a client folder, whatever the users' configuration folders.
    InstallLock folderLock(root, InstallLock::Target::Folder);
    if (!folderLock.take(error))
        return -1;
    removeLeftoverStagingFiles(root);
    StagedInstall install(journalPath(), root);
    const int files = planContent(packageFolder, root, install, error);
    if (files <= 0)
        return files;
    QString problem;
    if (!checksum.isEmpty()) {
        if (!checkAddonList(problem)) {
            error = installerText("Cannot write %1").arg(addonListPath()) + QStringLiteral(": ") + problem;
            return -1;
        }
        install.addSetting(packageBaseName() + QStringLiteral("/Checksum"), checksum);
    }
    if (!install.run()) {
        error = install.error();
        return -1;
    }
    return files;
}

} // namespace

QString defaultClientFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString configFolder()
{
    return QDir::homePath() + QStringLiteral("/.vxmclient/");
}

bool isClientFolder(const QString &folder)
{
    if (folder.isEmpty())
        return false;
    return QFile::exists(folder + QStringLiteral("/vxmclient_linux_x86"))
        || QFile::exists(folder + QStringLiteral("/vxmclient_linux_amd64"));
}

void detectAddonNames(const QString &root, const QString &category, AddonNames &addonNames)
{
    const QString folder = root + QLatin1Char('/') + category;
    if (safefs::kindOf(folder) != safefs::Kind::Dir)
        return;
    const QFileInfoList entries = QDir(folder).entryInfoList();
    for (const QFileInfo &entry : entries) {
        if (isDotOrDotDot(entry.fileName()) || entry.isSymLink())
            continue;
        const QString name = addonNameOf(category, entry);
        if (!name.isNull())
            addonNames.insert(category, name);
    }
}

void detectAllAddonNames(const QString &root, AddonNames &addonNames)
{
    for (const QString &category : topFolders())
        detectAddonNames(root, category, addonNames);
}

void copyTree(const QString &source, const QString &destination, bool &failed)
{
    QString error;
    if (installContent(source, destination, QString(), error) < 0)
        failed = true;
}

bool installPackage(const QString &clientFolder, const QString &packageFolder, AddonNames &addonNames,
                    QString *error)
{
    const auto failWith = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    detectAllAddonNames(packageFolder, addonNames);
    // Without its extracted folder there is nothing to install: that is no success.
    if (safefs::kindOf(packageFolder) != safefs::Kind::Dir)
        return failWith(withSystemReason(installerText("Cannot read %1").arg(packageFolder), ENOENT));

    // All or nothing: every file is staged before the first one replaces anything, and the
    // replaced files stay until the add-on list records the package.
    QString why;
    const int files = installContent(packageFolder, clientFolder, packageChecksum(), why);
    if (files < 0)
        return failWith(why);
    if (files == 0)
        return failWith(installerText("The Add-On holds no files to install."));
    return true;
}

bool recoverInterruptedInstallation(const QString &clientFolder, QString &report)
{
    if (!recoverInstallJournal(journalPath(), report))
        return false;
    const QString root = absoluteFolder(clientFolder);
    InstallLock folderLock(root, InstallLock::Target::Folder);
    QString error;
    if (isClientFolder(root) && folderLock.take(error))
        removeLeftoverStagingFiles(root);
    return true;
}

void writeActivationList(const AddonNames &addonNames)
{
    const QString folder = configFolder();
    if (!QDir(folder).exists())
        QDir().mkdir(folder);
    if (!QDir(folder).exists())
        return;
    QSettings list(folder + QStringLiteral("addon_setup_temp.ini"), QSettings::IniFormat);
    if (!list.isWritable())
        return;
    for (auto it = addonNames.cbegin(); it != addonNames.cend(); ++it)
        list.setValue(it.key(), it.value());
    list.sync();
}

bool silentInstall(const QString &clientFolder, const QString &packageFolder, QString *error)
{
    if (!isClientFolder(clientFolder)) {
        if (error)
            *error = installerText("No Voxmere 3 Client installation directory found.");
        return false;
    }
    AddonNames addonNames;
    const bool ok = installPackage(clientFolder, packageFolder, addonNames, error);
    if (ok && !addonNames.isEmpty())
        writeActivationList(addonNames);
    return ok;
}

void removeTree(const QString &path)
{
    if (path.isEmpty() || safefs::kindOf(path) != safefs::Kind::Dir)
        return;
    safefs::removeEntry(path);
}
