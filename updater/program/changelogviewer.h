#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// The change-log dialog of "View Changes": downloads <mirror>/<version>/changelog_client.txt and
// shows it as plain text. At most one exists at a time; it is deleted when it is closed.
//
// Mirrors come from the settings files beside the program, not from the update run: the alpha
// address of update.ini ([Channel] alpha) alone when it is set, else the mirrors of mirrors.ini
// in random order, each tried once. A mirror that fails, answers with anything but the file
// (another status than 200, a "document has moved" page, more than maxChangeLogBytes) or stays
// silent for the bound (16 s, as a transfer of the update may) is skipped; when none is left the
// dialog says "Failed to load changelog." followed by one line per mirror tried and its reason.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT
public:
    static constexpr int defaultMirrorTimeoutMs = 16000;
    static constexpr qint64 maxChangeLogBytes = 4 * 1024 * 1024;

    // Creates the viewer for `version` if none exists and starts loading; in every case shows,
    // raises and activates it (a viewer that exists keeps its version and is not reloaded).
    static void showChangeLog(QWidget* parent, const QString& version);
    // The viewer that exists, or null.
    static ChangeLogViewer* instance() { return m_instance; }
    // Tests shorten the bound of one mirror's silence (0 restores the default).
    static void setMirrorTimeoutForTesting(int ms);

    ~ChangeLogViewer() override;

    // Loads the change log of `version` (empty: the version of the previous call) from the next
    // mirror; nothing happens while a download is in flight.
    void requestChangelog(const QString& version);

private slots:
    void onRequestFinished();
    void onRequestTimeout();

private:
    explicit ChangeLogViewer(QWidget* parent);
    QString nextMirror();
    QString randomMirror();
    void showText(const QString& text);
    // Gives up the mirror in flight for `reason` (shown if no mirror delivers).
    void abandon(const QString& reason);

    static ChangeLogViewer* m_instance;
    static int mirrorTimeoutMs;

    QTextEdit* textEdit;
    QNetworkAccessManager* network = nullptr;
    QNetworkReply* reply = nullptr;
    QTimer* timer = nullptr;
    QStringList mirrors;
    // "<address>: <reason>" of every mirror that failed, and the reason to give the one in flight
    // when it is aborted.
    QStringList failures;
    QString abortReason;
    bool mirrorsLoaded = false;
    QString version;
};
