#pragma once

#include "rollback.h"
#include "taskspecification.h"

// A task that performs one small file operation synchronously on the GUI thread.
//
// start() sets the state to Running, calls runOperation() and ends the task at once: Finished
// when it returns true, Failed when false. Everything, including the signals of the ending,
// happens inside start(). runOperation() reports its own texts through message() or error().
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // `path` is the file or folder the operation works on; `journal` is the rollback journal that
    // successful changes are recorded in (not owned; null records nothing).
    FastFileOpTaskSpecification(const QString& path, RollbackJournal* journal, QObject* parent, double weight);
    ~FastFileOpTaskSpecification() override;

    void start() override;

    const QString& getPath() const { return path; }

protected:
    // Performs the operation on `path`; true for success.
    virtual bool runOperation() = 0;
    // Appends `entry` to the journal when one is set.
    void recordRollback(const RollbackData& entry);

    RollbackJournal* journal;
    QString path;
};
