#include "updaterfiles.h"

#include <QDir>
#include <QFile>

namespace {
const char* const qt4Libraries[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
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

void removeOldFileLeftovers(const QString& folder)
{
    const QDir dir(folder);
    for (const QString& name : updaterOwnFiles())
        QFile::remove(dir.filePath(backupFileName(name)));
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
    for (const char* sub : {"", "/old", "/imageformats", "/accessible", "/sqldrivers"})
        removeOldFileLeftovers(appDir + QLatin1String(sub));
    // Only an empty folder goes; one that still holds files stays.
    QDir(appDir).rmdir(QStringLiteral("old"));
}
