#include "replacejournal.h"

#include "fileerror.h"
#include "fileopfault.h"
#include "rollback.h"
#include "updatelists.h"

#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray header = "VXM replace journal 1";

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

bool present(const QString& path)
{
    struct stat status;
    return ::lstat(nativePath(path).constData(), &status) == 0;
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* next = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        next += n;
        left -= size_t(n);
    }
    return true;
}

bool readAll(int fd, QByteArray& data)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data.append(buffer, int(n));
    }
}

// Makes the entries of a folder (a created, renamed or removed name) durable.
bool syncFolder(const QString& folder)
{
    const int fd = ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

bool lockExclusively(int fd)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

QByteArray crcText(const QByteArray& body)
{
    const uLong crc = ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    return QByteArray::number(quint32(crc), 16).rightJustified(8, '0');
}

QByteArray field(const QString& path)
{
    return path.toUtf8().toPercentEncoding("/");
}

QByteArray record(const QByteArray& body)
{
    return body + ' ' + crcText(body) + '\n';
}

QByteArray record(const PlannedChange& change)
{
    switch (change.kind) {
    case PlannedChange::CreateDir:
        return record("D " + field(change.path));
    case PlannedChange::NewFile:
        return record("N " + field(change.path));
    case PlannedChange::ReplaceFile:
        break;
    }
    return record("P " + field(change.path) + ' ' + field(change.backup) + ' ' + field(change.earlierBackup));
}

QString keptText()
{
    return QStringLiteral("Not every change could be undone; the journal '%1' is kept for the next start");
}

bool isBackupPath(const QString& path)
{
    return isSafeRelativePath(path) && path.startsWith(QLatin1String("old/"));
}

struct ParsedJournal
{
    bool readable = false;
    bool committed = false;
    QList<PlannedChange> plan;
};

// One line without its line end; false when it is no valid record.
bool parseRecord(const QByteArray& line, ParsedJournal& journal)
{
    const int blank = line.lastIndexOf(' ');
    if (blank < 0 || line.mid(blank + 1) != crcText(line.left(blank)))
        return false;
    const QList<QByteArray> fields = line.left(blank).split(' ');
    const QByteArray kind = fields.value(0);
    if (kind == "C" && fields.size() == 1) {
        journal.committed = true;
        return true;
    }
    PlannedChange change;
    auto text = [&](int i) { return QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value(i))); };
    change.path = text(1);
    if (!isSafeRelativePath(change.path))
        return false;
    if (kind == "D" && fields.size() == 2) {
        change.kind = PlannedChange::CreateDir;
    } else if (kind == "N" && fields.size() == 2) {
        change.kind = PlannedChange::NewFile;
    } else if (kind == "P" && fields.size() == 4) {
        change.kind = PlannedChange::ReplaceFile;
        change.backup = text(2);
        change.earlierBackup = text(3);
        if (!isBackupPath(change.backup) || (!change.earlierBackup.isEmpty() && !isBackupPath(change.earlierBackup)))
            return false;
    } else {
        return false;
    }
    journal.plan << change;
    return true;
}

ParsedJournal parseJournal(const QByteArray& data)
{
    ParsedJournal journal;
    QList<QByteArray> lines = data.split('\n');
    // The last piece has no line end: empty after a complete file, else a record cut off.
    lines.removeLast();
    if (lines.isEmpty() || lines.first() != header)
        return journal;
    int i = 1;
    while (i < lines.size() && parseRecord(lines[i], journal))
        ++i;
    // A bad record is the cut-off end of the last write only if nothing valid follows it.
    for (int j = i + 1; j < lines.size(); ++j) {
        ParsedJournal probe;
        if (parseRecord(lines[j], probe))
            return journal;
    }
    journal.readable = true;
    return journal;
}

// Runs one step of an undo unless a test makes it fail; false with errno set when it failed.
template <typename Operation>
bool undoStep(bool injected, Operation operation)
{
    if (injected) {
        errno = EIO;
        return false;
    }
    return operation();
}

// Undoes the plan, newest change first, from what the installation shows. Returns false when a
// file could not be put back (a folder that stays is only reported).
bool undoPlan(const QString& installation, const QList<PlannedChange>& plan, const JournalReporter& report)
{
    bool complete = true;
    auto failed = [&](const QString& warning, const QString& reasonLine) {
        report(warning);
        report(reasonLine);
    };
    for (int i = plan.size() - 1; i >= 0; --i) {
        const PlannedChange& change = plan[i];
        const QString path = installation + QLatin1Char('/') + change.path;
        const QByteArray name = nativePath(path);
        const bool injected = injectedFileOpFault("undo", path);
        switch (change.kind) {
        case PlannedChange::CreateDir:
            if (!undoStep(injected, [&] { return ::rmdir(name.constData()) == 0 || errno == ENOENT; }))
                failed(QString("warning: rollback create dir %1 failed").arg(path), fileErrorLine(path, errno));
            break;
        case PlannedChange::NewFile:
            if (!undoStep(injected, [&] { return !present(path) || ::unlink(name.constData()) == 0; })) {
                failed(QString("warning: rollback create file %1 failed").arg(path), fileErrorLine(path, errno));
                complete = false;
            }
            break;
        case PlannedChange::ReplaceFile: {
            // Without the backup, the installed file was never moved (or is back already).
            const QString backup = installation + QLatin1Char('/') + change.backup;
            if (!present(backup))
                break;
            if (!undoStep(injected, [&] { return !present(path) || ::unlink(name.constData()) == 0; })) {
                failed(QString("warning: rollback create file %1 failed").arg(path), fileErrorLine(path, errno));
                complete = false;
            } else if (!renameNoReplace(backup, path)) {
                failed(QString("warning: rollback rename %1 to %2 failed").arg(path, backup),
                       renameErrorLine(backup, path, errno));
                complete = false;
            }
            break;
        }
        }
    }
    return complete;
}

} // namespace

ReplaceJournal::ReplaceJournal(const QString& installation)
    : installation(installation), path(pathIn(installation))
{
}

ReplaceJournal::~ReplaceJournal()
{
    close();
}

QString ReplaceJournal::pathIn(const QString& installation)
{
    return installation + QStringLiteral("/old/replace.journal");
}

void ReplaceJournal::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ReplaceJournal::begin(const QList<PlannedChange>& changes, QStringList* problems)
{
    const QString oldFolder = installation + QStringLiteral("/old");
    auto failed = [&](const QString& what, const QString& where) {
        const int error = errno;
        *problems << what.arg(path) << fileErrorLine(where, error);
        close();
        return false;
    };
    if (!present(oldFolder)) {
        if (::mkdir(nativePath(oldFolder).constData(), 0777) != 0)
            return failed(QStringLiteral("Could not create the rollback journal '%1'"), oldFolder);
        madeOldFolder = true;
    }
    fd = ::open(nativePath(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, 0644);
    if (fd < 0)
        return failed(QStringLiteral("Could not create the rollback journal '%1'"), path);
    lockExclusively(fd);
    QByteArray data = header + '\n';
    for (const PlannedChange& change : changes)
        data += record(change);
    if (!writeAll(fd, data) || ::fdatasync(fd) != 0 || !syncFolder(oldFolder)
        || (madeOldFolder && !syncFolder(installation))) {
        failed(QStringLiteral("Could not write the rollback journal '%1'"), path);
        ::unlink(nativePath(path).constData());
        if (madeOldFolder)
            ::rmdir(nativePath(oldFolder).constData());
        return false;
    }
    plan = changes;
    return true;
}

bool ReplaceJournal::commit(QStringList* problems)
{
    if (fd < 0)
        return true;
    // What the step wrote must be on disk before the backups may go. Without backups nothing is
    // lost if it is not: the next run finds a damaged new file by its checksum and fetches it again.
    const bool replacesFiles = std::any_of(plan.cbegin(), plan.cend(), [](const PlannedChange& change) {
        return change.kind == PlannedChange::ReplaceFile;
    });
    if (replacesFiles && ::syncfs(fd) != 0) {
        *problems << QStringLiteral("Could not write the replaced files to disk") << fileErrorLine(installation, errno);
        return false;
    }
    if (!writeAll(fd, record("C")) || ::fdatasync(fd) != 0) {
        *problems << QStringLiteral("Could not write the rollback journal '%1'").arg(path) << fileErrorLine(path, errno);
        return false;
    }
    return true;
}

bool ReplaceJournal::undo(const JournalReporter& report)
{
    if (fd < 0)
        return true;
    // The step's own rollback has reported every change it could not undo; this pass retries them.
    if (!undoPlan(installation, plan, [](const QString&) {})) {
        report(keptText().arg(path));
        close();
        return false;
    }
    ::syncfs(fd);
    removeFile();
    return true;
}

void ReplaceJournal::remove()
{
    if (fd >= 0)
        removeFile();
}

void ReplaceJournal::removeFile()
{
    const QString oldFolder = installation + QStringLiteral("/old");
    ::unlink(nativePath(path).constData());
    syncFolder(oldFolder);
    close();
    if (madeOldFolder)
        ::rmdir(nativePath(oldFolder).constData()); // only when empty
}

JournalRecovery recoverReplaceJournal(const QString& installation, const JournalReporter& report)
{
    const QString path = ReplaceJournal::pathIn(installation);
    struct stat status;
    int fd = -1;
    if (::lstat(nativePath(path).constData(), &status) != 0) {
        if (errno == ENOENT)
            return JournalRecovery::NoJournal;
    } else if (!S_ISREG(status.st_mode)) {
        errno = EINVAL; // a link or anything else at that name is not ours
    } else {
        fd = ::open(nativePath(path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        const int error = errno;
        report(QString("Could not read the rollback journal '%1'; it is kept").arg(path));
        report(fileErrorLine(path, error));
        return JournalRecovery::Kept;
    }
    if (!lockExclusively(fd)) {
        ::close(fd);
        return JournalRecovery::Busy;
    }
    QByteArray data;
    const bool read = readAll(fd, data);
    const ParsedJournal journal = parseJournal(data);
    if (!read || !journal.readable) {
        report(QString("Could not read the rollback journal '%1'; it is kept").arg(path));
        ::close(fd);
        return JournalRecovery::Kept;
    }

    report(QString("Found the journal of an interrupted update: %1").arg(path));
    JournalRecovery result = JournalRecovery::RolledBack;
    if (journal.committed) {
        // The files were all replaced: finish the update's clean-up of its backups.
        report(QStringLiteral("The files of the interrupted update were all replaced; removing its backups"));
        for (const PlannedChange& change : journal.plan) {
            for (const QString& backup : {change.backup, change.earlierBackup}) {
                const QString full = installation + QLatin1Char('/') + backup;
                if (!backup.isEmpty() && ::unlink(nativePath(full).constData()) != 0 && errno != ENOENT) {
                    const int error = errno;
                    report(QString("Could not delete '%1'").arg(full));
                    report(fileErrorLine(full, error));
                }
            }
        }
        result = JournalRecovery::Completed;
    } else {
        report(QStringLiteral("rolling back file updates"));
        if (!undoPlan(installation, journal.plan, report)) {
            report(keptText().arg(path));
            ::close(fd);
            return JournalRecovery::Kept;
        }
        ::syncfs(fd);
    }
    ::unlink(nativePath(path).constData());
    syncFolder(installation + QStringLiteral("/old"));
    ::close(fd);
    return result;
}
