#pragma once

// The replacement step: puts the downloaded files into the installation, two at a time, keeping
// a backup of every replaced file and a journal of every change, so that a failure or a cancel
// leaves the installation as it was.

#include "composedtaskspecification.h"
#include "replacejournal.h"
#include "rollback.h"
#include "updatelists.h"

#include <QStringList>

#include <memory>

class Configuration;

// The replacement of one file:
//   rename the installed file to its backup under old/ (when the installed file exists)
//   unpack the gzip download and check its MD5        (an entry with an install path)
//   or copy the download                              (any other entry)
// The steps run one after the other and record into this file's own journal. On success the
// journal moves into the step's journal, the backup goes on the delete list (unless it is one of
// the updater's own files, which stay until its next start), and so does the backup of an earlier
// update that stood at the backup's usual name; executables and shared libraries are made runnable
// (mode 0755). On failure or abort the file's own journal is undone at once.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const ReplaceEntry& entry, QStringList* deleteList, RollbackJournal* parentJournal,
                                 const Configuration* configuration, QObject* parent, double weight);
    ~FileReplaceTaskSpecification() override;

    void start() override;
    // Waits for running pool work, undoes whatever this file's journal holds, drops the children.
    void reset() override;
    // For the step when it is reset while this file runs: the same undo, without the reset of the
    // state (the task is about to be deleted).
    void discardWork();

    const ReplaceEntry& getEntry() const { return entry; }
    // A backup left by an earlier update at this file's usual backup name (relative to the
    // installation). It may be the only copy of an original, so it is never deleted or overwritten
    // here; the entry's backup then has another name, and it goes on the delete list only when
    // this file was replaced.
    void setEarlierBackup(const QString& path) { earlierBackup = path; }

    // File names that are run as programs, and complete suffixes of shared libraries.
    static const QStringList executableNames;
    static const QStringList librarySuffixes;
    // Gives `path` mode 0755 when its name is one of executableNames or its complete suffix one of
    // librarySuffixes (case-sensitive); other files keep their mode.
    static void makeRunnableIfNeeded(const QString& path);

protected:
    void complete() override;

private:
    ReplaceEntry entry;
    QStringList* deleteList;
    RollbackJournal* parentJournal;
    RollbackJournal journal;
    const Configuration* configuration;
    QString earlierBackup;
    bool backupMade = false;
};

// The replacement step. It first creates the missing target folders (recorded in its journal),
// then replaces the files, two at a time, in list order. When it ends other than Finished it sends
// "rolling back file updates" and undoes its journal, newest first: every replaced file gets its
// original back and the created folders go. Two entries that would write the same file or share a
// backup, or a path that leads outside the installation, stop the step before anything changes.
//
// Before the first change it writes its plan to the installation's replace journal
// (replacejournal.h), so that a crash in the middle is undone at the next start; when every file
// is replaced it commits the journal, and the update removes it once it has finished
// (removeJournal). A journal that an earlier start could not clear is tried again first; while it
// stays, the step does not start.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // The lists belong to the update (not owned); only the configuration's temporary folder is used.
    FileReplaceListTaskSpecification(QList<ReplaceEntry>* replaceList, QStringList* deleteList,
                                     const Configuration* configuration, QObject* parent, double weight);
    ~FileReplaceListTaskSpecification() override;

    void start() override;
    // Undoes the files still being replaced and then the step's journal; drops the children.
    void reset() override;

    const RollbackJournal& getJournal() const { return journal; }
    // The update has finished: the replace journal is not needed any more.
    void removeJournal();

protected:
    void complete() override;

private:
    bool checkEntries();
    // Gives every entry whose usual backup name is taken by an earlier backup a free one and
    // returns those earlier backups (empty where there is none), by entry.
    QStringList sidestepEarlierBackups(QList<ReplaceEntry>& entries) const;
    QList<PlannedChange> planChanges(const QList<ReplaceEntry>& entries, const QStringList& missingFolders,
                                     const QStringList& earlierBackups) const;
    bool beginJournal(const QList<PlannedChange>& plan);
    // Undoes and removes the replace journal after the step's own rollback.
    void undoJournal();

    QList<ReplaceEntry>* replaceList;
    QStringList* deleteList;
    RollbackJournal journal;
    const Configuration* configuration;
    std::unique_ptr<ReplaceJournal> diskJournal;
};
