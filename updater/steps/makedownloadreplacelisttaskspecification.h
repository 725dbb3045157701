#pragma once
// Second step of an update: reads the verified product description and compiles what to download,
// replace and delete.

#include "asynctaskspecification.h"
#include "updatelists.h"

#include <memory>

struct RunSettings;

class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // descriptionFile: the product description; installDir and tempDir without a trailing '/'.
    // `lists` are filled when the work succeeds; the task reads them once the result has arrived.
    MakeDownloadReplaceListFunc(const QString& descriptionFile, const QString& installDir, const QString& tempDir,
                                std::shared_ptr<UpdateLists> lists);
    bool run() override { return readProductIni(); }
    bool readProductIni();

private:
    bool invalidLine(const QString& group);

    QString descriptionFile;
    QString installDir;
    QString tempDir;
    std::shared_ptr<UpdateLists> lists;
};

class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // `mainLists` belong to the update and outlive the step; they change only when a run succeeds.
    MakeDownloadReplaceListTaskSpecification(RunSettings* config, UpdateLists& mainLists, QObject* parent,
                                             double weight);

protected:
    ASyncFunc* createFunc() override;
    void handleRunResult(bool res) override;

private:
    RunSettings* config;
    UpdateLists& mainLists;
    // What the current run's work fills; shared, so that work that outlives the task writes into
    // memory that is still there.
    std::shared_ptr<UpdateLists> ownLists;
};
