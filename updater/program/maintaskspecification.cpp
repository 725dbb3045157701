#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletetasks.h"
#include "filereplacetasks.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                             Configuration* config, QObject* parent, double weight)
    : ComposedTaskSpecification(1, parent, weight), networkManager(networkManager), mirrors(mirrors), config(config)
{
}

MainTaskSpecification::~MainTaskSpecification() = default;

void MainTaskSpecification::start()
{
    emit message(QStringLiteral("Starting update process"));
    buildUpdateSteps();
}

void MainTaskSpecification::buildUpdateSteps()
{
    addTask(new IniDownloadTaskSpecification(networkManager, mirrors, config, this, descriptionWeight));
    addTask(new MakeDownloadReplaceListTaskSpecification(config, lists, this, listWeight));
    addTask(new DownloadFileListTaskSpecification(lists.downloadList, networkManager, mirrors, config, this,
                                                  downloadWeight));
    replaceStep = new FileReplaceListTaskSpecification(lists.replaceList, lists.deleteList, config, this, replaceWeight);
    addTask(replaceStep);
    connect(replaceStep, &TaskSpecification::finished, this, &MainTaskSpecification::onFilesReplaced);
    deleteStep = new FileDeleteListTaskSpecification(lists.deleteList, this, deleteWeight);
    addTask(deleteStep);
    state = Running;
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    deleteSubTasks();
    replaceStep = nullptr;
    deleteStep = nullptr;
    lists = UpdateLists();
    TaskSpecification::reset();
}

void MainTaskSpecification::cancel()
{
    if (replaceStep && replaceStep->getState() == Finished)
        return;
    ComposedTaskSpecification::cancel();
}

void MainTaskSpecification::onFilesReplaced()
{
    // A cancel that arrived while the last files were replaced did not stop them (the last
    // checks ran to their end): finish the update rather than report an abort of a done one.
    if (cancelRequested) {
        cancelRequested = false;
        deleteStep->reset();
    }
}

void MainTaskSpecification::complete()
{
    if (aggregateState() == Finished && replaceStep)
        replaceStep->removeJournal();
    ComposedTaskSpecification::complete();
}

bool MainTaskSpecification::finishedWithWarnings() const
{
    return deleteStep && deleteStep->hasProblems();
}
