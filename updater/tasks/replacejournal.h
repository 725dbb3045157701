#pragma once

// The replacement step's journal on disk, so that a replacement cut short by a crash or a power
// cut is undone at the next start.
//
// Before the step changes anything it writes every change it is about to make into
// old/replace.journal of the installation and syncs the file and its folder. Each planned change
// can be undone by looking at the installation alone, whether or not it was ever made, so one sync
// serves the whole step:
//   CreateDir   undo: remove the folder when it is there (it must be empty)
//   NewFile     undo: remove the file when it is there (nothing was at its place before)
//   ReplaceFile undo: when the backup is there, the installed file was moved to it: remove what is
//               at the file's place now and rename the backup back; without a backup, nothing
//               (the file was never moved, or was already put back)
// Backup names are free when the plan is written, so a backup that is there is ours.
// When every change succeeded the step syncs the file system (if the plan replaces files, whose
// backups are about to go) and appends a commit mark; from then on the update counts as done, and
// an interrupted one is completed instead of undone: the backups of the plan (and the earlier
// backups that stood in their way) are removed. The journal is removed when the update has
// finished, or when an undo has put everything back.
//
// Format (text, one record a line, ended by "\n"): the header "VXM replace journal 1", then
//   D <path>   N <path>   P <path> <backup> <earlier backup or nothing>   C
// each followed by a blank and the CRC-32 of the line before it in eight hexadecimal digits.
// Paths are relative to the installation, percent-encoded UTF-8 ('/' kept). A last line cut off by
// the crash (no line end, or a wrong CRC with nothing valid after it) is ignored: its write never
// finished, so nothing it plans was started.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

struct PlannedChange
{
    enum Kind { CreateDir, NewFile, ReplaceFile };
    Kind kind = NewFile;
    QString path;          // the folder, the new file or the replaced file
    QString backup;        // ReplaceFile: where the installed file goes
    QString earlierBackup; // ReplaceFile: a backup of an earlier update that stood at `backup`'s
                           // default name; removed only once the update has succeeded
};

// Receives the texts of an undo or a recovery, one line each.
using JournalReporter = std::function<void(const QString&)>;

class ReplaceJournal
{
public:
    // `installation`: the program folder the paths are relative to.
    explicit ReplaceJournal(const QString& installation);
    // Closes the file; the journal itself stays.
    ~ReplaceJournal();
    ReplaceJournal(const ReplaceJournal&) = delete;
    ReplaceJournal& operator=(const ReplaceJournal&) = delete;

    static QString pathIn(const QString& installation);

    // Creates the journal (never over an existing one), writes the plan and syncs it, locked
    // against recovery by other processes until it is removed or closed. False with the reason
    // in `problems` (which then names the journal file, then "<path>: <system's reason>").
    bool begin(const QList<PlannedChange>& plan, QStringList* problems);
    // Every planned change succeeded: syncs the installation's file system if the plan replaces
    // files, then marks the plan done. False with the reason, the journal then still counts as
    // not done.
    bool commit(QStringList* problems);
    // The step did not succeed and has undone what it knew of: undoes whatever of the plan is
    // still changed and removes the journal when nothing is left. True when it was removed; a
    // change that could not be undone keeps it for the next start (reported in one line).
    bool undo(const JournalReporter& report);
    // The update has finished: removes the journal.
    void remove();

    bool isOpen() const { return fd >= 0; }

private:
    void close();
    // Syncs what the undo or the update changed, then removes the file and the folder old if the
    // journal made it and it is empty.
    void removeFile();

    QString installation;
    QString path;
    QList<PlannedChange> plan;
    int fd = -1;
    bool madeOldFolder = false;
};

enum class JournalRecovery {
    NoJournal,  // nothing was interrupted
    RolledBack, // an interrupted replacement was undone
    Completed,  // an interrupted update whose replacement had succeeded was completed
    Kept,       // the journal could not be read or not everything could be undone; it stays
    Busy        // a running updater holds the journal
};

// At start-up, before anything else touches the installation: undoes (newest first) or completes
// what an interrupted replacement left, as its journal says.
JournalRecovery recoverReplaceJournal(const QString& installation, const JournalReporter& report);
