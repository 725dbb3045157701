#include "extract.h"

#include "globals.h"
#include "freespace.h"
#include "safefs.h"
#include "zipentrystream.h"
#include "zipindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QTextCodec>
#include <QtGui/private/qzipreader_p.h>

namespace {

// Extraction folder name for a package whose file name gives no base name (such as ".zip").
const QString fallbackFolderName = QStringLiteral("package");
const QString packageInfoName = QStringLiteral("package.ini");
// The most that a package may unpack to, whatever room there is.
constexpr quint64 maxTotalSize = quint64(8) << 30;

QString tr(const char *text)
{
    return QCoreApplication::translate("InstallDialog", text);
}

enum class Action { Skip, MakeFolder, WriteFile };

struct PlannedEntry
{
    Action action = Action::Skip;
    QString path;          // the entry's path in the archive, without a trailing "/"
    QStringList components;
};

// An entry name is usable when it is relative and none of its components is empty, "." or "..".
// A single trailing "/" marks a folder entry.
bool isSafeEntryName(QByteArray name)
{
    if (name.endsWith('/'))
        name.chop(1);
    if (name.isEmpty() || name.contains('\0'))
        return false;
    const QList<QByteArray> parts = name.split('/');
    for (const QByteArray &part : parts) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    return true;
}

bool isUtf8(const QByteArray &bytes)
{
    static QTextCodec *const utf8 = QTextCodec::codecForMib(106);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// Whether `path` lies strictly below the folder `root` once "." and ".." are resolved.
bool isBelow(const QString &root, const QString &path)
{
    return QDir::cleanPath(path).startsWith(QDir::cleanPath(root) + QLatin1Char('/'));
}

QString sizeText(quint64 bytes)
{
    return QLocale().formattedDataSize(qint64(bytes));
}

} // namespace

const QStringList &topFolders()
{
    static const QStringList folders = {QStringLiteral("plugins"), QStringLiteral("gfx"),
                                        QStringLiteral("translations"), QStringLiteral("sound"),
                                        QStringLiteral("styles")};
    return folders;
}

QString importFolder()
{
    return QDir::tempPath() + QStringLiteral("/vxmimport");
}

bool extractPackage(QString &tempPath, QString &error, bool force, bool &hasPlugins)
{
    QString baseName = packageBaseName();
    if (baseName.isEmpty())
        baseName = fallbackFolderName;
    const QString archivePath = packageFilePath();

    if (archivePath.isEmpty()) {
        error = tr("File not found: %1").arg(g_packageFileName);
        return false;
    }
    QZipReader reader(archivePath, QIODevice::ReadOnly);
    if (!reader.exists()) {
        error = tr("File not found: %1").arg(g_packageFileName);
        return false;
    }
    ZipIndex index;
    QFile archive(archivePath);
    if (!reader.isReadable() || !archive.open(QIODevice::ReadOnly) || !index.read(archive)) {
        error = tr("Invalid zip file: %1").arg(g_packageFileName);
        return false;
    }

    tempPath = QDir::tempPath();
    if (!QDir(tempPath).exists()) {
        error = tr("Failed to find temp directory");
        return false;
    }
    const QString importPath = importFolder();
    tempPath = importPath + QLatin1Char('/') + baseName;

    if (force) {
        // Reuse an earlier extraction, but only from a folder no one else can have filled.
        if (safefs::kindOf(importPath) != safefs::Kind::Missing && !safefs::ensurePrivateDir(importPath)) {
            error = tr("Failed to create temp path: %1").arg(tempPath);
            return false;
        }
        hasPlugins = safefs::kindOf(tempPath + QStringLiteral("/plugins")) == safefs::Kind::Dir;
        return true;
    }

    // The reader lists the entries in the directory's order; both views must agree.
    const QVector<QZipReader::FileInfo> infos = reader.fileInfoList();
    if (infos.size() != index.entries().size()) {
        error = tr("Invalid zip file: %1").arg(g_packageFileName);
        return false;
    }

    // What the package declares as a whole, before any entry is looked at.
    const quint64 declared = index.declaredTotalSize();
    if (declared > maxTotalSize) {
        error = tr("The Add-On is too large: it unpacks to %1, more than %2")
                    .arg(sizeText(declared), sizeText(maxTotalSize));
        return false;
    }
    const ZipIndex::Layout layout = index.checkLayout(archive);
    const QVector<ZipEntryRecord> &records = index.entries();
    const auto entryName = [&](int i) { return QString::fromUtf8(records.at(i).rawName); };
    if (layout.problem == ZipIndex::Layout::OutsideFile) {
        error = tr("Invalid zip file: the data of %1 lies outside the file").arg(entryName(layout.entry));
        return false;
    }
    if (layout.problem == ZipIndex::Layout::Overlap) {
        error = tr("Invalid zip file: the data of %1 and %2 overlap").arg(entryName(layout.entry), entryName(layout.other));
        return false;
    }

    // Decide about every entry before anything is written.
    hasPlugins = false;
    QVector<PlannedEntry> plan(records.size());
    SpaceNeed need;
    for (int i = 0; i < records.size(); ++i) {
        const ZipEntryRecord &record = records.at(i);
        const QZipReader::FileInfo &info = infos.at(i);
        PlannedEntry &entry = plan[i];
        entry.path = QString::fromUtf8(record.rawName);
        if (!isUtf8(record.rawName)) {
            error = tr("Invalid entry name (not UTF-8): %1").arg(entry.path);
            return false;
        }
        if (!isSafeEntryName(record.rawName) || !info.isValid()) {
            error = tr("Failed to extract: %1").arg(entry.path);
            return false;
        }
        const bool isFolder = info.isDir || record.rawName.endsWith('/');
        const bool isLink = !isFolder && info.isSymLink;
        if (entry.path.endsWith(QLatin1Char('/')))
            entry.path.chop(1);
        entry.components = entry.path.split(QLatin1Char('/'));

        bool keep;
        if (!isFolder && entry.components.last() == packageInfoName) {
            keep = true;
        } else {
            // A folder entry names its folder itself; a file belongs to the folder above it.
            const bool topLevelFile = !isFolder && entry.components.size() == 1;
            const QString top = entry.components.first();
            keep = !topLevelFile && topFolders().contains(top);
            if (!topLevelFile && top == QLatin1String("plugins"))
                hasPlugins = true;
        }
        // Links are never created: they could point anywhere.
        if (!keep || isLink)
            continue;
        entry.action = isFolder ? Action::MakeFolder : Action::WriteFile;
        if (entry.action == Action::MakeFolder) {
            ++need.folders;
        } else {
            if (!index.dataReadable(i)) {
                error = tr("Failed to extract: %1").arg(entry.path);
                return false;
            }
            need.fileSizes.append(record.uncompressedSize);
        }
    }

    // Room for all of it where it is extracted (the installation checks its own side).
    if (!fitsOn(safefs::kindOf(importPath) == safefs::Kind::Dir ? importPath : QDir::tempPath(), need, error))
        return false;

    // A fresh, private folder: leftovers of an earlier run must not end up in this installation.
    if (!safefs::ensurePrivateDir(importPath) || !safefs::removeEntry(tempPath)
        || !safefs::ensurePrivateDir(tempPath)) {
        error = tr("Failed to create temp path: %1").arg(tempPath);
        return false;
    }

    const auto fail = [&](const PlannedEntry &entry) {
        error = tr("Failed to extract: %1").arg(entry.path);
        safefs::removeEntry(tempPath);
        return false;
    };
    // Folders made so far, by their path below tempPath.
    QSet<QString> madeFolders;
    const auto makeFolder = [&](const QStringList &components) {
        const QString key = components.join(QLatin1Char('/'));
        if (components.isEmpty() || madeFolders.contains(key))
            return true;
        if (!safefs::makeDirsBelow(tempPath, components))
            return false;
        madeFolders.insert(key);
        return true;
    };
    for (const PlannedEntry &entry : qAsConst(plan)) {
        if (entry.action == Action::MakeFolder
            && (!isBelow(tempPath, tempPath + QLatin1Char('/') + entry.path) || !makeFolder(entry.components)))
            return fail(entry);
    }
    // Each file's data is read once, by its position, in the directory's order.
    ZipEntryStream stream;
    for (int i = 0; i < plan.size(); ++i) {
        const PlannedEntry &entry = plan.at(i);
        if (entry.action != Action::WriteFile)
            continue;
        const QString target = tempPath + QLatin1Char('/') + entry.path;
        if (!isBelow(tempPath, target) || !makeFolder(entry.components.mid(0, entry.components.size() - 1)))
            return fail(entry);
        safefs::Fd out(safefs::createFile(target));
        if (!out.valid())
            return fail(entry);
        const ZipEntryStream::Result result = stream.copy(archive.handle(), records.at(i), out.get());
        if (result == ZipEntryStream::Result::TooLong) {
            fail(entry);
            error = tr("Damaged entry: %1 unpacks to more data than it declares").arg(entry.path);
            return false;
        }
        if (result != ZipEntryStream::Result::Ok || !out.close())
            return fail(entry);
    }
    return true;
}
