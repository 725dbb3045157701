#include "globals.h"

#include <QCoreApplication>
#include <QFileInfo>

QString g_packageFileName;
QString g_packageTempPath;
InstallDialog *g_installDialog = nullptr;

QString packageFilePath()
{
    static const QString filePrefix = QStringLiteral("file://");
    if (g_packageFileName.startsWith(filePrefix))
        return g_packageFileName.mid(filePrefix.size());
    return g_packageFileName;
}

QString packageBaseName()
{
    return QFileInfo(g_packageFileName).baseName();
}

QString installerText(const char *text)
{
    return QCoreApplication::translate("InstallDialog", text);
}

QString withSystemReason(const QString &text, int error)
{
    return text + QStringLiteral(": ") + qt_error_string(error);
}
