#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <vector>

// Puts a set of files into a folder all at once. Every file is first written under a temporary
// name beside its target (a hard link when the source is on the same file system, else a copy; so
// the sources must be files that are thrown away, not changed, afterwards, as the extraction's are);
// only when all are staged are they renamed into place, and the files they replace are kept until
// the caller calls finish(). Whatever fails, rollback() (or the destructor) takes the folder back
// to what it was: replaced files return, staged files and new folders go.
class StagedInstall
{
public:
    explicit StagedInstall(const QString &root);
    ~StagedInstall();
    StagedInstall(const StagedInstall &) = delete;
    StagedInstall &operator=(const StagedInstall &) = delete;

    // Makes the folder `relative` below the root unless it is there (a link to a folder counts).
    bool makeFolder(const QString &relative);
    // Stages the regular file `source` as `relative` below the root; its folder must be there.
    bool stageFile(const QString &source, const QString &relative);
    // Makes the staged files durable with one sync of each file system, renames them into place
    // and syncs the folders that changed. On failure everything done so far is undone.
    bool commit();
    // Removes the replaced files: from now on the installation stays.
    void finish();
    // Undoes everything that was done.
    void rollback();

    // What failed, for the user.
    const QString &error() const { return m_error; }

private:
    enum class State { Staged, Placed, Exchanged, Replaced };
    struct File
    {
        QByteArray temp;   // the staged file; after an exchange, the replaced one
        QByteArray target;
        QByteArray backup; // the replaced file, where no exchange was possible
        State state = State::Staged;
    };

    bool fail(const QString &what, int error);
    QByteArray freshName(const QByteArray &folder);
    bool place(File &file);
    bool syncFolders();

    QByteArray m_nativeRoot;
    std::vector<File> m_files;
    std::vector<QByteArray> m_newFolders;
    QSet<QByteArray> m_changedFolders;
    QByteArray m_token;
    quint64 m_counter = 0;
    bool m_done = false;
    QString m_error;
};
