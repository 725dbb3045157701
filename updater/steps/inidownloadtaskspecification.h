#pragma once
// First step of an update: brings the product description and its signature into the temporary
// folder and verifies the signature, fetching both afresh after a failed check. A description
// that does not verify is most likely signed with another key, which no mirror can mend: after
// as many failed fetches as there are mirrors, and one more, the step fails and says so (error()).

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
struct RunSettings;
class Mirrors;
class QNetworkAccessManager;

class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Caps of what a mirror may send for the description and its signature.
    static constexpr qint64 maxDescriptionSize = 8 * 1024 * 1024;
    static constexpr qint64 maxSignatureSize = 4096;

    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, RunSettings* config,
                                 QObject* parent, double weight);

    void start() override;
    void reset() override;

    int getVerifyFailures() const { return verifyFailures; }
    // The text of the step's failure when no description verifies.
    static QString notSignedText();

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void buildIniDownloadTasks();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    RunSettings* config;
    int verifyFailures = 0;
    // Failed checks of a description fetched in that round (not one found in the folder), and
    // how many are allowed before the step gives up.
    int fetchedFailures = 0;
    int maxFetchedFailures = 1;
    bool fetchedThisRound = false;
};
