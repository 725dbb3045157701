#include "startup.h"

#include "commandline.h"
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installdialog.h"
#include "installlock.h"
#include "outsidetext.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

// Shows why the run ends: on the silent road one line on standard error, else a box without parent.
void reportFailure(bool silent, const QString &text)
{
    if (silent) {
        QString line = text;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    } else {
        showPlainBox(nullptr, QMessageBox::Critical, installerText("Error"), wrappable(text));
    }
}

} // namespace

int runInstaller(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments);
    if (!line.valid)
        return 1;
    g_packageFileName = line.packageFileName;

    // None of this run's work begins before whatever a crash interrupted is undone. The lock is held
    // through the extraction, and on the silent road to the end; the install dialog takes it again
    // when Install is pressed.
    InstallLock lock;
    QString error;
    if (!lock.takeWaiting(line.silent, waitingForInstallationText(), error)) {
        if (!error.isEmpty())
            reportFailure(line.silent, error);
        return 1;
    }
    QString report;
    const bool recovered = recoverInterruptedInstallation(defaultClientFolder(), report);
    if (!report.isEmpty()) {
        if (recovered && !line.silent)
            showPlainBox(nullptr, QMessageBox::Warning, installerText("Warning"), wrappable(report));
        else
            reportFailure(line.silent, report);
    }
    if (!recovered)
        return 1;

    bool hasPlugins = false;
    if (!extractPackage(g_packageTempPath, error, line.force, hasPlugins)) {
        reportFailure(line.silent, installerText("Failed to extract Add-On:\n%1").arg(error));
        return 1;
    }

    if (line.silent) {
        QString why;
        const bool ok = silentInstall(defaultClientFolder(), g_packageTempPath, &why);
        removeTree(g_packageTempPath);
        if (!ok)
            reportFailure(true, installerText("Failed to install Add-On.") + QLatin1Char(' ') + why);
        return ok ? 0 : 1;
    }

    lock.release();
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
