#include "rollback.h"

#include "fileerror.h"
#include "fileopfault.h"

#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void report(QObject* reporter, const QString& text)
{
    if (!reporter)
        return;
    QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

} // namespace

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // The file system cannot refuse a replacement itself: a hard link never replaces anything
    // (nor follows a link at the target); the old name goes once the new one exists.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    if (::unlink(source.constData()) != 0) {
        ::unlink(target.constData());
        return false;
    }
    return true;
}

bool RollbackData::rollback(QObject* reporter) const
{
    // A test may make the undo fail; the system's reason is then an I/O error.
    const bool injected = injectedFileOpFault("undo", path);
    const QByteArray name = QFile::encodeName(path);
    auto failed = [&](const QString& warning) {
        const int error = injected ? EIO : errno;
        report(reporter, warning);
        report(reporter, type == Renamed ? renameErrorLine(path, previousPath, error) : fileErrorLine(path, error));
        return false;
    };
    switch (type) {
    case Renamed:
        if (!injected && renameNoReplace(path, previousPath))
            return true;
        return failed(QString("warning: rollback rename %1 to %2 failed").arg(previousPath, path));
    case CreatedFile:
        if (!injected && ::unlink(name.constData()) == 0)
            return true;
        return failed(QString("warning: rollback create file %1 failed").arg(path));
    case CreatedDir:
        if (!injected && ::rmdir(name.constData()) == 0)
            return true;
        return failed(QString("warning: rollback create dir %1 failed").arg(path));
    default:
        // No writer produces other types; a damaged record must not end the process in the middle
        // of a rollback, so it is logged and counted as a failed undo.
        qCritical("Should not reach here: rollback record of unknown type %d for %s", type, qUtf8Printable(path));
        return false;
    }
}

void addRollbackRecord(RollbackJournal& journal, const RollbackData& record)
{
    journal.append(record);
}

void mergeJournal(RollbackJournal& journal, RollbackJournal& other)
{
    if (&journal == &other)
        return;
    journal.append(other);
    other.clear();
}

bool rollbackAll(RollbackJournal& journal, QObject* reporter)
{
    bool result = true;
    while (!journal.isEmpty()) {
        const RollbackData record = journal.takeLast();
        if (!record.rollback(reporter))
            result = false;
    }
    return result;
}
