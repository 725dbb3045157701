#pragma once
// Second step of an update: reads the verified product description and compiles what to download,
// replace and delete.

#include "asynctaskspecification.h"
#include "updatelists.h"

class Configuration;

class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // descriptionFile: the product description; installDir and tempDir without a trailing '/'.
    MakeDownloadReplaceListFunc(const QString& descriptionFile, const QString& installDir, const QString& tempDir,
                                UpdateLists* lists);
    bool run() override { return readProductIni(); }
    bool readProductIni();

private:
    bool invalidLine(const QString& group);

    QString descriptionFile;
    QString installDir;
    QString tempDir;
    UpdateLists* lists;
};

class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* config, UpdateLists* mainLists, QObject* parent,
                                             double weight);

protected:
    ASyncFunc* createFunc() override;
    void handleRunResult(bool res) override;

private:
    Configuration* config;
    UpdateLists* mainLists;
    UpdateLists ownLists;
};
