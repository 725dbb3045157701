#pragma once

// The installation's journal on disk, so that an installation cut short by a crash or a power cut
// is undone (or, once committed, finished) at the next start.
//
// Before the installation changes anything it writes its whole plan into the journal and syncs it:
// the client folder; the folders it makes; every file with the staged copy that goes beside it and,
// where it replaces a file, the backup name that keeps the replaced one, each with the size and
// modification time of the content it puts there and of the content it replaces; the add-on list
// entry it changes with its old value. Staged and backup names are fresh when the plan is written
// and have patterns of their own (stagedNamePattern, backupNamePattern), so what is found at them
// is ours, and a sweep of leftover staged copies never takes a backup. The installation then:
//   stages     makes the folders, the staged copies and the backups (hard links to the replaced
//              files, or copies with their times); no target has changed;
//   places     ("P" once everything is staged and synced) renames each staged copy over its target,
//              so that no target name is ever absent, then writes the add-on list;
//   commits    ("C" once all of it is in place) and removes the backups.
// The journal is removed when the installation has finished or its undo is complete.
//
// The undo looks at the file system, never at the error a call returned, and works for any phase:
// a staged copy still there was never placed (its backup, then the copy, go); a backup without its
// staged copy means the copy took the target's place (the backup is renamed back); with neither,
// the target is compared with the content recorded in the plan: a new file that is still ours goes,
// a replaced one must hold the old content again, or it is not restored. A journal whose undo cannot
// complete, that cannot be read, or that another user or version wrote is never obeyed blindly: it is
// set aside, with the backups it names, into a kept folder in the configuration folder and named to
// the user; later installations go on.
//
// Format (text, one record a line): the header "VXM add-on journal 2", then
//   R <client folder>     D <folder>     F <target> <staged> <new content> [<backup> <old content>]
//   S addons.ini <key> <value> [=<old value>]
// then "E <CRC-32 of every byte before this line, eight hexadecimal digits>", then "P" and "C" as
// the phases begin. The client folder is absolute; folders and targets are relative to it and lie in
// its content folders; staged and backup names are names in the target's own folder; content is
// "<size>:<seconds>.<nanoseconds>" of its modification time. Bytes up to the blank, "%", and DEL are
// percent-encoded, other bytes stand as they are. A journal without its E line, whose every line
// read so far is a record, was cut short before the installation changed anything.

#include "safefs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct JournalPlan
{
    // The content a name holds, told apart by its size and modification time.
    struct Content
    {
        qint64 size = -1;
        qint64 seconds = 0;
        qint64 nanoseconds = 0;

        bool operator==(const Content &other) const
        {
            return size == other.size && seconds == other.seconds && nanoseconds == other.nanoseconds;
        }
        bool known() const { return size >= 0; }
        // What `path` holds now (the entry itself, not a link's target); unknown when nothing is there.
        static Content of(const QByteArray &path);
    };
    struct File
    {
        QByteArray target; // relative to the client folder
        QByteArray staged; // names in the target's folder
        QByteArray backup; // empty: nothing was at the target's place
        Content fresh;     // what the staged copy holds
        Content old;       // what the target held
    };
    struct Setting
    {
        QString key;
        QString value;
        bool hadOldValue = false;
        QString oldValue;
    };
    QByteArray root; // the client folder, absolute
    QVector<QByteArray> folders; // relative, parents before what they hold
    QVector<File> files;
    QVector<Setting> settings; // of the user's add-on list

    QByteArray path(const QByteArray &relative) const { return root + '/' + relative; }
    QByteArray stagedPath(const File &file) const { return beside(file, file.staged); }
    QByteArray backupPath(const File &file) const { return file.backup.isEmpty() ? QByteArray() : beside(file, file.backup); }

private:
    QByteArray beside(const File &file, const QByteArray &name) const
    {
        return safefs::parentOf(path(file.target)) + '/' + name;
    }
};

// Staged copies are named ".vxm-<token>-<n>", backups ".vxmkeep-<token>-<n>".
extern const char *const stagedNamePattern;
extern const char *const backupNamePattern;

// The user's add-on list, which the journal's settings change.
QString addonListPath();
// False, with `problem` saying why, when the add-on list must not be written: it belongs (or links)
// to another user, is no regular file, or is no settings file that can be read back.
bool checkAddonList(QString &problem);

class InstallJournal
{
public:
    explicit InstallJournal(const QString &path);

    // Creates the journal (never over an existing one) with the plan and makes it durable. False,
    // with `error` set, when that fails; nothing is left then.
    bool begin(const JournalPlan &plan, QString &error);
    // Marks the start of placing (or the commit) and makes the mark durable.
    bool enter(bool committed, QString &error);
    // The installation has finished or is undone: the journal goes.
    void remove();

    const QString &path() const { return m_path; }

private:
    QString m_path;
    safefs::Fd m_fd;
};

// Writes one of the plan's settings; with `restore`, its old value instead (or removes the key).
// A file that already says so is left untouched.
bool writeSetting(const JournalPlan::Setting &setting, bool restore);

// Undoes a plan from what the file system shows. Returns the targets (and the add-on list) that are
// not as they were; empty when everything is as before.
QStringList undoPlan(const JournalPlan &plan);

// Removes what a committed plan leaves: the backups (and any staged copy). False when one stays.
bool finishPlan(const JournalPlan &plan);

// The text that tells the user which files an undo could not restore.
QString notRestoredText(const QStringList &targets);

// Moves the journal at `path` into a new kept folder in the configuration folder, with the backups
// that `plan` (when given) names and a list of where each belongs, and returns the sentence that
// tells the user where they are. When the journal cannot be moved it stays, and the sentence says so
// and what to do; `kept` is then false.
QString setJournalAside(const QString &path, const JournalPlan *plan, bool &kept);

// At start-up: undoes what an interrupted installation changed, or when it was committed only
// finishes it, as the journal at `path` says, and removes the journal. A journal that cannot be
// obeyed or undone is set aside. `report` receives what the user must be told (empty when nothing);
// false when the journal had to stay where it is, so that no installation can begin.
bool recoverInstallJournal(const QString &path, QString &report);
