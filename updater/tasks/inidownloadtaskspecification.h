#pragma once
// First step of an update: brings the product description and its signature into the temporary
// folder and verifies the signature, fetching both afresh after a failed check.

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int maxVerifyFailures = 1000;
    // Caps of what a mirror may send for the description and its signature.
    static constexpr qint64 maxDescriptionSize = 8 * 1024 * 1024;
    static constexpr qint64 maxSignatureSize = 4096;

    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, Configuration* config,
                                 QObject* parent, double weight);

    void start() override;
    void reset() override;

    int getVerifyFailures() const { return verifyFailures; }

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void buildIniDownloadTasks();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    int verifyFailures = 0;
};
