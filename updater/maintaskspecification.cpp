#include "maintaskspecification.h"

#include "tasks/downloadfilelisttaskspecification.h"
#include "tasks/filedeletetasks.h"
#include "tasks/filereplacetasks.h"
#include "tasks/inidownloadtaskspecification.h"
#include "tasks/makedownloadreplacelisttaskspecification.h"

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
    addTask(new MakeDownloadReplaceListTaskSpecification(config, &lists, this, listWeight));
    addTask(new DownloadFileListTaskSpecification(&lists.downloadList, networkManager, mirrors, config, this,
                                                  downloadWeight));
    addTask(new FileReplaceListTaskSpecification(&lists.replaceList, &lists.deleteList, config, this, replaceWeight));
    addTask(new FileDeleteListTaskSpecification(&lists.deleteList, this, deleteWeight));
    state = Running;
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    deleteSubTasks();
    lists = UpdateLists();
    TaskSpecification::reset();
}
