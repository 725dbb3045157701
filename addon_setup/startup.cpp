#include "startup.h"

#include "commandline.h"
#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installdialog.h"
#include "installlock.h"

#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>

#include <cstdio>

namespace {

// How often the dialog road looks whether another installation has ended.
constexpr int lockPollMs = 250;

// Shows why the run ends: on the silent road one line on standard error, else a box without parent.
void reportFailure(bool silent, const QString &text)
{
    if (silent) {
        QString line = text;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    } else {
        QMessageBox::critical(nullptr, installerText("Error"), wrappable(text), QMessageBox::Ok, QMessageBox::NoButton);
    }
}

// Takes the lock, after another installation has ended if one runs: the silent road simply waits,
// the dialog road says so in a window whose Cancel ends the run. False when the lock was not
// taken; `error` then says why, or is empty when the user cancelled.
bool takeInstallLock(InstallLock &lock, bool silent, QString &error)
{
    const InstallLock::Result first = lock.tryTake(error);
    if (first != InstallLock::Result::Busy)
        return first == InstallLock::Result::Taken;
    if (silent)
        return lock.take(error);

    QProgressDialog waiting(installerText("Waiting for another installation of an Add-On to finish..."),
                            installerText("Cancel"), 0, 0);
    waiting.setWindowTitle(installerText("Information"));
    bool taken = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &waiting, [&] {
        const InstallLock::Result result = lock.tryTake(error);
        if (result == InstallLock::Result::Busy)
            return;
        taken = result == InstallLock::Result::Taken;
        waiting.accept();
    });
    poll.start(lockPollMs);
    waiting.exec();
    return taken;
}

} // namespace

int runInstaller(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments);
    if (!line.valid)
        return 1;
    g_packageFileName = line.packageFileName;

    // One installation at a time, and none before whatever a crash interrupted is undone.
    InstallLock lock;
    QString error;
    if (!takeInstallLock(lock, line.silent, error) || !recoverInterruptedInstallation(defaultClientFolder(), error)) {
        if (!error.isEmpty())
            reportFailure(line.silent, error);
        return 1;
    }

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
