#include "updatelists.h"

#include "updaterfiles.h"

#include <QDir>
#include <QFileInfo>

QString targetPath(const ReplaceEntry& entry, const QString& prefix)
{
    const QString base = entry.installPath.isEmpty() ? entry.path : entry.installPath;
    if (prefix.isEmpty())
        return base;
    const QFileInfo info(base);
    const QString folder = info.path();
    if (folder == ".")
        return prefix + info.fileName();
    return folder + "/" + prefix + info.fileName();
}

QString backupPath(const ReplaceEntry& entry, int n)
{
    return oldFolder() + "/" + backupFileName(QFileInfo(targetPath(entry, QString())).fileName(), n);
}

bool isBackupPath(const QString& path)
{
    const QFileInfo info(path);
    return isSafeRelativePath(path) && info.path() == oldFolder() && info.fileName().startsWith(oldFilePrefix());
}

QString stagedPath(const QString& target, int n)
{
    const QFileInfo info(target);
    const QString number = n < 2 ? QString() : QString(".%1").arg(n);
    const QString name = "." + info.fileName() + number + ".vxmnew";
    return info.path() == "." ? name : info.path() + "/" + name;
}

bool isStagedPathOf(const QString& staged, const QString& target)
{
    const QString first = stagedPath(target);
    if (staged == first)
        return true;
    // ".<name>.<n>.vxmnew" with n >= 2 written without leading zeros
    const QString prefix = first.left(first.size() - int(qstrlen(".vxmnew"))) + ".";
    if (!staged.startsWith(prefix) || !staged.endsWith(".vxmnew"))
        return false;
    const QString number = staged.mid(prefix.size(), staged.size() - prefix.size() - int(qstrlen(".vxmnew")));
    bool ok = false;
    const int n = number.toInt(&ok);
    return ok && n >= 2 && QString::number(n) == number;
}

QString journalPath()
{
    return oldFolder() + QStringLiteral("/replace.journal");
}

bool isUpdaterRecordPath(const QString& path)
{
    return path == journalPath();
}

bool isSafeRelativePath(const QString& path)
{
    if (path.isEmpty() || path.contains('\\') || path.contains(QChar(0)))
        return false;
    if (QDir::isAbsolutePath(path))
        return false;
    // Used as written, so it must be written clean: no ".", "..", "//" or trailing "/".
    if (QDir::cleanPath(path) != path || path == ".")
        return false;
    return !path.split('/').contains("..");
}

bool isMd5Text(const QString& text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        const bool hex = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!hex)
            return false;
    }
    return true;
}
