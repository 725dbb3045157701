#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// File system helpers that never follow symbolic links and check every write.
namespace safefs {

enum class Kind { Missing, File, Dir, SymLink, Other };

// An open file descriptor, closed when it goes.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor and tells whether the close succeeded.
    bool close();
    void reset(int fd = -1);
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Writes all of `data`, going on after short writes and interruptions.
bool writeAll(int fd, const char *data, qint64 size);

// The device and inode of the entry `path` itself, as text; empty when nothing is there.
QByteArray identityOf(const QString &path);

// What the path itself is (the link, not its target).
Kind kindOf(const QString &path);

// Makes a folder for each of `components` in turn below `root`, which must exist. An existing
// component must be a real folder; a symbolic link or any other entry on the way fails.
bool makeDirsBelow(const QString &root, const QStringList &components);

// Creates or truncates the regular file `path` (never through a symbolic link) and opens it for
// writing; -1 when that fails.
int createFile(const QString &path);

// Creates or truncates the regular file `path` (never through a symbolic link) and writes `data`.
bool writeFile(const QString &path, const QByteArray &data);

// Makes `path` a folder only the user can enter (mode 0700). An existing entry is accepted only
// when it is a real folder owned by the user; its mode is then tightened to 0700. On failure
// `problem` says why.
bool ensurePrivateDir(const QString &path, QString &problem);

// Makes the entries of the folder `path` (names made, renamed or removed) durable.
bool syncFolder(const QByteArray &path);

// Makes everything written to the file systems that hold the folders `paths` durable, with one
// sync of each file system. On failure `failed` names the folder whose sync failed.
bool syncFileSystems(const QList<QByteArray> &paths, QByteArray *failed = nullptr);

// The folder that holds `path`.
QByteArray parentOf(const QByteArray &path);

// Removes the entry `path` itself: a file or a symbolic link is unlinked, a folder is removed
// with everything below it; links are never followed.
bool removeEntry(const QString &path);

} // namespace safefs
