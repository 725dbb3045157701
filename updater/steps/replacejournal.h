#pragma once

// The replacement step's plan on disk, so that a replacement cut short by a crash or a power cut
// is undone at the next start.
//
// Before the step changes anything it writes its whole plan (rollback.h) into old/replace.journal
// of the installation and syncs the file and its folder. Every change of the plan can be undone by
// looking at the installation alone, whether or not it was ever made, so one sync serves the whole
// step. When every change succeeded the step syncs the file system (if the plan replaces files,
// whose backups are about to go) and appends a commit mark; from then on the update counts as
// done, and an interrupted one is completed instead of undone: the backups of the plan (and the
// earlier backups that stood in their way) are removed. The journal is removed when the update
// has finished, or when an undo has put everything back.
//
// Format (text, one record a line, ended by "\n"): the header "VXM replace journal 3", then the
// plan
//   D <folder>   N <file> <staged>   P <file> <staged> <backup> <earlier backup or nothing>
//   O <folder where a file was> <backup>   F <file where a folder was> <staged> <backup>
// and its end E, written at once; then, as created files are staged, I <file> <device> <inode>
// (of a created file or one that takes a folder's place: the file the update is about to rename to
// that name; only that file is ever removed there);
// later perhaps the commit mark C. Version 2 is read too: it has no I records, so its created
// files are kept by an undo. Each record is followed by a
// blank and the CRC-32 of the text before it in eight hexadecimal digits. Paths are relative to
// the installation, percent-encoded UTF-8 ('/' kept). A last line without its line end is a write
// that a crash cut off and is ignored; a journal that ends before E was cut off before any change.

#include "rollback.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What a replace journal's file says, as read back.
struct JournalContents
{
    enum Status {
        NoPlan,       // empty, or cut off before its plan was whole: nothing was changed yet
        Plan,         // a whole plan, `committed` or not
        OtherVersion, // written by another version of the updater
        Unreadable    // damaged
    };
    Status status = NoPlan;
    bool committed = false;
    ReplacementPlan plan; // empty unless the status is Plan
};

JournalContents readReplaceJournal(const QByteArray& data);
// The text of a journal with `plan`, with the commit mark when `committed`.
QByteArray replaceJournalText(const ReplacementPlan& plan, bool committed);

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

    // Creates the journal (never over anything at its name), writes the plan and syncs it, locked
    // against recovery by other processes until it is removed or closed. False with the reason in
    // `problems`, which names the journal file or what is in its way, then the system's reason.
    bool begin(const ReplacementPlan& plan, QStringList* problems);
    const ReplacementPlan& getPlan() const { return plan; }
    // The open journal file, whose file system is the installation's (for syncfs).
    int descriptor() const { return fd; }
    // The created file `file` of the plan is staged at `staged` (both relative) and about to be
    // renamed to its name: records the staged file's identity, so that an undo removes that file
    // and nothing else there. False with the reason, the file must then not be renamed.
    bool recordPlaced(const QString& file, const QString& staged, QStringList* problems);
    // Every planned change succeeded: syncs the installation's file system if the plan replaces
    // files, then marks the plan done. False with the reason, the journal then still counts as
    // not done.
    bool commit(QStringList* problems);
    // The step did not succeed: undoes whatever of the plan was carried out and removes the
    // journal when everything is back. True when it was removed; a change that could not be
    // undone keeps it for the next start.
    bool undo(const JournalReporter& report);
    // The update has finished: removes the journal.
    void remove();

private:
    void close();
    // Syncs what the undo or the update changed, then removes the file and the folder old if the
    // journal made it and it is empty.
    void removeFile();

    QString installation;
    QString path;
    ReplacementPlan plan;
    int fd = -1;
    bool madeOldFolder = false;
};

enum class JournalRecovery {
    NoJournal,  // nothing was interrupted
    Discarded,  // a journal cut off before its plan was whole was removed (nothing had changed)
    RolledBack, // an interrupted replacement was undone
    Completed,  // an interrupted update whose replacement had succeeded was completed
    SetAside,   // an unreadable journal was moved away with the backups; the update goes on
    Kept,       // not everything could be undone, or the journal could not be moved; it stays
    Busy        // a running updater holds the journal
};

// At start-up, before anything else touches the installation: undoes (newest first) or completes
// what an interrupted replacement left, as its journal says. A journal that cannot be read, or
// that another version wrote, is moved with every backup in old/ to a folder
// old/unrecovered-<date>-<time> that is kept for the user: without its plan nothing can be undone,
// and the next update brings every file to the release by its checksum.
JournalRecovery recoverReplaceJournal(const QString& installation, const JournalReporter& report);
