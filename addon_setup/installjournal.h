#pragma once

// The installation's journal on disk, so that an installation cut short by a crash or a power cut
// is undone (or, once committed, finished) at the next start.
//
// Before the installation changes anything it writes its whole plan into the journal and syncs it:
// the folders it makes; every file with the staged copy that goes beside it and, where it replaces
// a file, the backup name that keeps the replaced one; the settings it changes with their old
// values. All names are fresh when the plan is written, so what is found at them is ours. The
// installation then runs in three phases, each undone from what the file system shows:
//   staging    the folders are made, the staged copies and the backups (hard links to the replaced
//              files, or copies) written; no target has changed. Undo: the staged copies and the
//              backups go, then the new folders.
//   placing    ("P", once the staged files are on disk) each staged copy is renamed over its
//              target, so that no target name is ever absent; then the settings are written.
//              Undo: a staged copy still there was never placed and goes; a backup is renamed back
//              over its target; a new file goes; the settings get their old values; the new
//              folders go.
//   committed  ("C", once every file is in place and the settings are written) only the backups
//              are left to remove.
// The journal is removed when the installation has finished or its undo is complete.
//
// Format (text, one record a line): the header "VXM add-on journal 1", then
//   D <folder>    F <target> <staged> [<backup>]    S <settings file> <key> <value> [=<old value>]
// then "E <CRC-32 of every byte before this line, eight hexadecimal digits>", then "P" and "C" as
// the phases begin. Paths are absolute, every field is percent-encoded. A journal without its E
// line was cut short before the installation changed anything.

#include "safefs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct JournalPlan
{
    struct File
    {
        QByteArray target;
        QByteArray staged;
        QByteArray backup; // empty: nothing was at the target's place
    };
    struct Setting
    {
        QString file;
        QString key;
        QString value;
        bool hadOldValue = false;
        QString oldValue;
    };
    QVector<QByteArray> folders; // parents before what they hold
    QVector<File> files;
    QVector<Setting> settings;
};

enum class JournalPhase { Staging, Placing, Committed };

class InstallJournal
{
public:
    explicit InstallJournal(const QString &path);

    // Creates the journal (never over an existing one) with the plan and makes it durable. False,
    // with `error` set, when that fails; nothing is left then.
    bool begin(const JournalPlan &plan, QString &error);
    // Marks the start of a phase and makes the mark durable.
    bool enter(JournalPhase phase, QString &error);
    // The installation has finished or is undone: the journal goes.
    void remove();

private:
    QString m_path;
    safefs::Fd m_fd;
};

// Writes one of the plan's settings; with `restore`, its old value instead (or removes the key).
bool writeSetting(const JournalPlan::Setting &setting, bool restore);

// Undoes a plan that was cut short in `phase` (staging or placing), from what the file system
// shows. Returns the targets that could not be restored; empty when everything is as before.
QStringList undoPlan(const JournalPlan &plan, JournalPhase phase);

// Removes what a committed plan leaves: the backups (and any staged copy). False when one stays.
bool finishPlan(const JournalPlan &plan);

// The text that tells the user which files an undo could not restore.
QString notRestoredText(const QStringList &targets);

// At start-up, before anything else: undoes what an interrupted installation changed, or when it
// was committed only finishes it, as its journal at `path` says, and removes the journal. False,
// with `error` set, when that did not succeed; the journal then stays for the next start.
bool recoverInstallJournal(const QString &path, QString &error);
