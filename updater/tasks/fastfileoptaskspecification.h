#pragma once

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
    // `path` is the file or folder the operation works on.
    FastFileOpTaskSpecification(const QString& path, QObject* parent, double weight);
    ~FastFileOpTaskSpecification() override;

    void start() override;

protected:
    // Performs the operation on `path`; true for success.
    virtual bool runOperation() = 0;

    QString path;
};
