#include "replacejournal.h"

#include "fileerror.h"
#include "fileopfault.h"
#include "nativepath.h"
#include "ownership.h"
#include "updatelists.h"
#include "updaterfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray headerPrefix = "VXM replace journal ";
const QByteArray header = headerPrefix + "3";
// Version 2 differs only in having no placed-file records.
const QByteArray headerWithoutPlacedFiles = headerPrefix + "2";

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

QString oldFolderIn(const QString& installation)
{
    return installation + QLatin1Char('/') + oldFolder();
}

QString keptText(const QString& journal)
{
    return QString("Not every change could be undone; the journal '%1' is kept for the next start").arg(journal);
}

QString inTheWay(const QString& path)
{
    return QString("'%1' is in the way of the rollback journal; move it elsewhere and start the update again").arg(path);
}

// ---- the format ----

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

QByteArray record(const RollbackData& change)
{
    switch (change.type) {
    case CreatedDir:
        return record("D " + field(change.path));
    case CreatedFile:
        return record("N " + field(change.path) + ' ' + field(change.stagedPath));
    case FolderForFile:
        return record("O " + field(change.path) + ' ' + field(change.backupPath));
    case FileForFolder:
        return record("F " + field(change.path) + ' ' + field(change.stagedPath) + ' ' + field(change.backupPath));
    case ReplacedFile:
        break;
    }
    return record("P " + field(change.path) + ' ' + field(change.stagedPath) + ' ' + field(change.backupPath) + ' '
                  + field(change.earlierBackup));
}

// The identity of a created file once it is staged: "I <file> <device> <inode>".
QByteArray placedRecord(const RollbackData& change)
{
    return record("I " + field(change.path) + ' ' + QByteArray::number(change.placedDevice) + ' '
                  + QByteArray::number(change.placedInode));
}

// Reads a placed-file record into the created file of `plan` it names; false when it is none.
bool parsePlaced(const QByteArray& line, ReplacementPlan& plan)
{
    const int blank = line.lastIndexOf(' ');
    if (blank < 0 || line.mid(blank + 1) != crcText(line.left(blank)))
        return false;
    const QList<QByteArray> fields = line.left(blank).split(' ');
    if (fields.size() != 4 || fields[0] != "I")
        return false;
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[1]));
    bool deviceOk = false, inodeOk = false;
    const quint64 device = fields[2].toULongLong(&deviceOk);
    const quint64 inode = fields[3].toULongLong(&inodeOk);
    if (!deviceOk || !inodeOk || inode == 0 || QByteArray::number(device) != fields[2] || QByteArray::number(inode) != fields[3])
        return false;
    for (RollbackData& change : plan) {
        if ((change.type == CreatedFile || change.type == FileForFolder) && change.path == path && change.placedInode == 0) {
            change.placedDevice = device;
            change.placedInode = inode;
            return true;
        }
    }
    return false;
}

const QByteArray planEnd = record("E");
const QByteArray commitMark = record("C");

// One change record, without its line end; false when it is none or names what no plan names.
bool parseChange(const QByteArray& line, RollbackData& change)
{
    const int blank = line.lastIndexOf(' ');
    if (blank < 0 || line.mid(blank + 1) != crcText(line.left(blank)))
        return false;
    const QList<QByteArray> fields = line.left(blank).split(' ');
    auto text = [&](int i) { return QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value(i))); };
    const QByteArray kind = fields.value(0);
    change = RollbackData();
    change.path = text(1);
    if (kind == "D" && fields.size() == 2) {
        change.type = CreatedDir;
    } else if (kind == "N" && fields.size() == 3) {
        change.type = CreatedFile;
        change.stagedPath = text(2);
    } else if (kind == "O" && fields.size() == 3) {
        change.type = FolderForFile;
        change.backupPath = text(2);
        if (!isBackupPath(change.backupPath))
            return false;
    } else if (kind == "F" && fields.size() == 4) {
        change.type = FileForFolder;
        change.stagedPath = text(2);
        change.backupPath = text(3);
        if (!isBackupPath(change.backupPath))
            return false;
    } else if (kind == "P" && fields.size() == 5) {
        change.type = ReplacedFile;
        change.stagedPath = text(2);
        change.backupPath = text(3);
        change.earlierBackup = text(4);
        if (!isBackupPath(change.backupPath) || (!change.earlierBackup.isEmpty() && !isBackupPath(change.earlierBackup)))
            return false;
    } else {
        return false;
    }
    const bool staged = change.type != CreatedDir && change.type != FolderForFile;
    return isSafeRelativePath(change.path) && (!staged || isStagedPathOf(change.stagedPath, change.path));
}

// ---- recovery ----

// Removes what `paths` name in the installation (each may be missing).
void removeAll(const QString& installation, const QStringList& paths, const JournalReporter& report)
{
    for (const QString& path : paths) {
        const QString full = installation + QLatin1Char('/') + path;
        if (!path.isEmpty() && ::unlink(nativePath(full).constData()) != 0 && errno != ENOENT) {
            const int error = errno;
            report(QString("Could not delete '%1'").arg(full));
            report(fileErrorLine(full, error));
        }
    }
}

// The update's replacement had succeeded: its backups go.
JournalRecovery complete(const QString& installation, const ReplacementPlan& plan, const JournalReporter& report)
{
    report(QStringLiteral("The files of the interrupted update were all replaced; removing its backups"));
    for (const RollbackData& change : plan) {
        removeAll(installation, {change.stagedPath, change.earlierBackup}, report);
        const QString backup = installation + QLatin1Char('/') + change.backupPath;
        if (!change.backupPath.isEmpty() && !removeTree(backup)) {
            const int error = errno;
            report(QString("Could not delete '%1'").arg(backup));
            report(fileErrorLine(backup, error));
        }
    }
    return JournalRecovery::Completed;
}

// A fresh folder old/unrecovered-<date>-<time> (numbered when that exists), or empty.
QString makeKeptFolder(const QString& installation)
{
    const QString base = oldFolderIn(installation) + QStringLiteral("/unrecovered-")
                         + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 1; n < 100; ++n) {
        const QString candidate = n == 1 ? base : base + QStringLiteral("-%1").arg(n);
        if (::mkdir(nativePath(candidate).constData(), 0777) == 0)
            return candidate;
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

// The journal cannot be used: it goes to a kept folder with every backup in old/, whose plan is
// lost with it. `why` are the lines that say what is wrong with it. The staged files that its
// intact records name (`data`: what could be read of it) are the update's own and go. The backups
// move first and the journal last, so that a crash in between leaves the journal to be set aside
// again at the next start, never backups in old/ without it (a later update would take them for
// leftovers and delete them).
JournalRecovery setAside(const QString& installation, const QByteArray& data, const QStringList& why,
                         const JournalReporter& report)
{
    for (const QString& line : why)
        report(line);
    RollbackData change;
    for (const QByteArray& line : data.split('\n')) {
        if (parseChange(line, change) && !change.stagedPath.isEmpty())
            removeAll(installation, {change.stagedPath}, report);
    }
    const QString journal = ReplaceJournal::pathIn(installation);
    const QString kept = makeKeptFolder(installation);
    const QDir old(oldFolderIn(installation));
    if (!kept.isEmpty()) {
        const QStringList backups = old.entryList({oldFilePrefix() + "*"}, QDir::Files | QDir::System | QDir::Hidden);
        for (const QString& name : backups) {
            if (::rename(nativePath(old.filePath(name)).constData(), nativePath(kept + "/" + name).constData()) != 0) {
                const int error = errno;
                report(QString("Could not move '%1' to '%2'").arg(old.filePath(name), kept));
                report(fileErrorLine(old.filePath(name), error));
            }
        }
        syncFolder(kept);
        syncFolder(old.path());
    }
    if (kept.isEmpty() || ::rename(nativePath(journal).constData(), nativePath(kept + "/replace.journal").constData()) != 0) {
        const int error = errno;
        report(QString("Could not move the rollback journal '%1' away; it is kept").arg(journal));
        report(fileErrorLine(kept.isEmpty() ? oldFolderIn(installation) : kept, error));
        // A kept folder that received nothing would only be litter, made again at every start.
        if (!kept.isEmpty())
            ::rmdir(nativePath(kept).constData());
        return JournalRecovery::Kept;
    }
    syncFolder(kept);
    syncFolder(old.path());
    report(QString("The journal and the backups beside it were moved to '%1'; the update brings every file to the release")
               .arg(kept));
    return JournalRecovery::SetAside;
}

} // namespace

JournalContents readReplaceJournal(const QByteArray& data)
{
    JournalContents journal;
    QList<QByteArray> lines = data.split('\n');
    // The last piece has no line end: empty after a whole file, else a write cut off.
    const QByteArray cutOff = lines.takeLast();
    if (lines.isEmpty()) {
        journal.status = header.startsWith(cutOff) ? JournalContents::NoPlan : JournalContents::Unreadable;
        return journal;
    }
    if (lines.first() != header && lines.first() != headerWithoutPlacedFiles) {
        journal.status = lines.first().startsWith(headerPrefix) ? JournalContents::OtherVersion
                                                                : JournalContents::Unreadable;
        return journal;
    }
    int i = 1;
    ReplacementPlan plan;
    RollbackData change;
    for (; i < lines.size() && lines[i] + '\n' != planEnd; ++i) {
        if (!parseChange(lines[i], change)) {
            journal.status = JournalContents::Unreadable;
            return journal;
        }
        plan << change;
    }
    if (i == lines.size())
        return journal; // cut off before the plan's end
    // After the plan come the records of placed files, then perhaps the commit mark.
    QList<QByteArray> rest = lines.mid(i + 1);
    while (!rest.isEmpty() && rest.first() + '\n' != commitMark) {
        if (!parsePlaced(rest.takeFirst(), plan)) {
            journal.status = JournalContents::Unreadable;
            return journal;
        }
    }
    const bool committed = rest.size() == 1;
    if (rest.size() > 1) {
        journal.status = JournalContents::Unreadable;
        return journal;
    }
    journal.status = JournalContents::Plan;
    journal.committed = committed;
    journal.plan = plan;
    return journal;
}

QByteArray replaceJournalText(const ReplacementPlan& plan, bool committed)
{
    QByteArray text = header + '\n';
    for (const RollbackData& change : plan)
        text += record(change);
    text += planEnd;
    for (const RollbackData& change : plan) {
        if ((change.type == CreatedFile || change.type == FileForFolder) && change.placedInode != 0)
            text += placedRecord(change);
    }
    if (committed)
        text += commitMark;
    return text;
}

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
    return installation + QLatin1Char('/') + journalPath();
}

void ReplaceJournal::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ReplaceJournal::begin(const ReplacementPlan& changes, QStringList* problems)
{
    const QString backups = oldFolderIn(installation);
    auto failed = [&](const QString& what, const QString& where) {
        const int error = errno;
        if (error == EEXIST)
            *problems << inTheWay(where);
        else
            *problems << what.arg(path) << fileErrorLine(where, error);
        close();
        return false;
    };
    struct stat status;
    if (::lstat(nativePath(backups).constData(), &status) == 0 && !S_ISDIR(status.st_mode)) {
        *problems << inTheWay(backups);
        return false;
    }
    if (::mkdir(nativePath(backups).constData(), 0777) == 0) {
        madeOldFolder = true;
        takeFolderOwner(backups);
    }
    else if (errno != EEXIST)
        return failed(QStringLiteral("Could not create the rollback journal '%1'"), backups);
    fd = ::open(nativePath(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, 0644);
    if (fd < 0)
        return failed(QStringLiteral("Could not create the rollback journal '%1'"), path);
    lockExclusively(fd);
    takeFolderOwner(path, fd);
    const bool injected = injectedFileOpFault("journal", path);
    if (injected || !writeAll(fd, replaceJournalText(changes, false)) || ::fdatasync(fd) != 0 || !syncFolder(backups)
        || (madeOldFolder && !syncFolder(installation))) {
        if (injected)
            errno = EIO;
        failed(QStringLiteral("Could not write the rollback journal '%1'"), path);
        ::unlink(nativePath(path).constData());
        if (madeOldFolder)
            ::rmdir(nativePath(backups).constData());
        return false;
    }
    plan = changes;
    return true;
}

bool ReplaceJournal::recordPlaced(const QString& file, const QString& staged, QStringList* problems)
{
    struct stat status;
    if (::lstat(nativePath(installation + QLatin1Char('/') + staged).constData(), &status) != 0) {
        *problems << fileErrorLine(installation + QLatin1Char('/') + staged, errno);
        return false;
    }
    for (RollbackData& change : plan) {
        if ((change.type != CreatedFile && change.type != FileForFolder) || change.path != file)
            continue;
        RollbackData placed = change;
        placed.placedDevice = quint64(status.st_dev);
        placed.placedInode = quint64(status.st_ino);
        if (fd < 0 || !writeAll(fd, placedRecord(placed))) {
            *problems << QStringLiteral("Could not write the rollback journal '%1'").arg(path) << fileErrorLine(path, errno);
            return false;
        }
        change = placed;
        return true;
    }
    return true; // a replaced file needs no record: its backup tells
}

bool ReplaceJournal::commit(QStringList* problems)
{
    if (fd < 0)
        return true;
    // What the step wrote must be on disk before the backups may go. Without backups nothing is
    // lost if it is not: the next run finds a damaged new file by its checksum and fetches it again.
    const bool replacesFiles = std::any_of(plan.cbegin(), plan.cend(), [](const RollbackData& change) {
        return !change.backupPath.isEmpty();
    });
    if (replacesFiles && ::syncfs(fd) != 0) {
        *problems << QStringLiteral("Could not write the replaced files to disk") << fileErrorLine(installation, errno);
        return false;
    }
    if (!writeAll(fd, commitMark) || ::fdatasync(fd) != 0) {
        *problems << QStringLiteral("Could not write the rollback journal '%1'").arg(path) << fileErrorLine(path, errno);
        return false;
    }
    return true;
}

bool ReplaceJournal::undo(const JournalReporter& report)
{
    if (fd < 0)
        return true;
    if (!rollbackAll(installation, plan, report)) {
        report(keptText(path));
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
    ::unlink(nativePath(path).constData());
    syncFolder(oldFolderIn(installation));
    close();
    if (madeOldFolder)
        ::rmdir(nativePath(oldFolderIn(installation)).constData()); // only when empty
}

JournalRecovery recoverReplaceJournal(const QString& installation, const JournalReporter& report)
{
    const QString path = ReplaceJournal::pathIn(installation);
    const QString unreadable = QString("Could not read the rollback journal '%1'").arg(path);
    struct stat status;
    if (::lstat(nativePath(path).constData(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return JournalRecovery::NoJournal;
        const int error = errno;
        report(unreadable + QStringLiteral("; it is kept"));
        report(fileErrorLine(path, error));
        return JournalRecovery::Kept;
    }
    // Only a file can be a journal; anything else at its name is named when an update needs it.
    if (!S_ISREG(status.st_mode))
        return JournalRecovery::NoJournal;
    const int fd = ::open(nativePath(path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return setAside(installation, QByteArray(), {unreadable, fileErrorLine(path, errno)}, report);
    if (!lockExclusively(fd)) {
        ::close(fd);
        return JournalRecovery::Busy;
    }
    QByteArray data;
    const bool read = readAll(fd, data);
    const int readError = errno;
    const JournalContents journal = readReplaceJournal(data);
    JournalRecovery result = JournalRecovery::Kept;
    if (!read) {
        result = setAside(installation, data, {unreadable, fileErrorLine(path, readError)}, report);
    } else if (journal.status == JournalContents::Unreadable) {
        result = setAside(installation, data, {unreadable}, report);
    } else if (journal.status == JournalContents::OtherVersion) {
        result = setAside(installation, QByteArray(), {QString("The rollback journal '%1' was written by another version of the updater").arg(path)}, report);
    } else if (journal.status == JournalContents::NoPlan) {
        report(QString("Removed the rollback journal '%1': it ends before its plan, so nothing had been changed").arg(path));
        ::unlink(nativePath(path).constData());
        result = JournalRecovery::Discarded;
    } else {
        report(QString("Found the journal of an interrupted update: %1").arg(path));
        if (journal.committed) {
            result = complete(installation, journal.plan, report);
        } else {
            report(QStringLiteral("rolling back file updates"));
            if (!rollbackAll(installation, journal.plan, report)) {
                report(keptText(path));
                ::close(fd);
                return JournalRecovery::Kept;
            }
            ::syncfs(fd);
            result = JournalRecovery::RolledBack;
        }
        ::unlink(nativePath(path).constData());
    }
    syncFolder(oldFolderIn(installation));
    ::close(fd);
    return result;
}
