#include "asynctaskspecification.h"

#include <QThreadPool>

#include <exception>

ASyncFunc::ASyncFunc() : QObject(nullptr) {}

ASyncFunc::~ASyncFunc() = default;

ASyncRun::ASyncRun(ASyncFunc* func) : func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    bool result = false;
    try {
        result = func->run();
    } catch (const std::exception& e) {
        emit func->error(QString::fromLocal8Bit(e.what()));
        result = false;
    } catch (...) {
        emit func->error(QStringLiteral("Unexpected failure in background work"));
        result = false;
    }
    emit func->runResult(result);
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double weight) : TaskSpecification(parent, weight) {}

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::start()
{
    ++runNumber;
    ASyncFunc* func = createFunc();
    state = Running;
    if (!func) {
        fail();
        return;
    }
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    // Whatever the earlier work object still has in the event queue belongs to a finished run.
    ++runNumber;
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    const quint64 run = runNumber;
    // The lambdas are bound to this task as context: they run queued on its (the GUI) thread,
    // are dropped with the task, and check that the report still belongs to the current run.
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (run == runNumber)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString& text) {
            if (run == runNumber)
                emit message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString& text) {
            if (run == runNumber)
                emit error(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](double progress) {
            if (run == runNumber)
                onProgress(progress);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::handleRunResult(bool res)
{
    if (state != Running)
        return;
    if (res)
        finish();
    else
        fail();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    handleRunResult(res);
}

void ASyncTaskSpecification::onProgress(double progress)
{
    setProgress(progress);
}
