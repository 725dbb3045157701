#include "extract.h"

#include "globals.h"
#include "safefs.h"
#include "zipindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QtGui/private/qzipreader_p.h>

#include <zlib.h>

namespace {

// Extraction folder name for a package whose file name gives no base name (such as ".zip").
const QString fallbackFolderName = QStringLiteral("package");
const QString packageInfoName = QStringLiteral("package.ini");

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
    QString lookupName;    // the name under which the reader finds the entry's data
    int dataIndex = -1;    // the entry whose data the reader returns for lookupName
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

// Whether `path` lies strictly below the folder `root` once "." and ".." are resolved.
bool isBelow(const QString &root, const QString &path)
{
    return QDir::cleanPath(path).startsWith(QDir::cleanPath(root) + QLatin1Char('/'));
}

quint32 crc32Of(const QByteArray &data)
{
    const uLong initial = crc32(0L, Z_NULL, 0);
    return quint32(crc32(initial, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
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
    const QVector<ZipEntryRecord> &records = index.entries();
    if (infos.size() != records.size()) {
        error = tr("Invalid zip file: %1").arg(g_packageFileName);
        return false;
    }

    // Decide about every entry before anything is written.
    hasPlugins = false;
    QVector<PlannedEntry> plan(records.size());
    QHash<QString, int> firstByLookupName;
    for (int i = 0; i < records.size(); ++i) {
        const ZipEntryRecord &record = records.at(i);
        const QZipReader::FileInfo &info = infos.at(i);
        PlannedEntry &entry = plan[i];
        entry.lookupName = QString::fromLocal8Bit(record.rawName);
        if (!firstByLookupName.contains(entry.lookupName))
            firstByLookupName.insert(entry.lookupName, i);
        entry.dataIndex = firstByLookupName.value(entry.lookupName);
        entry.path = record.namesInUtf8() ? QString::fromUtf8(record.rawName) : entry.lookupName;
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
        if (entry.action == Action::WriteFile && !index.dataReadable(archive, entry.dataIndex)) {
            error = tr("Failed to extract: %1").arg(entry.path);
            return false;
        }
    }

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
    for (const PlannedEntry &entry : qAsConst(plan)) {
        if (entry.action == Action::MakeFolder
            && (!isBelow(tempPath, tempPath + QLatin1Char('/') + entry.path)
                || !safefs::makeDirsBelow(tempPath, entry.components)))
            return fail(entry);
    }
    for (int i = 0; i < plan.size(); ++i) {
        const PlannedEntry &entry = plan.at(i);
        if (entry.action != Action::WriteFile)
            continue;
        const QString target = tempPath + QLatin1Char('/') + entry.path;
        if (!isBelow(tempPath, target))
            return fail(entry);
        const QByteArray data = reader.fileData(entry.lookupName);
        const ZipEntryRecord &record = records.at(i);
        if (data.size() != qint64(record.uncompressedSize) || crc32Of(data) != record.crc
            || !safefs::makeDirsBelow(tempPath, entry.components.mid(0, entry.components.size() - 1))
            || !safefs::writeFile(target, data))
            return fail(entry);
    }
    return true;
}
