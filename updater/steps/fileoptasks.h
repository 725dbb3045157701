#pragma once

// The small tasks that change one file or folder: delete, rename, link and folder creation run on
// the GUI thread inside start(); copy and unpack run on the global thread pool. None of them keeps
// a record: the replacement step plans its changes before it makes them (rollback.h).

#include "asynctaskspecification.h"
#include "fastfileoptaskspecification.h"

#include <atomic>
#include <memory>
#include <mutex>

// The folder `folder` (resolved through symbolic links) lies inside `boundary` (resolved the same
// way); false too when either is not there. The one rule for every change in the installation: the
// deletion refuses a path whose folder leads outside, and the replacement a release that would write
// there.
bool folderLiesInside(const QString& boundary, const QString& folder);

// Deletes a file, a symbolic link (the link itself, never its target) or an empty folder; a folder
// that becomes empty takes its empty parents with it, but never beyond the boundary folder.
//
// With a boundary set (setBoundary), the task touches nothing outside that folder: the path's
// folder is resolved through symbolic links first, and a path that leads outside is refused.
// With `mustSucceed` false the task finishes whatever happens; a path that is not there is no
// problem, any other failure sends "Could not delete '%1'" and the system's reason and counts as a
// problem (hadProblem). With true a deletion that fails sends the same and fails the task.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent, double weight);
    ~FileDeleteTaskSpecification() override;

    void setBoundary(const QString& folder) { boundary = folder; }
    // The path could not be deleted, or was refused (leads outside the boundary).
    bool hadProblem() const { return problem; }

protected:
    bool runOperation() override;

private:
    bool remove();

    bool mustSucceed;
    QString boundary;
    bool problem = false;
};

// Renames `sourcePath` to `path` in one step. With ReplaceExisting a file at `path` is replaced (the
// name holds the old or the new file at every instant); with KeepExisting nothing at `path` is ever
// replaced or followed, and the rename fails when anything is there.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    enum Existing { KeepExisting, ReplaceExisting };
    FileRenameTaskSpecification(const QString& sourcePath, const QString& path, Existing existing, QObject* parent,
                                double weight);
    ~FileRenameTaskSpecification() override;

protected:
    bool runOperation() override;

private:
    QString sourcePath;
    Existing existing;
};

// Gives the file `sourcePath` the further name `path` (a hard link; a symbolic link is linked
// itself, never followed). Fails when anything is at `path`. Where the system refuses the link
// (another owner's file under fs.protected_hardlinks, no hard links on the file system), `path`
// gets a copy with the file's permission bits instead, and a log line says so.
class FileLinkTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileLinkTaskSpecification(const QString& sourcePath, const QString& path, QObject* parent, double weight);
    ~FileLinkTaskSpecification() override;

protected:
    bool runOperation() override;

private:
    QString sourcePath;
};

// Creates the folder `path` with every missing parent. An existing folder is success.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString& path, QObject* parent, double weight);
    ~DirCreateTaskSpecification() override;

protected:
    bool runOperation() override;

private:
    bool createLevel(const QString& folder);
};

// Shared between a slow file task and its work object: the task's cancel request, and how the
// work ended, readable once the work has returned.
struct SlowFileOpControl
{
    enum Outcome { Working = 0, Succeeded = 1, Failed = 2, Stopped = 3 };
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> outcome{Working};

    // Why the work failed, one line for the log ("<path>: <system's reason>").
    void setReason(const QString& line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        why = line;
    }
    QString reason() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return why;
    }

private:
    mutable std::mutex mutex;
    QString why;
};

// The work object of a copy or unpack. The destination is created exclusively (an existing file or
// symbolic link there makes the work fail and is left alone) and removed again when the work fails
// or is stopped, so no partial file is ever left. With a `mode` (0 and above) the file gets it
// before it is closed. The work stops between blocks once the task is cancelled.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString& sourcePath, const QString& destinationPath, int mode,
                   std::shared_ptr<SlowFileOpControl> control);
    ~SlowFileOpFunc() override;

protected:
    // Records the outcome for the task and returns `ok`.
    bool done(bool ok);
    // Records a failure and its reason (the system's text for `error` on `path`, or a whole line).
    bool failed(const QString& path, int error);
    bool failed(const QString& reasonLine);
    bool stopRequested() const { return control->cancelRequested.load(); }

    QString sourcePath;
    QString destinationPath;
    int mode;
    std::shared_ptr<SlowFileOpControl> control;
};

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    // Copies the content, and the permission bits of the source unless a mode is given.
    bool run() override;
};

class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    // `maxSize` is the size the unpacked file must not exceed (below 0: unknown).
    FileUnzipFunc(const QString& sourcePath, const QString& destinationPath, qint64 maxSize, int mode,
                  std::shared_ptr<SlowFileOpControl> control);
    // Unpacks a gzip file in 16384-byte blocks; data that is not gzip-compressed is copied as it is.
    // A truncated or corrupt stream, or more data than `maxSize`, fails.
    bool run() override;

private:
    qint64 maxSize;
};

// A copy or unpack of one file on the global thread pool. On failure `failureMessage` is sent,
// followed by a line with the reason ("<path>: No space left on device").
// cancel() stops the work between blocks: the task then ends Aborted and leaves no file behind.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(const QString& failureMessage, const QString& sourcePath, const QString& destinationPath,
                            QObject* parent, double weight);
    ~SlowFileOpSpecification() override;

    void cancel() override;
    // The permission bits the written file gets (e.g. 0755); without, it keeps those the copy or
    // unpack gives it.
    void setMode(int permissions) { mode = permissions; }

protected:
    // A fresh control block for the work object of a new run.
    std::shared_ptr<SlowFileOpControl> newControl();
    void handleRunResult(bool res) override;

    QString sourcePath;
    QString destinationPath;
    QString failureMessage;
    int mode = -1;

private:
    std::shared_ptr<SlowFileOpControl> control;
};

class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(const QString& sourcePath, const QString& destinationPath, QObject* parent,
                              double weight);
    ~FileCopyTaskSpecification() override;

protected:
    ASyncFunc* createFunc() override;
};

class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    // `maxSize`: the known size of the unpacked file, which it must not exceed (below 0: unknown).
    FileUnzipTaskSpecification(const QString& sourcePath, const QString& destinationPath, QObject* parent,
                               double weight, qint64 maxSize = -1);
    ~FileUnzipTaskSpecification() override;

protected:
    ASyncFunc* createFunc() override;

private:
    qint64 maxSize;
};
