#pragma once

#include "installjournal.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVector>

// Puts a set of files into place all at once, as the journal (installjournal.h) describes: first
// everything is planned and journalled, then every file is staged under a hidden name beside its
// target (a hard link when the source is on the same file system, else a copy; so the sources must
// be files that are thrown away, not changed, afterwards, as the extraction's are) and every file
// it replaces is kept by a hard link under a backup name; only when all of it is on disk are the
// staged files renamed over their targets and the add-on list written. Whatever fails, the folders
// are taken back to what they were; a crash is undone at the next start from the journal. SIGTERM,
// SIGHUP and SIGINT during run() stop it at the next file with the same undo (or, once it is
// committing, let it finish), and then end the process by that signal.
class StagedInstall
{
public:
    // Installs into the client folder `root` (absolute), journalled at `journalPath`.
    StagedInstall(const QString &journalPath, const QString &root);

    // Plans the folder `relative` unless it is there (a link to a folder counts).
    bool addFolder(const QString &relative);
    // Plans the regular file `source` as `relative`, whose folder is there or planned.
    bool addFile(const QString &source, const QString &relative);
    // Plans setting `key` of the user's add-on list to `value` once every file is in place.
    void addSetting(const QString &key, const QString &value);

    // Journals the plan and carries it out. On failure everything is undone (or, where that
    // fails, the journal is set aside with the backups) and error() says why.
    bool run();

    const QString &error() const { return m_error; }

private:
    bool fail(const QString &what, int error);
    QByteArray freshName(const char *prefix);
    bool stage();
    bool stageFile(const JournalPlan::File &file, const QByteArray &source);
    bool place();
    bool stopped();
    bool undo();

    InstallJournal m_journal;
    JournalPlan m_plan;
    QVector<QByteArray> m_sources; // the source of each planned file
    QSet<QByteArray> m_changedFolders;
    QByteArray m_token;
    quint64 m_counter = 0;
    QString m_error;
};
