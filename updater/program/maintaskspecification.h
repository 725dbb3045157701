#pragma once

#include "composedtaskspecification.h"
#include "updatelists.h"

class Configuration;
class FileDeleteListTaskSpecification;
class FileReplaceListTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// The root of an update run: its five steps one after another (weights of the progress):
//   1. download and verify the product description               0.1
//   2. compile the download, replace and delete lists            0.05
//   3. download every listed file (as many at once as `streams`)  0.4
//   4. replace the installed files, keeping backups               0.4
//   5. delete the files of the delete list (backups included)     0.05
// The first step that fails or aborts ends the root the same way; the later ones never start.
// The lists live here and are handed to the steps by reference.
//
// Once step 4 has replaced every file the update is done in substance: a cancel no longer stops
// it (one that came while the last files were replaced is dropped), step 5 runs and the run
// finishes, so that what the run reports is what the installation holds. When the run finishes
// the replace journal goes.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr double descriptionWeight = 0.1;
    static constexpr double listWeight = 0.05;
    static constexpr double downloadWeight = 0.4;
    static constexpr double replaceWeight = 0.4;
    static constexpr double deleteWeight = 0.05;

    MainTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, Configuration* config,
                          QObject* parent, double weight);
    ~MainTaskSpecification() override;

    void start() override;
    void reset() override;
    void cancel() override;
    // The run finished, but some file of the delete list could not be deleted (the log names it).
    bool finishedWithWarnings() const;

protected:
    void complete() override;

private slots:
    void onFilesReplaced();

private:
    void buildUpdateSteps();

    FileReplaceListTaskSpecification* replaceStep = nullptr;
    FileDeleteListTaskSpecification* deleteStep = nullptr;

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    UpdateLists lists;
};
