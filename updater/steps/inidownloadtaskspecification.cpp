#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"
#include "runsettings.h"

#include <QFile>

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                           RunSettings* config, QObject* parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
{
}

void IniDownloadTaskSpecification::start()
{
    emit message("Download / check product ini");
    // One fetch from each mirror, and one more for a transfer that went wrong.
    maxFetchedFailures = (mirrors ? int(mirrors->list().size()) : 0) + 1;
    buildIniDownloadTasks();
}

void IniDownloadTaskSpecification::reset()
{
    deleteSubTasks();
    verifyFailures = 0;
    fetchedFailures = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::buildIniDownloadTasks()
{
    const QString iniName = config->clientType + ".ini";
    const QString sigName = iniName + ".sig";
    const QString localIni = config->tempDir + "/" + iniName;
    const QString localSig = localIni + ".sig";

    double checkWeight = 1.0;
    fetchedThisRound = verifyFailures > 0 || !QFile::exists(localIni);
    if (fetchedThisRound) {
        addTask(new DownloadTaskSpecification(networkManager, mirrors, iniName, localIni, -1, this, 0.3333,
                                              maxDescriptionSize));
        checkWeight = 0.6667;
    }
    if (verifyFailures > 0 || !QFile::exists(localSig)) {
        addTask(new DownloadTaskSpecification(networkManager, mirrors, sigName, localSig, -1, this, 0.3333,
                                              maxSignatureSize));
        checkWeight -= 0.3333;
    }
    auto* check = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &IniDownloadTaskSpecification::onSigCheckDone);
    addTask(check);

    state = Running;
    startSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    ++verifyFailures;
    if (fetchedThisRound && ++fetchedFailures >= maxFetchedFailures) {
        emit message("Could not verify the product ini file. Aborting");
        emit error(notSignedText());
        fail();
        return;
    }
    if (restartRoundLater([this] { buildIniDownloadTasks(); }))
        emit message("Could not verify the product ini file. Retrying");
}

QString IniDownloadTaskSpecification::notSignedText()
{
    return QStringLiteral("The product description's signature does not verify: the release is not signed with the key "
                          "this updater trusts");
}
