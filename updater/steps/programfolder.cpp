#include "programfolder.h"

#include <QCoreApplication>

namespace {
QString& overriddenFolder()
{
    static QString folder;
    return folder;
}
} // namespace

QString programFolder()
{
    const QString& folder = overriddenFolder();
    if (!folder.isEmpty())
        return folder;
    return QCoreApplication::applicationDirPath();
}

void setProgramFolderForTesting(const QString& folder)
{
    overriddenFolder() = folder;
}
