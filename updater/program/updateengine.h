#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Drives one update run on behalf of the main window: owns the program's network access (with the
// proxy of update.ini), prepares a run (signature check ready, temporary folder chosen and
// recorded in update.ini [current], mirror list loaded), builds and starts the task tree whose root
// is MainTaskSpecification, polls the transfers' time-outs and the download counters once a second
// and turns the root's end into updateFinished or updateCanceled. It shows nothing itself:
// everything goes out as signals.
// It also asks the banner service where the banner image lies and fetches it (one image at a
// time, http and https only, at most maxBannerBytes however many the server announces, within
// maxBannerMs). The image comes through a network access object of its own, whose thread no
// transfer of the update shares, so a banner server that floods or stalls never delays the update.
//
// States: Idle --prepareUpdate--> Prepared --startUpdate--> Running --> Finished (the window
// starts the client) or Cancelled (failed or aborted; releaseTask goes back to Idle for a restart).
//
// The temporary folder of a cancelled run stays, with its record, so that a restart of the same
// version reuses what was downloaded. A recorded folder is only ever reused or removed when it
// is one of this user's run folders: directly below the temporary path, named like a run folder,
// owned by the user, no symbolic link and not writable by others. Anything else is left alone and
// only the record is forgotten.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum EngineState { Idle = 0, Prepared = 1, Running = 2, Finished = 3, Cancelled = 4 };

    static constexpr int progressIntervalMs = 1000;
    // The most of a banner image that is ever taken, announced or received.
    static constexpr qint64 maxBannerBytes = 270000;
    // The longest a banner image may take, headers included.
    static constexpr int maxBannerMs = 20000;

    UpdateEngine(Configuration* config, QObject* parent);
    ~UpdateEngine() override;

    // The window calls these (virtual so that the window's tests can drive it with a stand-in).
    virtual void startBannerLookup();
    // True while Prepared or Running.
    virtual bool isRunning() const;
    // False after a fatal error (emitted) or a failed configuration step (the configuration has
    // emitted its fatal error); the state then stays as it was.
    virtual bool prepareUpdate();
    virtual bool startUpdate();
    // Back to Idle after a cancelled run.
    virtual void releaseTask();

    EngineState getState() const { return engineState; }
    QNetworkAccessManager* network() const { return networkManager; }
    MainTaskSpecification* task() const { return mainTask; }
    // The text of a proxy setting that could not be used (empty when the proxy is fine); the
    // window shows it in its log, since the engine is made before anybody listens to it.
    QString proxyProblem() const { return proxyError; }
    // True while a banner image is being fetched.
    bool isFetchingBanner() const { return bannerReply != nullptr; }

public slots:
    // Cancels a Running run; the run ends through updateCanceled once the tree has wound down.
    virtual void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(double doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

protected:
    EngineState engineState = Idle;

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    // The banner service named an image: fetch it (http and https only, one at a time).
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();

private:
    void setUpProxy();
    // Removes the recorded temporary folder of the finished run and its record.
    void removeTemporaryFiles();
    // Stops the banner download in flight without a banner.
    void dropBannerDownload();

    Configuration* config;
    Mirrors* mirrors = nullptr;
    MainTaskSpecification* mainTask = nullptr;
    QTimer* progressTimer;
    QNetworkAccessManager* networkManager;
    QNetworkAccessManager* bannerNetworkManager;
    QTimer* bannerTimer;
    QString proxyError;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;
};

// True when `folder` is one of this user's temporary run folders: an entry directly below the
// temporary path named "voxmere_temp_<0..999>", a real folder (no symbolic link), owned by the
// user and not writable by group or others.
bool isOwnRunFolder(const QString& folder);

// Removes the folder's files and sub-folders (hidden ones included) without following or removing
// symbolic links; failures are ignored. The folder itself stays.
void removeDirectoryRecursively(const QString& folder);
// removeDirectoryRecursively, then the folder itself; true when the folder is gone, else the
// system's reason ("<folder>: <reason>") in *reason.
bool removeRunFolder(const QString& folder, QString* reason = nullptr);
