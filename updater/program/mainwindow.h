#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class Configuration;
class QCloseEvent;
class QTimer;
class SingleInstanceChecker;
class UpdateEngine;
namespace Ui {
class MainWindow;
}

// The updater's only window (a Qt Designer form): the header with target version and channel,
// the news and banner places, the overall progress, the download counters, a hidden log and the
// buttons Details, View Changes and the start button. The start button starts the update, restarts
// a failed or cancelled one ("Restart") and finally starts the client ("Start Voxmere"). The window
// owns the update engine and turns its signals into what the user sees; fatal errors end the
// program with exit code 1 (configuration) or 2 (engine).
//
// In an unattended run (Configuration::autoStart) main presses the start button after 2000 ms and
// the window starts the client by itself 1000 ms after a finished run, unless the change log is
// open. Without dialogs (withoutDialogs(), messagebox.h) a failed or cancelled unattended run
// writes the log to standard error and ends the program with exit code 3.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int autoStartClientDelayMs = 1000;
    // A banner image is refused when it announces more pixels than four banners of 468 x 60.
    static constexpr qint64 maxBannerPixels = 4 * 468 * 60;
    // An unattended run without dialogs that failed or was cancelled ends with it.
    static constexpr int unattendedFailureExitCode = 3;

    // `engine` replaces the update engine (tests drive the window with a stand-in); the window
    // takes it over as its child. By default the window makes the real one.
    explicit MainWindow(Configuration* config, UpdateEngine* engine = nullptr);
    ~MainWindow() override;

    void updateHeaderText();
    // Hands the news text to the news place of the window.
    void setNewsText(const QString& html);
    // Appends a line to the log (what the start-up did before the window was there).
    void appendLog(const QString& text) { onAppendText(text); }
    // Starts the program folder's vxmclient_runscript.sh as a detached process; false (after
    // telling the user) when it cannot be started.
    bool startClient();

    UpdateEngine* updateEngine() const { return engine; }

public slots:
    void onAutoStartUpdate();

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(double doneFrac);
    void onDownloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Passes a change of the contents' size to the scroll area that holds them.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Puts everything above the buttons into a scroll area bounded by the screen's available size.
    void fitIntoScreen();
    // Appends the lines that onAppendText() collected to the log in one go.
    void flushLog();

    std::unique_ptr<Ui::MainWindow> ui;
    Configuration* config;
    UpdateEngine* engine;
    SingleInstanceChecker* checker = nullptr;
    bool updateDone = false;
    bool quitRequested = false;
    // Log lines not yet in the log view; a run sends thousands, which are laid out together when
    // control returns to the event loop (logFlush, single shot, 0 ms).
    QStringList pendingLog;
    QTimer* logFlush = nullptr;
};
