#pragma once
// The download mirrors of one update run: where they are, how many transfers each serves at once
// and how often each has failed.

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

struct MirrorRecord
{
    QString name;
    QString url;
    int retries = 0;
    int idleTimeoutTicks = 15;
    int failures = 0;
    int inUse = 0;
    int capacity = 1;
};

class QNetworkAccessManager;

class Mirrors : public QObject
{
    Q_OBJECT

public:
    enum AcquireResult { Acquired = 0, NoMirrors = 1, AllBusy = 2 };

    // Returns a number from 0 to bound - 1.
    using RandomSource = std::function<quint32(quint32 bound)>;

    explicit Mirrors(QObject* parent = nullptr);
    ~Mirrors() override;

    // The most mirrors that mirrors.ini may list.
    static constexpr int maxMirrors = 64;

    // Appends the mirrors listed in mirrors.ini; a missing or empty file yields none. A list of
    // more than maxMirrors is refused (fatalError, false) before it is read.
    bool loadMirrorsIni(const QString& path, int version);
    // Appends the alpha channel's mirror from update.ini; false after fatalError when it is unset.
    bool loadAlphaMirror(const QString& updateIniPath, int version);

    AcquireResult acquireMirror(MirrorRecord& mirror);
    void releaseMirror(const MirrorRecord& mirror);
    void markMirrorFailed(const MirrorRecord& mirror);
    void removeMirror(const MirrorRecord& mirror);

    const QVector<MirrorRecord>& list() const { return mirrors; }
    // The network access object of a mirror's transfers: one per mirror name, made on first use
    // with the proxy of `model`. Each has a network thread of its own, so a mirror that floods or
    // stalls keeps no other mirror's transfers waiting.
    QNetworkAccessManager* networkFor(const MirrorRecord& mirror, QNetworkAccessManager* model);
    // The random choice among free mirrors; QRandomGenerator unless replaced.
    void setRandomSource(RandomSource source);

signals:
    void fatalError(QString errorMessage);
    void message(QString message);
    // A transfer through one of networkFor's objects has ended (a mirror may have become free).
    void transferFinished();

private:
    int indexOf(const QString& name) const;
    static QString versionedUrl(QString base, int version);

    QVector<MirrorRecord> mirrors;
    QHash<QString, QNetworkAccessManager*> networks;
    bool noMirrorsReported = false;
    RandomSource random;
};
