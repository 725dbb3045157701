// The plug-in's single manager: the catalogue, the broadcast switch, the scanner thread and the
// application-list commands it sends.
#ifndef RUNWATCHER_RUNWATCH_MANAGER_H
#define RUNWATCHER_RUNWATCH_MANAGER_H

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <set>

#include "app_entry.h"
#include "host_functions.h"

class ApplicationScan;
class RunwatcherThread;

// Where and how often the scanner looks, and how long stopping waits for a scan; tests point it
// at a fake process table.
struct ScanOptions {
    QString procRoot = QStringLiteral("/proc");
    int intervalMs = 3000;
    int stopWaitMs = 1000;
};

// Bounds on the catalogue apps.ini: beyond them its first part is used, and a log line says so.
constexpr int kMaxCatalogueBytes = 256 * 1024;
constexpr int kMaxCatalogueGroups = 4096;

class RunwatchManager : public QObject {
    Q_OBJECT

public:
    explicit RunwatchManager(const ScanOptions& options = ScanOptions());
    ~RunwatchManager() override;

    bool isEnabled() const { return enabled; }
    // Switches broadcasting on or off and stores the switch.
    void setEnabled(bool on);

    // Catalogue (apps.ini, parsed again only when the file changed) and the per-application opt-outs.
    bool loadApps();
    void reload();
    bool isAppEnabled(int id) const;
    void setAppEnabled(int id, bool on);
    const QHash<int, AppEntry*>& applications() const { return apps; }
    const QMap<quint16, QString>& categoryNames() const { return categories; }

    // The scanner thread. Stopping waits at most `stopWaitMs` for it and then leaves it behind.
    void startScanning();
    void stopScanning();
    bool isScanning() const { return scanThread != nullptr; }

    // The application-list command.
    QString buildCommand(vxm_uint64 sch) const;
    void sendToServer(vxm_uint64 sch);
    void sendToClient(vxm_uint64 sch, vxm_uint16 clid);
    void sendToAllServers();
    const QString& lastSent() const { return lastSentList; }

    // Used by the scanner thread: copies the catalogue into its registry, and turns the ids of
    // running applications into the list to broadcast (false when nothing is to be emitted).
    void registerCatalogue(ApplicationScan& scanner, RunwatcherThread* thread);
    bool broadcastingEnabled();
    bool listForScan(const std::set<int>& runningIds, QString* list);

signals:
    void requestStartScanning();
    void requestStopScanning();

public slots:
    void onBroadcast(QString data);

private:
    void clearCatalogue();
    // Sends the application-list command with a fresh return code to `targetMode`'s receivers.
    void sendCommand(vxm_uint64 sch, int targetMode, const vxm_uint16* targetIDs);

    RunwatcherThread* scanThread = nullptr;
    bool enabled = false;  // written under mutex: the scanner reads it
    QString lastSentList;
    QHash<int, AppEntry*> apps;
    QMap<quint16, QString> categories;
    // The catalogue as last parsed, with the stamp (file and change time) of the text it came from.
    struct ParsedCatalogue {
        QByteArray stamp;
        QMap<quint16, QString> categories;
        QHash<int, AppEntry> apps;  // `enabled` is read from the settings at each load
    };
    ParsedCatalogue parsed;
    QMutex mutex;          // guards the catalogue and the switch against the scanner thread
    ScanOptions scanOptions;
};

#endif
