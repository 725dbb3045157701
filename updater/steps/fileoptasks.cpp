#include "fileoptasks.h"

#include "fileerror.h"
#include "fileopfault.h"
#include "nativepath.h"
#include "ownership.h"
#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The destination of a copy or unpack. It is created exclusively and without following links, so
// that nothing already at that name (a file, or a link that points elsewhere) is ever written
// through; until commit() succeeds, the file is removed again when the object goes away.
class OutputFile
{
public:
    ~OutputFile() { discard(); }

    bool create(const QString& path)
    {
        const QByteArray name = nativePath(path);
        fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return false;
        fileName = name;
        takeFolderOwner(path, fd);
        return true;
    }

    bool write(const char* data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += n;
            size -= size_t(n);
        }
        return true;
    }

    int handle() const { return fd; }

    bool commit()
    {
        const int result = ::close(fd);
        fd = -1;
        if (result != 0)
            return false;
        fileName.clear();
        return true;
    }

    void discard()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (!fileName.isEmpty())
            ::unlink(fileName.constData());
        fileName.clear();
    }

private:
    int fd = -1;
    QByteArray fileName; // set while this object owns a created, uncommitted file
};

// Emits progress in steps of at least one percent, so that a large file does not flood the queue.
class ProgressSteps
{
public:
    ProgressSteps(ASyncFunc* func, qint64 total) : func(func), total(total) {}
    void advance(qint64 done)
    {
        if (total <= 0)
            return;
        const double fraction = std::min(1.0, double(done) / double(total));
        if (fraction - last >= 0.01) {
            last = fraction;
            emit func->progress(fraction);
        }
    }

private:
    ASyncFunc* func;
    qint64 total;
    double last = 0.0;
};

// Copies a regular file to `to` (created exclusively, never through a link) with its permission
// bits and, as root, its owner; nothing stays at `to` when it fails.
bool copyKeepingMode(const QString& from, const QString& to)
{
    const int source = ::open(nativePath(from).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0)
        return false;
    struct stat st;
    OutputFile out;
    bool ok = ::fstat(source, &st) == 0 && S_ISREG(st.st_mode) && out.create(to);
    std::vector<char> buffer(ok ? 1 << 20 : 0);
    while (ok) {
        const ssize_t n = ::read(source, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = out.write(buffer.data(), size_t(n));
    }
    const int error = errno;
    ::close(source);
    if (ok && ::geteuid() == 0)
        (void)::fchown(out.handle(), st.st_uid, st.st_gid);
    ok = ok && ::fchmod(out.handle(), st.st_mode & 07777) == 0 && out.commit();
    if (!ok)
        errno = error;
    return ok;
}

} // namespace

// ---- delete ----------------------------------------------------------------------------------

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(path, parent, weight), mustSucceed(mustSucceed)
{
}

FileDeleteTaskSpecification::~FileDeleteTaskSpecification() = default;

bool FileDeleteTaskSpecification::runOperation()
{
    errno = 0;
    if (remove())
        return true;
    const int error = errno;
    // Nothing there (any more) is no problem where the deletion is optional.
    const bool absent = error == ENOENT || error == ENOTDIR;
    if (!mustSucceed && absent)
        return true;
    if (error != 0 || mustSucceed) {
        emit message(QString("Could not delete '%1'").arg(path));
        if (error != 0)
            emit message(fileErrorLine(path, error));
    }
    problem = true;
    return !mustSucceed;
}

bool folderLiesInside(const QString& boundary, const QString& folder)
{
    const QString root = QFileInfo(boundary).canonicalFilePath();
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    return !root.isEmpty() && !resolved.isEmpty() && (resolved == root || resolved.startsWith(root + '/'));
}

bool FileDeleteTaskSpecification::remove()
{
    if (injectedFileOpFault("delete", path)) {
        errno = EIO;
        return false;
    }

    QString target = QDir::cleanPath(path);
    QString root;
    if (!boundary.isEmpty()) {
        // Resolve the folder part through links, so that a linked folder cannot lead outside.
        root = QFileInfo(boundary).canonicalFilePath();
        const QFileInfo info(target);
        const QString name = info.fileName();
        const QString folder = QFileInfo(info.path()).canonicalFilePath();
        if (root.isEmpty() || folder.isEmpty()) {
            errno = ENOENT; // nothing there to delete
            return false;
        }
        if (!folderLiesInside(boundary, info.path()) || name.isEmpty() || name == "." || name == "..") {
            emit message(QString("Not deleting '%1': it is not inside the program folder").arg(path));
            errno = 0;
            problem = true;
            return false;
        }
        target = folder + '/' + name;
    }

    const QByteArray name = nativePath(target);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(name.constData()) == 0; // a file, or a link itself

    if (::rmdir(name.constData()) != 0)
        return false;
    const int error = errno;
    // Parents that have become empty go too, up to (not including) the boundary folder.
    QString parent = QFileInfo(target).path();
    while (parent != "/" && !parent.isEmpty()) {
        if (!root.isEmpty() && !parent.startsWith(root + '/'))
            break;
        if (::rmdir(nativePath(parent).constData()) != 0)
            break;
        parent = QFileInfo(parent).path();
    }
    errno = error;
    return true;
}

// ---- rename ----------------------------------------------------------------------------------

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                                         Existing existing, QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, parent, weight), sourcePath(sourcePath), existing(existing)
{
}

FileRenameTaskSpecification::~FileRenameTaskSpecification() = default;

bool FileRenameTaskSpecification::runOperation()
{
    const bool injected = injectedFileOpFault("rename", path);
    const bool renamed = !injected
                         && (existing == KeepExisting
                                 ? renameNoReplace(sourcePath, path)
                                 : ::rename(nativePath(sourcePath).constData(), nativePath(path).constData()) == 0);
    if (renamed)
        return true;
    const int error = injected ? EIO : errno;
    emit message(QString("Could not rename '%1' to '%2'").arg(sourcePath, path));
    emit message(renameErrorLine(sourcePath, path, error));
    return false;
}

// ---- link ------------------------------------------------------------------------------------

FileLinkTaskSpecification::FileLinkTaskSpecification(const QString& sourcePath, const QString& path,
                                                     QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, parent, weight), sourcePath(sourcePath)
{
}

FileLinkTaskSpecification::~FileLinkTaskSpecification() = default;

bool FileLinkTaskSpecification::runOperation()
{
    const bool injected = injectedFileOpFault("link", path);
    if (!injected && ::link(nativePath(sourcePath).constData(), nativePath(path).constData()) == 0)
        return true;
    const int error = injected ? EIO : errno;
    // A link the system refuses (another owner's file under fs.protected_hardlinks, a file system
    // without links) is replaced by a copy: the backup only has to hold the file whole.
    const bool refused = !injected && (error == EPERM || error == EXDEV || error == EMLINK || error == ENOTSUP);
    if (refused && copyKeepingMode(sourcePath, path)) {
        emit message(QString("Kept a copy of '%1' at '%2' (%3)").arg(sourcePath, path, qt_error_string(error)));
        return true;
    }
    emit message(QString("Could not link '%1' to '%2'").arg(sourcePath, path));
    emit message(renameErrorLine(sourcePath, path, error));
    return false;
}

// ---- folder creation -------------------------------------------------------------------------

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, parent, weight)
{
}

DirCreateTaskSpecification::~DirCreateTaskSpecification() = default;

bool DirCreateTaskSpecification::runOperation()
{
    return createLevel(path);
}

bool DirCreateTaskSpecification::createLevel(const QString& folder)
{
    const QFileInfo info(folder);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir").arg(folder));
        return false;
    }
    const QDir parent = info.dir();
    if (parent.path() == "." || info.isRoot()) {
        emit message(QString("Could not create dir %1").arg(path));
        return false;
    }
    if (!parent.exists() && !createLevel(parent.path()))
        return false;
    const bool injected = injectedFileOpFault("mkdir", folder);
    if (!injected && ::mkdir(nativePath(folder).constData(), 0777) == 0) {
        takeFolderOwner(folder);
        return true;
    }
    const int error = injected ? EIO : errno;
    emit message(QString("unable to create dir %1").arg(folder));
    emit message(fileErrorLine(folder, error));
    return false;
}

// ---- work objects ----------------------------------------------------------------------------

SlowFileOpFunc::SlowFileOpFunc(const QString& sourcePath, const QString& destinationPath, int mode,
                               std::shared_ptr<SlowFileOpControl> control)
    : sourcePath(sourcePath), destinationPath(destinationPath), mode(mode), control(std::move(control))
{
}

SlowFileOpFunc::~SlowFileOpFunc() = default;

bool SlowFileOpFunc::done(bool ok)
{
    int outcome = ok ? SlowFileOpControl::Succeeded : SlowFileOpControl::Failed;
    if (!ok && stopRequested())
        outcome = SlowFileOpControl::Stopped;
    control->outcome = outcome;
    return ok;
}

bool SlowFileOpFunc::failed(const QString& path, int error)
{
    return failed(fileErrorLine(path, error));
}

bool SlowFileOpFunc::failed(const QString& reasonLine)
{
    if (!stopRequested())
        control->setReason(reasonLine);
    return done(false);
}

bool FileCopyFunc::run()
{
    const QByteArray sourceName = nativePath(sourcePath);
    const int source = ::open(sourceName.constData(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return failed(sourcePath, errno);
    struct stat st = {};
    OutputFile out;
    // The file whose trouble ends the copy, and the system's reason.
    QString culprit = sourcePath;
    int error = 0;
    auto destinationFailed = [&](int why) {
        culprit = destinationPath;
        error = why;
    };
    if (::fstat(source, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (!out.create(destinationPath))
        destinationFailed(errno);
    else if (injectedFileOpFault("copy", destinationPath))
        destinationFailed(EIO);
    if (error == 0) {
        ProgressSteps progress(this, st.st_size);
        std::vector<char> buffer(1 << 20);
        qint64 copied = 0;
        for (;;) {
            if (stopRequested()) {
                error = ECANCELED;
                break;
            }
            const ssize_t n = ::read(source, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n == 0 ? 0 : errno;
                break;
            }
            if (!out.write(buffer.data(), size_t(n))) {
                destinationFailed(errno);
                break;
            }
            copied += n;
            progress.advance(copied);
        }
    }
    ::close(source);
    const mode_t permissions = mode >= 0 ? mode_t(mode) : st.st_mode & 07777;
    if (error == 0 && (::fchmod(out.handle(), permissions) != 0 || !out.commit()))
        destinationFailed(errno);
    return error == 0 ? done(true) : failed(culprit, error);
}

FileUnzipFunc::FileUnzipFunc(const QString& sourcePath, const QString& destinationPath, qint64 maxSize, int mode,
                             std::shared_ptr<SlowFileOpControl> control)
    : SlowFileOpFunc(sourcePath, destinationPath, mode, std::move(control)), maxSize(maxSize)
{
}

bool FileUnzipFunc::run()
{
    OutputFile out;
    if (!out.create(destinationPath))
        return failed(destinationPath, errno);
    errno = 0;
    gzFile gz = gzopen(nativePath(sourcePath).constData(), "rb");
    if (!gz)
        return failed(sourcePath, errno != 0 ? errno : ENOMEM);
    gzrewind(gz);

    // What ended the unpack: the reason line, or empty.
    QString reason;
    if (injectedFileOpFault("unzip", destinationPath))
        reason = fileErrorLine(destinationPath, EIO);
    // The stream's own trouble: the system's reason when reading failed, else zlib's account
    // (which zlib gives as "<path>: <what>").
    auto streamProblem = [&] {
        int errnum = Z_OK;
        const char* text = gzerror(gz, &errnum);
        if (errnum == Z_OK)
            return QString();
        return errnum == Z_ERRNO ? fileErrorLine(sourcePath, errno) : QFile::decodeName(text);
    };
    ProgressSteps progress(this, maxSize);
    qint64 written = 0;
    char buffer[16384];
    while (reason.isEmpty()) {
        if (stopRequested()) {
            reason = fileErrorLine(destinationPath, ECANCELED);
            break;
        }
        const int n = gzread(gz, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            reason = streamProblem();
            break;
        }
        written += n;
        if (maxSize >= 0 && written > maxSize) {
            reason = QString("%1 unpacks to more than the expected %2 bytes").arg(sourcePath).arg(maxSize);
            break;
        }
        if (!out.write(buffer, size_t(n)))
            reason = fileErrorLine(destinationPath, errno);
        progress.advance(written);
    }
    // A stream that ends early reads like a normal end of data; only the error state tells.
    if (reason.isEmpty())
        reason = streamProblem();
    const int closed = gzclose(gz);
    if (closed != Z_OK && reason.isEmpty())
        reason = closed == Z_ERRNO ? fileErrorLine(sourcePath, errno) : sourcePath + ": " + QString::fromLatin1(zError(closed));
    if (reason.isEmpty() && ((mode >= 0 && ::fchmod(out.handle(), mode_t(mode)) != 0) || !out.commit()))
        reason = fileErrorLine(destinationPath, errno);
    return reason.isEmpty() ? done(true) : failed(reason);
}

// ---- thread-pool tasks -----------------------------------------------------------------------

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failureMessage, const QString& sourcePath,
                                                 const QString& destinationPath, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight), sourcePath(sourcePath), destinationPath(destinationPath),
      failureMessage(failureMessage)
{
}

SlowFileOpSpecification::~SlowFileOpSpecification() = default;

void SlowFileOpSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state == Running && control)
        control->cancelRequested = true;
}

std::shared_ptr<SlowFileOpControl> SlowFileOpSpecification::newControl()
{
    control = std::make_shared<SlowFileOpControl>();
    return control;
}

void SlowFileOpSpecification::handleRunResult(bool res)
{
    if (state != Running)
        return;
    if (res) {
        finish();
        return;
    }
    if (control && control->outcome == SlowFileOpControl::Stopped) {
        userCancel();
        return;
    }
    emit message(failureMessage);
    const QString reason = control ? control->reason() : QString();
    if (!reason.isEmpty())
        emit message(reason);
    fail();
}

FileCopyTaskSpecification::FileCopyTaskSpecification(const QString& sourcePath, const QString& destinationPath,
                                                     QObject* parent, double weight)
    : SlowFileOpSpecification(QString("Could not copy '%1' to '%2'").arg(sourcePath, destinationPath), sourcePath,
                              destinationPath, parent, weight)
{
}

FileCopyTaskSpecification::~FileCopyTaskSpecification() = default;

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(sourcePath, destinationPath, mode, newControl());
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(const QString& sourcePath, const QString& destinationPath,
                                                       QObject* parent, double weight, qint64 maxSize)
    : SlowFileOpSpecification(QString("Could not unzip '%1' to '%2'").arg(sourcePath, destinationPath), sourcePath,
                              destinationPath, parent, weight),
      maxSize(maxSize)
{
}

FileUnzipTaskSpecification::~FileUnzipTaskSpecification() = default;

ASyncFunc* FileUnzipTaskSpecification::createFunc()
{
    return new FileUnzipFunc(sourcePath, destinationPath, maxSize, mode, newControl());
}
