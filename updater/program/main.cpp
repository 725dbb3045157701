#include "configuration.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "programfolder.h"
#include "replacejournal.h"
#include "singleinstancechecker.h"
#include "updaterfiles.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstring>

namespace {

// An unattended run (--nouser) on a machine without a display, such as a build machine trying a
// release: the window is drawn nowhere and no box waits for an answer (messagebox.h).
void settleHeadlessRun(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--nouser") != 0)
        return;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool display = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    if (platform.isEmpty() && !display)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    else if (platform != "offscreen" && platform != "minimal")
        return;
    qputenv("VXM_UPDATE_NO_DIALOGS", "1");
}

} // namespace

int main(int argc, char** argv)
{
    settleHeadlessRun(argc, argv);
    QApplication app(argc, argv);
    const QString appDir = programFolder();

    // Another updater of this installation is running: raise it and leave everything to it. Its
    // update may still need the backups, so the clean-up below runs only when no other answered.
    if (notifyRunningInstance(QStringLiteral("#")))
        return 0;
    // Two updaters started in the same instant both find nobody listening: only one goes on.
    InstanceLock instanceLock;
    if (!instanceLock.acquire()) {
        notifyRunningInstance(QStringLiteral("#"), 5000);
        return 0;
    }
    // An updater of this installation started with another temporary folder or home.
    InstallationLock installationLock;
    if (!installationLock.acquire(appDir)) {
        showMessageBox(QMessageBox::Warning, nullptr, QObject::tr("Error"),
                       QObject::tr("Another updater is running for %1").arg(appDir));
        return 1;
    }
    // Before anything else touches the installation: a replacement that a crash cut short is
    // undone (or, when every file was already replaced, completed). Its backups may be the only
    // copies of the originals, so the leftovers stay while its journal cannot be cleared.
    QStringList recoveryLines;
    const JournalRecovery recovery = recoverReplaceJournal(appDir, [&recoveryLines](const QString& line) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(line));
        recoveryLines << line;
    });
    if (recovery != JournalRecovery::Kept && recovery != JournalRecovery::Busy)
        removeSelfUpdateLeftovers(appDir);

    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    if (updateTranslator.load(appDir + QStringLiteral("/translations/update_") + locale))
        app.installTranslator(&updateTranslator);
    if (qtTranslator.load(appDir + QStringLiteral("/translations/qt_") + locale))
        app.installTranslator(&qtTranslator);

    int result = 1;
    Configuration config;
    MainWindow window(&config);
    for (const QString& line : qAsConst(recoveryLines))
        window.appendLog(line);
    if (config.parseCommandLine()) {
        if (config.autoStart)
            QTimer::singleShot(2000, &window, &MainWindow::onAutoStartUpdate);
        window.updateHeaderText();
        window.show();
        window.setNewsText(config.newsHtml);
        result = app.exec();
    }
    return result;
}
