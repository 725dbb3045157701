#include "filereplacetasks.h"

#include "checksignaturetaskspecification.h"
#include "fileerror.h"
#include "fileopfault.h"
#include "fileoptasks.h"
#include "nativepath.h"
#include "ownership.h"
#include "programfolder.h"
#include "runsettings.h"
#include "updaterfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

const QStringList FileReplaceTaskSpecification::executableNames = {
    "vxmclient_linux_x86", "vxmclient_linux_amd64", "vxmclient_runscript.sh", "update", "fault_sender", "addon_setup"};
const QStringList FileReplaceTaskSpecification::librarySuffixes = {"so", "so.4", "so.5"};

// ---- one file --------------------------------------------------------------------------------

namespace {

// Records in the journal which file is about to take a created file's name (ReplaceJournal::recordPlaced).
class PlacedFileRecordTask : public FastFileOpTaskSpecification
{
public:
    PlacedFileRecordTask(ReplaceJournal* journal, const RollbackData& change, QObject* parent)
        : FastFileOpTaskSpecification(change.path, parent, 0.0), journal(journal), change(change)
    {
    }

protected:
    bool runOperation() override
    {
        QStringList problems;
        if (journal->recordPlaced(change.path, change.stagedPath, &problems))
            return true;
        for (const QString& problem : qAsConst(problems))
            emit message(problem);
        return false;
    }

private:
    ReplaceJournal* journal;
    RollbackData change;
};

// Makes a folder where a file is installed: the file goes to its backup name first.
class FolderForFileTask : public FastFileOpTaskSpecification
{
public:
    FolderForFileTask(const QString& root, const RollbackData& change, QObject* parent, double weight)
        : FastFileOpTaskSpecification(root + "/" + change.path, parent, weight), backup(root + "/" + change.backupPath)
    {
    }

protected:
    bool runOperation() override
    {
        if (!injectedFileOpFault("rename", backup) && renameNoReplace(path, backup)) {
            if (::mkdir(nativePath(path).constData(), 0777) == 0) {
                takeFolderOwner(path);
                return true;
            }
            const int error = errno;
            emit message(QString("unable to create dir %1").arg(path));
            emit message(fileErrorLine(path, error));
            return false;
        }
        const int error = errno;
        emit message(QString("Could not rename '%1' to '%2'").arg(path, backup));
        emit message(renameErrorLine(path, backup, error));
        return false;
    }

private:
    QString backup;
};

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry& entry, const RollbackData& change,
                                                           ReplaceJournal* journal, const RunSettings* configuration,
                                                           QObject* parent, double weight)
    : ComposedTaskSpecification(1, parent, weight), entry(entry), change(change), journal(journal),
      configuration(configuration)
{
}

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

void FileReplaceTaskSpecification::start()
{
    state = Running;
    emit message(QString("add/replace %1").arg(entry.path));
    const QString root = programFolder();
    const QString source = configuration->tempDir + "/" + entry.path;
    const QString staged = root + "/" + change.stagedPath;
    const QString target = root + "/" + change.path;

    const bool replacing = change.type == ReplacedFile;
    const bool unpacking = !entry.installPath.isEmpty();
    // Keeping the installed file: 0.1; a check 0.2.
    const double rest = (replacing ? 0.9 : 1.0) - (unpacking ? 0.2 : 0.0);
    SlowFileOpSpecification* write = nullptr;
    if (unpacking) {
        const qint64 maxSize = entry.unpackedSize <= quint64(std::numeric_limits<qint64>::max())
                                   ? qint64(entry.unpackedSize)
                                   : -1;
        write = new FileUnzipTaskSpecification(source, staged, this, rest, maxSize);
    } else {
        write = new FileCopyTaskSpecification(source, staged, this, rest);
    }
    write->setMode(stagedMode(target, replacing));
    addTask(write);
    if (unpacking)
        addTask(new CheckSignatureTaskSpecification(staged, entry.unpackedMd5, true, this, 0.2));
    if (replacing)
        addTask(new FileLinkTaskSpecification(target, root + "/" + change.backupPath, this, 0.1));
    else
        addTask(new PlacedFileRecordTask(journal, change, this));
    startSubTasks();
}

void FileReplaceTaskSpecification::reset()
{
    deleteSubTasks();
    // A copy or unpack still in flight may yet write the staged file, which the step's undo
    // must find there.
    QThreadPool::globalInstance()->waitForDone();
    TaskSpecification::reset();
}

int FileReplaceTaskSpecification::stagedMode(const QString& target, bool replacing)
{
    const bool runnable = isRunnable(QFileInfo(target).fileName());
    struct stat installed;
    if (replacing && ::lstat(nativePath(target).constData(), &installed) == 0 && S_ISREG(installed.st_mode)) {
        // The installed file's permissions stay, without set-id bits; a program or library can be
        // run by its owner and by whoever may read it.
        const int kept = int(installed.st_mode & 0777);
        return runnable ? kept | ((kept & 0444) >> 2) | 0500 : kept;
    }
    return runnable ? 0755 : -1;
}

bool FileReplaceTaskSpecification::isRunnable(const QString& fileName)
{
    return executableNames.contains(fileName) || librarySuffixes.contains(QFileInfo(fileName).completeSuffix());
}

// ---- the step --------------------------------------------------------------------------------

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(const QList<ReplaceEntry>& replaceList,
                                                                   QStringList& deleteList,
                                                                   const RunSettings* configuration,
                                                                   QObject* parent, double weight)
    : ComposedTaskSpecification(2, parent, weight), replaceList(replaceList), deleteList(deleteList),
      configuration(configuration)
{
}

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

bool FileReplaceListTaskSpecification::recoverEarlierJournal()
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
        return true;
    }
}

bool FileReplaceListTaskSpecification::prepare()
{
    if (!recoverEarlierJournal())
        return false;
    const QString root = programFolder();
    QString refusal;
    const PlannedReplacement plan =
        planReplacement(replaceList, [&root](const QString& path) { return pathKind(root + "/" + path); }, &refusal);
    // Where a deletion would refuse a path, no file is written either: a linked folder that leads
    // outside the program folder is refused before anything changes. A folder still to be made is
    // judged by the nearest one that is there.
    for (int i = 0; refusal.isEmpty() && i < replaceList.size(); ++i) {
        const QString target = targetPath(replaceList.at(i), QString());
        QString folder = QFileInfo(target).path();
        while (folder != "." && pathKind(root + "/" + folder) == PathKind::Absent)
            folder = QFileInfo(folder).path();
        if (!folderLiesInside(root, folder == "." ? root : root + "/" + folder))
            refusal = QString("Refusing to replace '%1': its folder '%2' leads outside the program folder through a link")
                          .arg(target, folder);
    }
    if (!refusal.isEmpty()) {
        emit message(refusal);
        return false;
    }
    journal.reset(new ReplaceJournal(root));
    QStringList problems;
    if (!journal->begin(plan.all(), &problems)) {
        for (const QString& problem : qAsConst(problems))
            emit message(problem);
        journal.reset();
        return false;
    }

    const int folders = plan.folders.size();
    for (const RollbackData& change : plan.folders) {
        if (change.type == FolderForFile)
            addTask(new FolderForFileTask(root, change, this, 0.1 / folders));
        else
            addTask(new DirCreateTaskSpecification(root + "/" + change.path, this, 0.1 / folders));
    }
    const double fileWeight = (folders > 0 ? 0.9 : 1.0) / replaceList.size();
    for (int i = 0; i < replaceList.size(); ++i)
        addTask(new FileReplaceTaskSpecification(replaceList[i], plan.files[i], journal.get(), configuration, this,
                                                 fileWeight));
    return true;
}

void FileReplaceListTaskSpecification::undo()
{
    if (!journal)
        return;
    journal->undo([this](const QString& text) { emit message(text); });
    journal.reset();
}

void FileReplaceListTaskSpecification::removeJournal()
{
    if (journal)
        journal->remove();
    journal.reset();
}

QStringList FileReplaceListTaskSpecification::backupsToDelete() const
{
    QStringList backups;
    for (const RollbackData& change : journal->getPlan()) {
        if (change.type != ReplacedFile)
            continue; // a folder's or a kind change's backup is removed whole at commit
        if (!isUpdaterOwnPath(change.path))
            backups << change.backupPath;
        if (!change.earlierBackup.isEmpty())
            backups << change.earlierBackup;
    }
    backups.removeDuplicates();
    return backups;
}

void FileReplaceListTaskSpecification::start()
{
    state = Running;
    emit message("Starting file updates");
    if (!replaceList.isEmpty() && !prepare()) {
        fail();
        return;
    }
    startSubTasks();
}

void FileReplaceListTaskSpecification::reset()
{
    // A file still being replaced would otherwise go on with its next step once its work is done.
    for (TaskSpecification* child : qAsConst(allTasks)) {
        if (child->getState() == Running)
            child->reset();
    }
    deleteSubTasks();
    undo();
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::removeKindChangeBackups()
{
    const QString root = programFolder();
    for (const RollbackData& change : journal->getPlan()) {
        if (change.type != FolderForFile && change.type != FileForFolder)
            continue;
        const QString backup = root + "/" + change.backupPath;
        if (!removeTree(backup)) {
            const int error = errno;
            emit message(QString("Could not delete '%1'").arg(backup));
            emit message(fileErrorLine(backup, error));
        }
    }
}

bool FileReplaceListTaskSpecification::placeStagedFiles(QStringList* problems)
{
    if (!journal)
        return true;
    // Every staged file (and record of the journal) is on disk before the first name changes, so
    // that after a power cut each name holds the whole old or the whole new file.
    if (::syncfs(journal->descriptor()) != 0) {
        *problems << QStringLiteral("Could not write the staged files to disk") << fileErrorLine(programFolder(), errno);
        return false;
    }
    const QString root = programFolder();
    auto renamed = [&](const QString& from, const QString& to, FileRenameTaskSpecification::Existing existing) {
        FileRenameTaskSpecification rename(root + "/" + from, root + "/" + to, existing, nullptr, 0.0);
        connect(&rename, &TaskSpecification::message, this, [problems](const QString& text) { *problems << text; });
        rename.start();
        return rename.getState() == Finished;
    };
    for (const RollbackData& change : journal->getPlan()) {
        if (change.type == CreatedDir || change.type == FolderForFile)
            continue;
        // A folder that becomes a file is kept whole at its backup name first.
        if (change.type == FileForFolder
            && !renamed(change.path, change.backupPath, FileRenameTaskSpecification::KeepExisting))
            return false;
        if (!renamed(change.stagedPath, change.path,
                     change.type == ReplacedFile ? FileRenameTaskSpecification::ReplaceExisting
                                                 : FileRenameTaskSpecification::KeepExisting))
            return false;
    }
    return true;
}

void FileReplaceListTaskSpecification::complete()
{
    QStringList problems;
    if (aggregateState() == Finished && placeStagedFiles(&problems) && (!journal || journal->commit(&problems))) {
        if (journal) {
            deleteList << backupsToDelete();
            removeKindChangeBackups();
        }
        ComposedTaskSpecification::complete();
        return;
    }
    for (const QString& problem : qAsConst(problems))
        emit message(problem);
    emit message("rolling back file updates");
    undo();
    if (!problems.isEmpty())
        fail(); // every file was replaced, but the change could not be made safe
    else
        ComposedTaskSpecification::complete();
}
