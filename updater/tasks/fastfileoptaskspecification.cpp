#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, QObject* parent, double weight)
    : TaskSpecification(parent, weight), path(path)
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
