#include "startup.h"

#include "commandline.h"
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installdialog.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

// The silent road's one line on standard error about a failure.
void reportSilently(const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

} // namespace

int runInstaller(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments);
    if (!line.valid)
        return 1;
    g_packageFileName = line.packageFileName;

    bool hasPlugins = false;
    QString error;
    if (!extractPackage(g_packageTempPath, error, line.force, hasPlugins)) {
        const QString message = QCoreApplication::translate("InstallDialog", "Failed to extract Add-On:\n%1").arg(error);
        if (line.silent)
            reportSilently(message);
        else
            QMessageBox::critical(nullptr, QCoreApplication::translate("InstallDialog", "Error"), message,
                                  QMessageBox::Ok, QMessageBox::NoButton);
        return 1;
    }

    if (line.silent) {
        QString why;
        const bool ok = silentInstall(defaultClientFolder(), g_packageTempPath, &why);
        removeTree(g_packageTempPath);
        if (!ok)
            reportSilently(QCoreApplication::translate("InstallDialog", "Failed to install Add-On.") + QLatin1Char(' ') + why);
        return ok ? 0 : 1;
    }

    g_installDialog = new InstallDialog(nullptr);
    g_installDialog->setPackage(g_packageTempPath, hasPlugins);
    if (line.force)
        g_installDialog->scheduleInstallClick();
    const int result = QApplication::exec();
    removeTree(g_packageTempPath);
    delete g_installDialog;
    g_installDialog = nullptr;
    return result;
}
