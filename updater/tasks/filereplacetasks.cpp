#include "filereplacetasks.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "fileoptasks.h"
#include "programfolder.h"
#include "updaterfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <limits>

namespace {

// Whether anything is at `path`, a dangling link included.
bool present(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

const QStringList FileReplaceTaskSpecification::executableNames = {
    "vxmclient_linux_x86", "vxmclient_linux_amd64", "vxmclient_runscript.sh", "update", "fault_sender", "addon_setup"};
const QStringList FileReplaceTaskSpecification::librarySuffixes = {"so", "so.4", "so.5"};

// ---- one file --------------------------------------------------------------------------------

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry& entry, QStringList* deleteList,
                                                           RollbackJournal* parentJournal,
                                                           const Configuration* configuration, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, parent, weight), entry(entry), deleteList(deleteList),
      parentJournal(parentJournal), configuration(configuration)
{
}

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

void FileReplaceTaskSpecification::start()
{
    state = Running;
    emit message(QString("add/replace %1").arg(entry.path));
    const QString root = programFolder();
    const QString source = configuration->tempDir + "/" + entry.path;
    const QString target = root + "/" + targetPath(entry, QString());
    const QString backup = root + "/" + backupPath(entry);
    double rest = 1.0;
    if (present(target)) {
        QDir(root).mkdir("old");
        backupMade = true;
        addTask(new FileRenameTaskSpecification(target, backup, &journal, this, 0.1));
        rest -= 0.1;
    }
    if (!entry.installPath.isEmpty()) {
        rest -= 0.2;
        const qint64 maxSize = entry.unpackedSize <= quint64(std::numeric_limits<qint64>::max())
                                   ? qint64(entry.unpackedSize)
                                   : -1;
        addTask(new FileUnzipTaskSpecification(&journal, source, target, this, rest, maxSize));
        addTask(new CheckSignatureTaskSpecification(target, entry.unpackedMd5, true, this, 0.2));
    } else {
        addTask(new FileCopyTaskSpecification(&journal, source, target, this, rest));
    }
    startSubTasks();
}

void FileReplaceTaskSpecification::discardWork()
{
    const QList<TaskSpecification*> children = allTasks;
    deleteSubTasks();
    // A copy or unpack still in flight may have written its file: wait for it and journal it, so
    // that the undo below removes it too.
    for (TaskSpecification* child : children) {
        if (auto* slow = qobject_cast<SlowFileOpSpecification*>(child))
            slow->settle();
    }
    rollbackAll(journal, this);
    backupMade = false;
}

void FileReplaceTaskSpecification::reset()
{
    discardWork();
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::complete()
{
    if (aggregateState() == Finished) {
        mergeJournal(*parentJournal, journal);
        if (backupMade) {
            const QString base = entry.installPath.isEmpty() ? entry.path : entry.installPath;
            if (!isUpdaterOwnFile(QFileInfo(base).fileName()) && deleteList)
                deleteList->append(backupPath(entry));
            if (!earlierBackup.isEmpty() && deleteList)
                deleteList->append(earlierBackup);
        }
        makeRunnableIfNeeded(programFolder() + "/" + targetPath(entry, QString()));
    } else {
        rollbackAll(journal, this);
    }
    ComposedTaskSpecification::complete();
}

void FileReplaceTaskSpecification::makeRunnableIfNeeded(const QString& path)
{
    const QFileInfo info(path);
    if (!executableNames.contains(info.fileName()) && !librarySuffixes.contains(info.completeSuffix()))
        return;
    // Read and execute for everyone, write for the owner only: runnable, but not replaceable by
    // any other local user.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                                    | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
                                    | QFile::ReadOther | QFile::ExeOther);
}

// ---- the step --------------------------------------------------------------------------------

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceEntry>* replaceList,
                                                                   QStringList* deleteList,
                                                                   const Configuration* configuration,
                                                                   QObject* parent, double weight)
    : ComposedTaskSpecification(2, parent, weight), replaceList(replaceList), deleteList(deleteList),
      configuration(configuration)
{
}

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

bool FileReplaceListTaskSpecification::checkEntries()
{
    QHash<QString, QString> targets; // target or backup path -> the entry's path
    for (const ReplaceEntry& entry : qAsConst(*replaceList)) {
        const QString target = targetPath(entry, QString());
        if (!isSafeRelativePath(entry.path) || !isSafeRelativePath(target)) {
            emit message(QString("Refusing to replace '%1': not a path inside the installation").arg(target));
            return false;
        }
        for (const QString& path : {QDir::cleanPath(target), QDir::cleanPath(backupPath(entry))}) {
            const auto other = targets.constFind(path);
            if (other != targets.constEnd()) {
                emit message(QString("Refusing to replace files: '%1' and '%2' would both use '%3'")
                                 .arg(other.value(), entry.path, path));
                return false;
            }
            targets.insert(path, entry.path);
        }
    }
    return true;
}

QStringList FileReplaceListTaskSpecification::sidestepEarlierBackups(QList<ReplaceEntry>& entries) const
{
    const QString root = programFolder();
    QSet<QString> taken;
    for (const ReplaceEntry& entry : qAsConst(entries))
        taken.insert(backupPath(entry));
    QStringList earlier;
    for (ReplaceEntry& entry : entries) {
        const QString backup = backupPath(entry);
        if (!present(root + "/" + targetPath(entry, QString())) || !present(root + "/" + backup)) {
            earlier << QString();
            continue;
        }
        const QString fileName = QFileInfo(targetPath(entry, QString())).fileName();
        for (int n = 2;; ++n) {
            const QString name = QString("%1%2_%3").arg(oldFilePrefix()).arg(n).arg(fileName);
            if (!taken.contains("old/" + name) && !present(root + "/old/" + name)) {
                entry.backupName = name;
                taken.insert("old/" + name);
                break;
            }
        }
        earlier << backup;
    }
    return earlier;
}

QList<PlannedChange> FileReplaceListTaskSpecification::planChanges(const QList<ReplaceEntry>& entries,
                                                                   const QStringList& missingFolders,
                                                                   const QStringList& earlierBackups) const
{
    const QString root = programFolder();
    QList<PlannedChange> plan;
    QSet<QString> planned;
    for (const QString& folder : missingFolders) {
        // Every level the folder task will create, outer levels first.
        QStringList levels;
        for (QString level = folder; level.startsWith(root + "/") && !present(level); level = QFileInfo(level).path())
            levels.prepend(level.mid(root.size() + 1));
        for (const QString& level : qAsConst(levels)) {
            if (!planned.contains(level)) {
                planned.insert(level);
                plan << PlannedChange{PlannedChange::CreateDir, level, QString(), QString()};
            }
        }
    }
    for (int i = 0; i < entries.size(); ++i) {
        const QString target = targetPath(entries[i], QString());
        if (present(root + "/" + target))
            plan << PlannedChange{PlannedChange::ReplaceFile, target, backupPath(entries[i]), earlierBackups[i]};
        else
            plan << PlannedChange{PlannedChange::NewFile, target, QString(), QString()};
    }
    return plan;
}

bool FileReplaceListTaskSpecification::beginJournal(const QList<PlannedChange>& plan)
{
    const QString root = programFolder();
    auto report = [this](const QString& text) { emit message(text); };
    // What an earlier run could not undo is tried once more; while it stays, nothing starts.
    switch (recoverReplaceJournal(root, report)) {
    case JournalRecovery::Kept:
        return false;
    case JournalRecovery::Busy:
        emit message(QString("Another updater is replacing the files of %1").arg(root));
        return false;
    default:
        break;
    }
    diskJournal.reset(new ReplaceJournal(root));
    QStringList problems;
    if (diskJournal->begin(plan, &problems))
        return true;
    for (const QString& problem : qAsConst(problems))
        emit message(problem);
    diskJournal.reset();
    return false;
}

void FileReplaceListTaskSpecification::undoJournal()
{
    if (!diskJournal)
        return;
    diskJournal->undo([this](const QString& text) { emit message(text); });
    diskJournal.reset();
}

void FileReplaceListTaskSpecification::removeJournal()
{
    if (diskJournal)
        diskJournal->remove();
    diskJournal.reset();
}

void FileReplaceListTaskSpecification::start()
{
    state = Running;
    emit message("Starting file updates");
    QList<ReplaceEntry> entries = replaceList ? *replaceList : QList<ReplaceEntry>();
    if (replaceList && !checkEntries()) {
        fail();
        return;
    }
    const QStringList earlierBackups = sidestepEarlierBackups(entries);

    const QString root = programFolder();
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceEntry& entry : entries) {
        const QFileInfo target(root + "/" + targetPath(entry, QString()));
        const QString folder = target.path();
        if (seen.contains(folder))
            continue;
        seen.insert(folder);
        if (!target.dir().exists())
            missing << folder;
    }
    missing.sort();
    if (!entries.isEmpty() && !beginJournal(planChanges(entries, missing, earlierBackups))) {
        fail();
        return;
    }
    for (const QString& folder : qAsConst(missing))
        addTask(new DirCreateTaskSpecification(folder, &journal, this, 0.1 / missing.size()));

    const double fileWeight = entries.isEmpty() ? 0.0 : (missing.isEmpty() ? 1.0 : 0.9) / entries.size();
    for (int i = 0; i < entries.size(); ++i) {
        auto* file = new FileReplaceTaskSpecification(entries[i], deleteList, &journal, configuration, this, fileWeight);
        file->setEarlierBackup(earlierBackups[i]);
        addTask(file);
    }
    startSubTasks();
}

void FileReplaceListTaskSpecification::reset()
{
    // Files still being replaced hold the newest changes: undo those first, then the step's own.
    for (TaskSpecification* child : qAsConst(allTasks)) {
        auto* file = qobject_cast<FileReplaceTaskSpecification*>(child);
        if (file && file->getState() == Running)
            file->discardWork();
    }
    deleteSubTasks();
    rollbackAll(journal, this);
    undoJournal();
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::complete()
{
    QStringList problems;
    if (aggregateState() == Finished && (!diskJournal || diskJournal->commit(&problems))) {
        ComposedTaskSpecification::complete();
        return;
    }
    for (const QString& problem : qAsConst(problems))
        emit message(problem);
    emit message("rolling back file updates");
    rollbackAll(journal, this);
    undoJournal();
    if (!problems.isEmpty())
        fail(); // every file was replaced, but the change could not be made safe
    else
        ComposedTaskSpecification::complete();
}
