#include "downloadfilelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"
#include "runsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(const QList<DownloadEntry>& downloadList,
                                                                     QNetworkAccessManager* networkManager,
                                                                     Mirrors* mirrors, RunSettings* config,
                                                                     QObject* parent, double weight)
    : ComposedTaskSpecification(config->streams < 1 ? 6 : config->streams, parent, weight)
    , downloadList(downloadList)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
{
}

void DownloadFileListTaskSpecification::start()
{
    buildDownloadTasks();
}

void DownloadFileListTaskSpecification::reset()
{
    deleteSubTasks();
    totalBytes = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadProgress(quint64& done, quint64& total, quint64& speed,
                                                            bool& downloading)
{
    quint64 ignoredTotal = 0;
    ComposedTaskSpecification::getDownloadProgress(done, ignoredTotal, speed, downloading);
    total = totalBytes;
}

void DownloadFileListTaskSpecification::buildDownloadTasks()
{
    state = Running;
    if (downloadList.isEmpty()) {
        emit message("No downloads needed");
        finish();
        return;
    }
    if (!createTargetFolders())
        return;
    emit message("Downloading files");
    const double share = 1.0 / downloadList.size();
    for (const DownloadEntry& entry : downloadList) {
        addTask(new DownloadFileTaskSpecification(entry, networkManager, mirrors, config, this, share));
        totalBytes += entry.size;
    }
    startSubTasks();
}

bool DownloadFileListTaskSpecification::createTargetFolders()
{
    QSet<QString> made{"."};
    const QDir temp(config->tempDir);
    for (const DownloadEntry& entry : downloadList) {
        const QString folder = QFileInfo(entry.path).path();
        if (made.contains(folder))
            continue;
        if (!temp.mkpath(folder)) {
            emit message(QString("Could not create dir %1").arg(temp.canonicalPath() + "/" + folder));
            fail();
            return false;
        }
        made.insert(folder);
    }
    return true;
}

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry& entry,
                                                             QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                             RunSettings* config, QObject* parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , entry(entry)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
{
}

void DownloadFileTaskSpecification::start()
{
    buildDownloadAndCheck();
}

void DownloadFileTaskSpecification::reset()
{
    deleteSubTasks();
    download = nullptr;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::buildDownloadAndCheck()
{
    const QString remote = entry.group + "/" + entry.path;
    const QString local = config->tempDir + "/" + entry.path;
    download = new DownloadTaskSpecification(networkManager, mirrors, remote, local, qint64(entry.size), this, 0.8);
    addTask(download);
    auto* check = new CheckSignatureTaskSpecification(local, entry.md5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addTask(check);
    state = Running;
    startSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    if (mirrors && download)
        mirrors->removeMirror(download->mirrorRecord());
    download = nullptr;
    if (restartRoundLater([this] { buildDownloadAndCheck(); }))
        emit message(QString("md5 sum for %1 failed, invalidating mirror and retrying").arg(entry.path));
}
