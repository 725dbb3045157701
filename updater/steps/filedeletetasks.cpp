#include "filedeletetasks.h"

#include "fileoptasks.h"
#include "programfolder.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(const QStringList& deleteList, QObject* parent,
                                                                 double weight)
    : ComposedTaskSpecification(1, parent, weight), deleteList(deleteList)
{
}

FileDeleteListTaskSpecification::~FileDeleteListTaskSpecification() = default;

void FileDeleteListTaskSpecification::start()
{
    state = Running;
    emit message("Starting deleting files");
    const QStringList paths = deleteList;
    const QString folder = programFolder();
    const double childWeight = paths.isEmpty() ? 0.0 : 1.0 / paths.size();
    for (const QString& entry : paths) {
        auto* task = new FileDeleteTaskSpecification(false, QFileInfo(QDir(folder), entry).filePath(), this,
                                                     childWeight);
        task->setBoundary(folder);
        addTask(task);
    }
    startSubTasks();
}

bool FileDeleteListTaskSpecification::hasProblems() const
{
    for (const TaskSpecification* child : allTasks) {
        const auto* deletion = qobject_cast<const FileDeleteTaskSpecification*>(child);
        if (deletion && deletion->hadProblem())
            return true;
    }
    return false;
}

void FileDeleteListTaskSpecification::reset()
{
    deleteSubTasks();
    TaskSpecification::reset();
}
