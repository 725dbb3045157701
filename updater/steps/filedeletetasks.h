#pragma once

#include "composedtaskspecification.h"

#include <QStringList>

// The delete step: removes every path of the update's delete list (the product description's
// "delete" entries and the backups the replacement step handed over), one after the other.
// Paths are relative to the program folder, and nothing outside it is touched: a path that leads
// outside (absolute, through "..", or through a linked folder) is skipped, and emptied folders are
// removed up to, never including, the program folder. A missing path is no error; one that cannot
// be deleted is named in the log and counted (hasProblems). The step only ends other than Finished
// when it is cancelled.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // `deleteList` is the update's list, which outlives the step; it is read when the step starts.
    FileDeleteListTaskSpecification(const QStringList& deleteList, QObject* parent, double weight);
    ~FileDeleteListTaskSpecification() override;

    void start() override;
    void reset() override;
    // Some path of the list could not be deleted or was refused.
    bool hasProblems() const;

private:
    const QStringList& deleteList;
};
