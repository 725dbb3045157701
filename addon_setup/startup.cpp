#include "startup.h"

#include "commandline.h"
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installdialog.h"

#include <QApplication>
#include <QMessageBox>

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
        if (!line.silent)
            QMessageBox::critical(nullptr, QCoreApplication::translate("InstallDialog", "Error"), message,
                                  QMessageBox::Ok, QMessageBox::NoButton);
        return 1;
    }

    if (line.silent) {
        const bool ok = silentInstall(defaultClientFolder(), g_packageTempPath);
        removeTree(g_packageTempPath);
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
