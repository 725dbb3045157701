#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackJournal* journal, QObject* parent,
                                                         double weight)
    : TaskSpecification(parent, weight), journal(journal), path(path)
{
}

FastFileOpTaskSpecification::~FastFileOpTaskSpecification() = default;

void FastFileOpTaskSpecification::start()
{
    state = Running;
    if (runOperation())
        finish();
    else
        fail();
}

void FastFileOpTaskSpecification::recordRollback(const RollbackData& entry)
{
    if (journal)
        journal->append(entry);
}
