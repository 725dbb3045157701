#include "rollback.h"

#include "fileerror.h"
#include "fileopfault.h"
#include "nativepath.h"
#include "updatelists.h"
#include "updaterfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Lookup { Absent, Present, Unknown };

// What lstat shows at `path`. A name that cannot exist (a level of it is no folder, or it is too
// long) is absent, as is a missing one; any other failure leaves errno set.
Lookup lookUp(const QString& path, struct stat* status)
{
    if (::lstat(nativePath(path).constData(), status) == 0)
        return Lookup::Present;
    const bool cannotExist = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP;
    return cannotExist ? Lookup::Absent : Lookup::Unknown;
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat first, second;
    return ::lstat(nativePath(a).constData(), &first) == 0 && ::lstat(nativePath(b).constData(), &second) == 0
           && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether a file name fits the file system's bound once it is encoded.
bool nameFits(const QString& path)
{
    return nativePath(QFileInfo(path).fileName()).size() <= NAME_MAX;
}

} // namespace

bool isPresent(const QString& path)
{
    struct stat status;
    return lookUp(path, &status) == Lookup::Present;
}

bool RollbackData::operator==(const RollbackData& other) const
{
    return type == other.type && path == other.path && stagedPath == other.stagedPath
           && backupPath == other.backupPath && earlierBackup == other.earlierBackup
           && placedDevice == other.placedDevice && placedInode == other.placedInode;
}

bool RollbackData::rollback(const QString& installation, const JournalReporter& report) const
{
    const QString target = installation + QLatin1Char('/') + path;
    // A test may make the undo fail; the system's reason is then an I/O error.
    const bool injected = injectedFileOpFault("undo", target);
    // Reports a failed step on `file` ("%1" in the warning) with the system's reason (errno).
    auto failed = [&](const char* warning, const QString& file) {
        const QString reason = fileErrorLine(file, errno);
        report(QString(warning).arg(file));
        report(reason);
        return false;
    };
    struct stat status;
    auto remove = [&](const QString& file) {
        if (injected) {
            errno = EIO;
        } else {
            const Lookup found = lookUp(file, &status);
            if (found == Lookup::Absent)
                return true;
            if (found == Lookup::Present && (::unlink(nativePath(file).constData()) == 0 || errno == ENOENT))
                return true;
        }
        return failed("warning: rollback create file %1 failed", file);
    };

    if (type == CreatedDir) {
        if (injected) {
            errno = EIO;
        } else {
            const Lookup found = lookUp(target, &status);
            // Only a folder can be the one the plan made.
            if (found == Lookup::Absent || (found == Lookup::Present && !S_ISDIR(status.st_mode)))
                return true;
            if (found == Lookup::Present && (::rmdir(nativePath(target).constData()) == 0 || errno == ENOENT))
                return true;
        }
        failed("warning: rollback create dir %1 failed", target);
        return true; // a folder that stays harms nothing
    }
    const QString backup = installation + QLatin1Char('/') + backupPath;
    // Whether the backup is there to be put back: true when it is, else what the undo returns.
    auto backupThere = [&](bool* result) {
        const Lookup found = injected ? Lookup::Present : lookUp(backup, &status);
        if (found == Lookup::Present)
            return true;
        *result = found == Lookup::Absent || failed("warning: rollback rename %1 failed", backup);
        return false;
    };
    // Renames the backup to the target: over it for a replaced file, else only to a free name.
    auto putBack = [&](bool overTarget) {
        if (injected)
            errno = EIO;
        else if (overTarget ? ::rename(nativePath(backup).constData(), nativePath(target).constData()) == 0
                            : renameNoReplace(backup, target))
            return true;
        const QString reason = renameErrorLine(backup, target, errno);
        report(QString("warning: rollback rename %1 to %2 failed").arg(target, backup));
        report(reason);
        return false;
    };
    auto isPlaced = [&](const struct stat& found) {
        return placedInode != 0 && quint64(found.st_dev) == placedDevice && quint64(found.st_ino) == placedInode;
    };
    bool result = true;
    if (type == FolderForFile) {
        // While the target is no folder, the file never left, or is back already; without the
        // backup there is nothing to put back.
        const Lookup found = injected ? Lookup::Present : lookUp(target, &status);
        const bool folder = found == Lookup::Present && S_ISDIR(status.st_mode);
        if (!injected && found == Lookup::Present && !folder)
            return true;
        if (!backupThere(&result))
            return result;
        if (folder && ::rmdir(nativePath(target).constData()) != 0 && errno != ENOENT)
            return failed("warning: rollback create dir %1 failed", target);
        return putBack(false);
    }
    if (!remove(installation + QLatin1Char('/') + stagedPath))
        return false;
    if (type == CreatedFile) {
        const Lookup found = lookUp(target, &status);
        if (found == Lookup::Present && !isPlaced(status)) {
            report(QString("Keeping '%1': it is not the file the update placed").arg(target));
            return true;
        }
        return remove(target);
    }
    if (type == FileForFolder) {
        // While the folder is at its name it never left, or is back already.
        if (lookUp(target, &status) == Lookup::Present && S_ISDIR(status.st_mode))
            return true;
        if (!backupThere(&result))
            return result;
        // The file the update placed goes; the folder comes back whole.
        if (lookUp(target, &status) == Lookup::Present && isPlaced(status) && !remove(target))
            return false;
        return putBack(false);
    }

    // Without the backup the installed file was never touched, or is back already.
    if (!backupThere(&result))
        return result;
    // The backup is still the installed file itself when the staged file never took its place.
    if (sameFile(backup, target))
        return remove(backup);
    return putBack(true);
}

bool rollbackAll(const QString& installation, const ReplacementPlan& plan, const JournalReporter& report)
{
    bool complete = true;
    for (int i = plan.size() - 1; i >= 0; --i) {
        if (!plan[i].rollback(installation, report))
            complete = false;
    }
    return complete;
}

PlannedReplacement planReplacement(const QList<ReplaceEntry>& entries,
                                const std::function<PathKind(const QString&)>& kind, QString* refusal)
{
    auto present = [&kind](const QString& path) { return kind(path) != PathKind::Absent; };
    // Every name the plan writes, and the entry that writes it.
    QHash<QString, QString> writers;
    auto claim = [&](const QString& name, const QString& writer) {
        const auto other = writers.constFind(name);
        if (other == writers.constEnd()) {
            writers.insert(name, writer);
            return true;
        }
        *refusal = QString("Refusing to replace files: '%1' and '%2' would both use '%3'").arg(other.value(), writer, name);
        return false;
    };
    QHash<QString, QString> targets; // target -> entry
    for (const ReplaceEntry& entry : entries) {
        const QString target = targetPath(entry, QString());
        if (!isSafeRelativePath(entry.path) || !isSafeRelativePath(target)) {
            *refusal = QString("Refusing to replace '%1': not a path inside the installation").arg(target);
            return {};
        }
        if (isBackupPath(target) || isUpdaterRecordPath(target)) {
            *refusal = QString("Refusing to replace '%1': the updater keeps its own files there").arg(target);
            return {};
        }
        if (!claim(target, entry.path) || !claim(stagedPath(target), entry.path))
            return {};
        targets.insert(target, entry.path);
    }
    // A file cannot also be a folder of another file.
    for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
        for (QString level = QFileInfo(it.key()).path(); level != "."; level = QFileInfo(level).path()) {
            if (targets.contains(level)) {
                *refusal = QString("Refusing to replace files: '%1' would be a file and a folder of '%2'")
                               .arg(level, it.key());
                return {};
            }
        }
    }

    // A free backup name in old/ for a file or folder named `name`: the usual one, or a numbered one.
    auto freeBackup = [&](const QString& name, const QString& writer, QString* earlier) {
        const auto candidate = [&name](int n) { return oldFolder() + "/" + backupFileName(name, n); };
        int n = 1;
        while (writers.contains(candidate(n)) || present(candidate(n)))
            ++n;
        writers.insert(candidate(n), writer);
        if (earlier && n > 1 && present(candidate(1)))
            *earlier = candidate(1);
        return candidate(n);
    };
    auto tooLong = [&](const RollbackData& change) {
        for (const QString& name : {change.stagedPath, change.backupPath}) {
            if (!nameFits(name)) {
                *refusal = QString("Refusing to replace '%1': the name is too long for its staged or backup name")
                               .arg(change.path);
                return true;
            }
        }
        return false;
    };

    QSet<QString> missingFolders;
    QMap<QString, RollbackData> fileFolders; // folder levels where a file is installed
    PlannedReplacement plan;
    for (const ReplaceEntry& entry : entries) {
        RollbackData change;
        change.path = targetPath(entry, QString());
        // A staged name that something else holds is left alone: the next free one is taken.
        int staged = 1;
        while (present(stagedPath(change.path, staged))
               || (staged > 1 && writers.contains(stagedPath(change.path, staged))))
            ++staged;
        change.stagedPath = stagedPath(change.path, staged);
        writers.insert(change.stagedPath, entry.path);
        const PathKind installed = kind(change.path);
        if (installed == PathKind::File) {
            change.type = ReplacedFile;
            change.backupPath = freeBackup(QFileInfo(change.path).fileName(), entry.path, &change.earlierBackup);
        } else if (installed == PathKind::Folder) {
            change.type = FileForFolder;
            change.backupPath = freeBackup(QFileInfo(change.path).fileName(), entry.path, nullptr);
        }
        if (tooLong(change))
            return {};
        for (QString level = QFileInfo(change.path).path(); level != "."; level = QFileInfo(level).path()) {
            const PathKind levelKind = kind(level);
            if (levelKind == PathKind::Folder)
                break;
            if (levelKind == PathKind::Absent) {
                missingFolders.insert(level);
                continue;
            }
            if (!fileFolders.contains(level)) {
                RollbackData folder;
                folder.type = FolderForFile;
                folder.path = level;
                folder.backupPath = freeBackup(QFileInfo(level).fileName(), level, nullptr);
                if (tooLong(folder))
                    return {};
                fileFolders.insert(level, folder);
            }
            break;
        }
        plan.files << change;
    }

    // Sorted, a folder comes before the folders inside it.
    QStringList folders(missingFolders.cbegin(), missingFolders.cend());
    folders << fileFolders.keys();
    folders.sort();
    for (const QString& folder : qAsConst(folders)) {
        RollbackData change;
        change.type = CreatedDir;
        change.path = folder;
        plan.folders << fileFolders.value(folder, change);
    }
    return plan;
}

PathKind pathKind(const QString& path)
{
    struct stat status;
    if (lookUp(path, &status) != Lookup::Present)
        return PathKind::Absent;
    if (S_ISLNK(status.st_mode) && ::stat(nativePath(path).constData(), &status) != 0)
        return PathKind::File; // a dangling link is something, but no folder
    return S_ISDIR(status.st_mode) ? PathKind::Folder : PathKind::File;
}

bool removeTree(const QString& path)
{
    struct stat status;
    const Lookup found = lookUp(path, &status);
    if (found != Lookup::Present)
        return found == Lookup::Absent;
    if (!S_ISDIR(status.st_mode))
        return ::unlink(nativePath(path).constData()) == 0 || errno == ENOENT;
    const QDir folder(path);
    const QStringList names = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names)
        removeTree(folder.filePath(name));
    return ::rmdir(nativePath(path).constData()) == 0 || errno == ENOENT;
}

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
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
