#pragma once

// The replacement step: puts the downloaded files into the installation, two at a time, keeping
// a backup of every replaced file, so that a failure, a cancel or a crash leaves the installation
// as it was, and every file name holds a whole file, the old or the new one, at every instant.

#include "composedtaskspecification.h"
#include "replacejournal.h"
#include "rollback.h"
#include "updatelists.h"

#include <QStringList>

#include <memory>

struct RunSettings;

// The staging of one file, as its change of the plan says (rollback.h):
//   unpack the gzip download to the staged name and check its MD5   (an entry with an install path)
//   or copy the download to the staged name                          (any other entry)
//   keep the installed file by a hard link at its backup name        (a replaced file)
//   or record the staged file's identity in the journal              (a created file)
// The step renames the staged file to the file's name once every file is staged.
// A replaced file keeps the installed file's permission bits without set-id bits (a program or
// library also gets read and execute for its owner, and execute for whoever may read it: 0644
// becomes 0755, 0700 stays); a new program or library gets 0755, any
// other new file the mode the copy or unpack gives it. The steps run one after the other;
// when one fails, the replacement step undoes the plan.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // `journal` holds the plan `change` belongs to and outlives the task.
    FileReplaceTaskSpecification(const ReplaceEntry& entry, const RollbackData& change, ReplaceJournal* journal,
                                 const RunSettings* configuration, QObject* parent, double weight);
    ~FileReplaceTaskSpecification() override;

    void start() override;
    // Waits for running pool work and drops the children. The change is undone by the step, with
    // the rest of its plan.
    void reset() override;

    // File names that are run as programs, and complete suffixes of shared libraries.
    static const QStringList executableNames;
    static const QStringList librarySuffixes;
    // Whether a file of this name is one of executableNames or its complete suffix one of
    // librarySuffixes (case-sensitive): it is then made runnable (read and execute for everyone,
    // write for the owner only).
    static bool isRunnable(const QString& fileName);
    // The mode the new content of `target` (an absolute path) is written with, -1 for the copy's
    // or unpack's own (see above).
    static int stagedMode(const QString& target, bool replacing);

private:
    ReplaceEntry entry;
    RollbackData change;
    ReplaceJournal* journal;
    const RunSettings* configuration;
};

// The replacement step. It plans every change first (planReplacement) and writes the plan to the
// installation's replace journal (replacejournal.h), so that a crash in the middle is undone at
// the next start; an entry that leads outside the installation, or two that would write to the
// same name, stop the step before anything changes. It then creates the missing folders and
// stages the files, two at a time, in list order; once all are staged it syncs the file system
// and renames each staged file to its name (over the installed one) in plan order, so that the
// renames reach the disk only after the data they name. When it ends other than Finished it sends
// "rolling back file updates" and undoes the plan, newest change first. When every file is
// replaced it commits the journal and hands the backups (except those of the updater's own files,
// which stay until its next start) and the earlier backups that stood in their way to the delete
// list; the update removes the journal once it has finished (removeJournal). A journal that an
// earlier start could not clear is tried again first; while it stays, the step does not start.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // The lists belong to the update and outlive the step; only the configuration's temporary
    // folder is used.
    FileReplaceListTaskSpecification(const QList<ReplaceEntry>& replaceList, QStringList& deleteList,
                                     const RunSettings* configuration, QObject* parent, double weight);
    ~FileReplaceListTaskSpecification() override;

    void start() override;
    // Stops the files being replaced (waiting for their pool work), drops the children and undoes
    // the plan.
    void reset() override;

    // The update has finished: the replace journal is not needed any more.
    void removeJournal();

protected:
    void complete() override;

private:
    // Plans the replacement, writes the journal and adds the children; false when the step cannot
    // start (the reason has been sent).
    bool prepare();
    bool recoverEarlierJournal();
    // Undoes the plan as far as it was carried out and removes the journal.
    void undo();
    QStringList backupsToDelete() const;
    // Syncs the file system, then renames every staged file to its name; false with the reason.
    bool placeStagedFiles(QStringList* problems);
    // The update is committed: the backups of files that became folders, and of folders that
    // became files, go whole.
    void removeKindChangeBackups();

    const QList<ReplaceEntry>& replaceList;
    QStringList& deleteList;
    const RunSettings* configuration;
    std::unique_ptr<ReplaceJournal> journal;
};
