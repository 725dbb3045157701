#include "updaterfiles.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <iterator>

namespace {
const char* const qt4Libraries[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
// The folders of the updater's own files: the installation and the Qt plug-in folders in it.
const QString qtPluginFolders[] = {QString(), QStringLiteral("imageformats"), QStringLiteral("accessible"),
                                   QStringLiteral("sqldrivers")};
}

QString oldFolder()
{
    return QStringLiteral("old");
}

QString oldFilePrefix()
{
    return QStringLiteral("_old_");
}

QString backupFileName(const QString& fileName, int n)
{
    if (n < 2)
        return oldFilePrefix() + fileName;
    return QStringLiteral("%1%2_%3").arg(oldFilePrefix()).arg(n).arg(fileName);
}

QStringList updaterOwnFiles()
{
    static const QStringList files = {
        QStringLiteral("update"),          QStringLiteral("libQtCore.so.4"),
        QStringLiteral("libQtGui.so.4"),   QStringLiteral("libQtNetwork.so.4"),
        QStringLiteral("libQtSql.so.4"),   QStringLiteral("libQt5Core.so.5"),
        QStringLiteral("libQt5Gui.so.5"),  QStringLiteral("libQt5Network.so.5"),
        QStringLiteral("libQt5Sql.so.5"),  QStringLiteral("libqgif.so"),
        QStringLiteral("libqjpeg.so"),     QStringLiteral("libqtaccessiblewidgets.so"),
        QStringLiteral("libsqlite.so"),
    };
    return files;
}

bool isUpdaterOwnFile(const QString& name)
{
    return updaterOwnFiles().contains(name, Qt::CaseSensitive);
}

bool isUpdaterOwnPath(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QString() : path.left(slash);
    return isUpdaterOwnFile(path.mid(slash + 1))
           && std::find(std::begin(qtPluginFolders), std::end(qtPluginFolders), folder) != std::end(qtPluginFolders);
}

void removeOldFileLeftovers(const QString& folder)
{
    const QDir dir(folder);
    for (const QString& name : updaterOwnFiles()) {
        QFile::remove(dir.filePath(backupFileName(name)));
        const QStringList candidates =
            dir.entryList({oldFilePrefix() + QStringLiteral("*_") + name}, QDir::Files | QDir::System | QDir::Hidden);
        for (const QString& candidate : candidates) {
            // "_old_<n>_<name>" exactly as backupFileName makes it (n >= 2, no leading zero).
            const int prefix = oldFilePrefix().size();
            const QString middle = candidate.mid(prefix, candidate.size() - prefix - name.size());
            const int n = middle.left(middle.size() - 1).toInt();
            if (n >= 2 && backupFileName(name, n) == candidate)
                QFile::remove(dir.filePath(candidate));
        }
    }
}

void removeObsoleteQt4Libraries(const QString& folder)
{
    const QDir dir(folder);
    for (const char* name : qt4Libraries) {
        const QString path = dir.filePath(QLatin1String(name));
        if (QFile::exists(path))
            QFile::remove(path);
    }
}

void removeSelfUpdateLeftovers(const QString& appDir)
{
    removeObsoleteQt4Libraries(appDir);
    removeOldFileLeftovers(appDir + QLatin1Char('/') + oldFolder());
    for (const QString& sub : qtPluginFolders)
        removeOldFileLeftovers(sub.isEmpty() ? appDir : appDir + QLatin1Char('/') + sub);
    // Only an empty folder goes; one that still holds files stays.
    QDir(appDir).rmdir(oldFolder());
}
