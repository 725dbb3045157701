#pragma once
// Third step of an update: fetches every listed file into the temporary folder, several at a time,
// each verified against its MD5 sum; a wrong sum costs the serving mirror and the file is fetched
// again.

#include "composedtaskspecification.h"
#include "updatelists.h"

class CheckSignatureTaskSpecification;
struct RunSettings;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(const QList<DownloadEntry>& downloadList, QNetworkAccessManager* networkManager,
                                      Mirrors* mirrors, RunSettings* config, QObject* parent, double weight);

    void start() override;
    void reset() override;
    void getDownloadProgress(quint64& done, quint64& total, quint64& speed, bool& downloading) override;

private:
    void buildDownloadTasks();
    bool createTargetFolders();

    const QList<DownloadEntry>& downloadList;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    RunSettings* config;
    quint64 totalBytes = 0;
};

class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                  RunSettings* config, QObject* parent, double weight);

    void start() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void buildDownloadAndCheck();

    DownloadEntry entry;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    RunSettings* config;
    DownloadTaskSpecification* download = nullptr;
};
