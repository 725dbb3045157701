#include "installjournal.h"

#include "extract.h"
#include "globals.h"
#include "install.h"
#include "installfault.h"
#include "installlock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>

#include <zlib.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char *const stagedNamePattern = "^\\.vxm-[0-9a-z]+-[0-9]+$";
const char *const backupNamePattern = "^\\.vxmkeep-[0-9a-z]+-[0-9]+$";

namespace {

const QByteArray header = "VXM add-on journal 2";
const QByteArray headerOfAnyVersion = "VXM add-on journal ";
const QByteArray addonListName = "addons.ini";
// At most this many files are named in a message; the rest are counted.
constexpr int namedFiles = 10;
// The journal is written in blocks of about this size.
constexpr int writeBlockSize = 64 * 1024;

uLong crcOf(uLong crc, const char *data, qint64 size)
{
    return ::crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(size));
}

QByteArray crcText(uLong crc)
{
    return QByteArray::number(quint32(crc), 16).rightJustified(8, '0');
}

// Only what would split a record is encoded, so a name costs about its own length.
QByteArray field(const QByteArray &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == '%' || byte == 0x7f)
            out += '%' + QByteArray(1, hex[byte >> 4]) + hex[byte & 15];
        else
            out += c;
    }
    return out;
}

QByteArray field(const QString &text)
{
    return field(text.toUtf8());
}

QByteArray contentField(const JournalPlan::Content &content)
{
    return QByteArray::number(content.size) + ':' + QByteArray::number(content.seconds) + '.'
        + QByteArray::number(content.nanoseconds);
}

bool parseContent(const QByteArray &text, JournalPlan::Content &content)
{
    static const QRegularExpression shape(QStringLiteral("^([0-9]{1,18}):([0-9]{1,18})\\.([0-9]{1,9})$"));
    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return false;
    content = {match.captured(1).toLongLong(), match.captured(2).toLongLong(), match.captured(3).toLongLong()};
    return true;
}

// Writes the plan and its E line in blocks, so that the journal is never held whole in memory.
bool writePlan(int fd, const JournalPlan &plan)
{
    QByteArray block;
    uLong crc = ::crc32(0L, Z_NULL, 0);
    const auto flush = [&] {
        crc = crcOf(crc, block.constData(), block.size());
        const bool ok = safefs::writeAll(fd, block.constData(), block.size());
        block.truncate(0);
        return ok;
    };
    const auto line = [&](const QByteArray &text) {
        block += text + '\n';
        return block.size() < writeBlockSize || flush();
    };
    bool ok = line(header) && line("R " + field(plan.root));
    for (const QByteArray &folder : plan.folders)
        ok = ok && line("D " + field(folder));
    for (const JournalPlan::File &file : plan.files) {
        QByteArray record = "F " + field(file.target) + ' ' + field(file.staged) + ' ' + contentField(file.fresh);
        if (!file.backup.isEmpty())
            record += ' ' + field(file.backup) + ' ' + contentField(file.old);
        ok = ok && line(record);
    }
    for (const JournalPlan::Setting &setting : plan.settings) {
        ok = ok && line("S " + addonListName + ' ' + field(setting.key) + ' ' + field(setting.value)
                        + (setting.hadOldValue ? " =" + field(setting.oldValue) : QByteArray()));
    }
    if (!ok || !flush())
        return false;
    const QByteArray end = "E " + crcText(crc) + '\n';
    return safefs::writeAll(fd, end.constData(), end.size());
}

// A folder or target of a plan: a path below one of the content folders, without "." or "..".
bool isContentPath(const QByteArray &relative)
{
    const QList<QByteArray> components = relative.split('/');
    if (!topFolders().contains(QString::fromLatin1(components.first())))
        return false;
    for (const QByteArray &component : components) {
        if (component.isEmpty() || component == "." || component == ".." || component.contains('\0'))
            return false;
    }
    return true;
}

bool matches(const char *pattern, const QByteArray &name)
{
    return QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(name)).hasMatch();
}

// Reads one record into the plan; false when the line is no record, or names anything outside the
// client folder's content folders and the user's add-on list.
bool parseRecord(const QByteArray &line, JournalPlan &plan)
{
    const QList<QByteArray> fields = line.split(' ');
    const QByteArray &kind = fields.first();
    const auto bytes = [&](int i) { return QByteArray::fromPercentEncoding(fields.at(i)); };
    const auto text = [&](int i) { return QString::fromUtf8(bytes(i)); };
    if (kind == "R" && fields.size() == 2 && plan.root.isEmpty()) {
        plan.root = bytes(1);
        return plan.root.startsWith('/') && !plan.root.contains('\0');
    }
    if (plan.root.isEmpty())
        return false;
    if (kind == "D" && fields.size() == 2) {
        plan.folders.append(bytes(1));
        return isContentPath(plan.folders.last());
    }
    if (kind == "F" && (fields.size() == 4 || fields.size() == 6)) {
        JournalPlan::File file{bytes(1), bytes(2), QByteArray(), {}, {}};
        bool ok = isContentPath(file.target) && matches(stagedNamePattern, file.staged)
            && parseContent(fields.at(3), file.fresh);
        if (fields.size() == 6) {
            file.backup = bytes(4);
            ok = ok && matches(backupNamePattern, file.backup) && parseContent(fields.at(5), file.old);
        }
        plan.files.append(file);
        return ok;
    }
    if (kind == "S" && (fields.size() == 4 || (fields.size() == 5 && fields.at(4).startsWith('=')))
        && fields.at(1) == addonListName) {
        const bool hadOldValue = fields.size() == 5;
        plan.settings.append({text(2), text(3), hadOldValue,
                              hadOldValue ? QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(4).mid(1))) : QString()});
        return !plan.settings.last().key.isEmpty();
    }
    return false;
}

struct ReadJournal
{
    enum class State {
        Missing,  // no journal
        Cut,      // cut short before its plan's end: nothing had changed
        Unusable, // not to be obeyed: `problem` says why; `plan` holds what could be read
        Whole,
    };
    State state = State::Missing;
    QString problem;
    bool committed = false;
    JournalPlan plan;
};

void parseJournal(const QByteArray &data, ReadJournal &journal)
{
    const auto damaged = [&](const QString &why) {
        journal.state = ReadJournal::State::Unusable;
        journal.problem = why;
    };
    bool planEnded = false;
    int offset = 0;
    for (int lineNumber = 0; offset < data.size(); ++lineNumber) {
        const int end = data.indexOf('\n', offset);
        const QByteArray line = data.mid(offset, end < 0 ? -1 : end - offset);
        if (end < 0 && !planEnded) {
            // The last line was cut short while the plan was written.
            journal.state = ReadJournal::State::Cut;
            return;
        }
        if (lineNumber == 0) {
            if (line != header) {
                damaged(line.startsWith(headerOfAnyVersion) ? installerText("another version of addon_setup wrote it")
                                                            : installerText("it is damaged"));
                return;
            }
        } else if (planEnded) {
            if (line == "P")
                journal.committed = false;
            else if (line == "C")
                journal.committed = true;
            else
                return damaged(installerText("it is damaged"));
        } else if (line.startsWith("E ")) {
            if (line.mid(2) != crcText(crcOf(::crc32(0L, Z_NULL, 0), data.constData(), offset)))
                return damaged(installerText("it is damaged"));
            planEnded = true;
        } else if (!parseRecord(line, journal.plan)) {
            return damaged(installerText("it is damaged"));
        }
        offset = end < 0 ? data.size() : end + 1;
    }
    journal.state = planEnded ? ReadJournal::State::Whole : ReadJournal::State::Cut;
}

// Reads the journal at `path`, but only a regular file of this user's, never through a link.
ReadJournal readJournal(const QString &path)
{
    ReadJournal journal;
    safefs::Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() && errno == ENOENT)
        return journal;
    journal.state = ReadJournal::State::Unusable;
    if (!fd.valid()) {
        journal.problem = errno == ELOOP ? installerText("it is a symbolic link") : qt_error_string(errno);
        return journal;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        journal.problem = installerText("it is no regular file");
        return journal;
    }
    if (st.st_uid != ::geteuid()) {
        journal.problem = installerText("it belongs to another user");
        return journal;
    }
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly)) {
        journal.problem = file.errorString();
        return journal;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        journal.problem = file.errorString();
        return journal;
    }
    parseJournal(data, journal);
    return journal;
}

enum class Presence { Absent, Present, Unknown };

// Whether anything is at `path`. A name that cannot exist (too long, below a file) is absent.
Presence presenceOf(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) == 0)
        return Presence::Present;
    return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? Presence::Absent : Presence::Unknown;
}

// Removes a name of our own; what decides is whether it is gone afterwards.
bool removeOurs(const QByteArray &path)
{
    if (presenceOf(path) == Presence::Absent)
        return true;
    ::unlink(path.constData());
    return presenceOf(path) == Presence::Absent;
}

// Undoes one file of a plan; false when its target is not as it was.
bool undoFile(const JournalPlan &plan, const JournalPlan::File &file)
{
    const QByteArray target = plan.path(file.target);
    const QByteArray staged = plan.stagedPath(file);
    const QByteArray backup = plan.backupPath(file);
    const Presence stagedThere = presenceOf(staged);
    const Presence backupThere = backup.isEmpty() ? Presence::Absent : presenceOf(backup);
    if (stagedThere == Presence::Unknown || backupThere == Presence::Unknown)
        return false;
    if (stagedThere == Presence::Present) {
        // Never placed, so the target is untouched. The backup goes first: a staged copy without
        // its backup always means the target was not replaced, even when this undo is cut short.
        removeOurs(backup);
        removeOurs(staged);
        return true;
    }
    if (backupThere == Presence::Present) {
        // A backup that still is the target (a hard link) was never replaced: rename() would leave
        // both names as they are.
        struct stat kept;
        struct stat now;
        if (::lstat(backup.constData(), &kept) == 0 && ::lstat(target.constData(), &now) == 0
            && kept.st_dev == now.st_dev && kept.st_ino == now.st_ino) {
            removeOurs(backup);
            return true;
        }
        // The staged copy took the target's place: the kept file goes back over it.
        if (!injectedInstallFault("undo", target))
            ::rename(backup.constData(), target.constData());
        return presenceOf(backup) == Presence::Absent;
    }
    const JournalPlan::Content now = JournalPlan::Content::of(target);
    if (file.backup.isEmpty()) {
        // A new file goes only while it is the one placed; anything else there is someone else's.
        if (now.known() && now == file.fresh && !injectedInstallFault("undo", target))
            ::unlink(target.constData());
        return !(JournalPlan::Content::of(target) == file.fresh);
    }
    // Never staged, or restored already; unless the target holds the new content without a backup.
    return now == file.old;
}

// The folders that hold the plan's targets and new folders. After an undo the new folders are
// gone, but the parent of the outermost one is still there to name its file system.
QList<QByteArray> touchedFolders(const JournalPlan &plan)
{
    QSet<QByteArray> folders;
    for (const JournalPlan::File &file : plan.files)
        folders.insert(safefs::parentOf(plan.path(file.target)));
    for (const QByteArray &folder : plan.folders)
        folders.insert(safefs::parentOf(plan.path(folder)));
    return folders.values();
}

// A fresh folder unrecovered-<date>-<time> in the configuration folder (numbered when that exists),
// or empty.
QString makeKeptFolder()
{
    const QString base = configFolder() + QStringLiteral("unrecovered-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 1; n < 100; ++n) {
        const QString candidate = n == 1 ? base : base + QStringLiteral("-%1").arg(n);
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0)
            return candidate;
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

// Whether the settings reader takes every line of the INI file `path` as written, so that writing
// it back loses nothing: no byte-order mark, and no line but sections, keys with "=", comments and
// blank ones.
bool readsBack(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    if (data.startsWith("\xEF\xBB\xBF"))
        return false;
    for (const QByteArray &line : data.split('\n')) {
        const QByteArray text = line.trimmed();
        if (!text.isEmpty() && !text.startsWith('[') && !text.startsWith(';') && !text.startsWith('#') && !text.contains('='))
            return false;
    }
    return QSettings(path, QSettings::IniFormat).status() == QSettings::NoError;
}

// What the user is told when a journal that cannot be obeyed has to stay where it is.
QString journalKeptText(const QString &path)
{
    return installerText("Its journal %1 is kept, and no Add-On can be installed while it is there: once the files it "
                         "names are as they should be, delete it.")
        .arg(path);
}

} // namespace

JournalPlan::Content JournalPlan::Content::of(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec)};
}

QString addonListPath()
{
    return configFolder() + QString::fromLatin1(addonListName);
}

InstallJournal::InstallJournal(const QString &path) : m_path(path)
{
}

bool InstallJournal::begin(const JournalPlan &plan, QString &error)
{
    const QByteArray path = QFile::encodeName(m_path);
    ::mkdir(safefs::parentOf(path).constData(), 0700);
    m_fd.reset(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!m_fd.valid() || injectedInstallFault("journal", path) || !writePlan(m_fd.get(), plan)
        || ::fdatasync(m_fd.get()) != 0 || !safefs::syncFolder(safefs::parentOf(path))) {
        error = withSystemReason(installerText("Cannot write %1").arg(m_path), errno);
        if (m_fd.valid())
            ::unlink(path.constData());
        m_fd.reset();
        return false;
    }
    return true;
}

bool InstallJournal::enter(bool committed, QString &error)
{
    const QByteArray mark = committed ? "C\n" : "P\n";
    const off_t before = ::lseek(m_fd.get(), 0, SEEK_END);
    if (injectedInstallFault("journal", QFile::encodeName(m_path)) || !safefs::writeAll(m_fd.get(), mark.constData(), mark.size())
        || ::fdatasync(m_fd.get()) != 0) {
        error = withSystemReason(installerText("Cannot write %1").arg(m_path), errno);
        // A mark that did not make it to the disk must not count at the next start either.
        if (before >= 0 && ::ftruncate(m_fd.get(), before) == 0)
            ::fdatasync(m_fd.get());
        return false;
    }
    return true;
}

void InstallJournal::remove()
{
    if (m_fd.valid())
        ::unlink(QFile::encodeName(m_path).constData());
    m_fd.reset();
}

bool checkAddonList(QString &problem)
{
    const QByteArray path = QFile::encodeName(addonListPath());
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return true;
    if (S_ISLNK(st.st_mode) && ::stat(path.constData(), &st) != 0)
        return true;
    if (st.st_uid != ::geteuid()) {
        problem = installerText("it belongs to another user");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = installerText("it is no regular file");
        return false;
    }
    if (!readsBack(QFile::decodeName(path))) {
        problem = installerText("it is no settings file that can be read");
        return false;
    }
    return true;
}

bool writeSetting(const JournalPlan::Setting &setting, bool restore)
{
    const QString file = addonListPath();
    QString problem;
    if (injectedInstallFault("setting", QFile::encodeName(file)) || !checkAddonList(problem))
        return false;
    QSettings settings(file, QSettings::IniFormat);
    const bool hasValue = restore ? setting.hadOldValue : true;
    const QString value = restore ? setting.oldValue : setting.value;
    // A file that already says so is left as it is (an undo must not make an empty file).
    if (settings.contains(setting.key) == hasValue && (!hasValue || settings.value(setting.key).toString() == value))
        return true;
    if (hasValue)
        settings.setValue(setting.key, value);
    else
        settings.remove(setting.key);
    settings.sync();
    return settings.status() == QSettings::NoError && safefs::syncFolder(safefs::parentOf(QFile::encodeName(file)));
}

QStringList undoPlan(const JournalPlan &plan)
{
    QStringList notRestored;
    for (auto it = plan.settings.crbegin(); it != plan.settings.crend(); ++it) {
        if (!writeSetting(*it, true) && !notRestored.contains(addonListPath()))
            notRestored.append(addonListPath());
    }
    for (auto it = plan.files.crbegin(); it != plan.files.crend(); ++it) {
        if (!undoFile(plan, *it))
            notRestored.append(QFile::decodeName(plan.path(it->target)));
    }
    // Only empty folders go: one that holds something else now stays.
    for (auto it = plan.folders.crbegin(); it != plan.folders.crend(); ++it)
        ::rmdir(plan.path(*it).constData());
    safefs::syncFileSystems(touchedFolders(plan));
    return notRestored;
}

bool finishPlan(const JournalPlan &plan)
{
    bool ok = true;
    QSet<QByteArray> replacedIn;
    for (const JournalPlan::File &file : plan.files) {
        const QByteArray backup = plan.backupPath(file);
        ok = !injectedInstallFault("finish", backup) && removeOurs(backup) && removeOurs(plan.stagedPath(file)) && ok;
        if (!backup.isEmpty())
            replacedIn.insert(safefs::parentOf(backup));
    }
    for (const QByteArray &folder : qAsConst(replacedIn))
        safefs::syncFolder(folder);
    return ok;
}

QString notRestoredText(const QStringList &targets)
{
    QString names = targets.mid(0, namedFiles).join(QStringLiteral(", "));
    if (targets.size() > namedFiles)
        names += installerText(" and %1 more").arg(targets.size() - namedFiles);
    return installerText("The installation could not be undone, so the client may hold parts of two versions "
                         "of the Add-On. Not restored: %1")
        .arg(names);
}

QString setJournalAside(const QString &path, const JournalPlan *plan, bool &kept)
{
    kept = false;
    const QString folder = makeKeptFolder();
    if (folder.isEmpty())
        return journalKeptText(path);
    // The list first, then the backups, the journal last: a process that dies between any two of
    // these steps leaves every original where the list says, or the journal to be set aside again.
    QByteArray list = "# The original files that an interrupted installation of an Add-On kept. Each line: its "
                      "name here, the place where it belongs, and where it lay before (it stays there when it "
                      "could not be moved).\n";
    QVector<QPair<QByteArray, QByteArray>> moves; // from, to
    for (int i = 0; plan && i < plan->files.size(); ++i) {
        const JournalPlan::File &file = plan->files.at(i);
        const QByteArray backup = plan->backupPath(file);
        if (backup.isEmpty() || presenceOf(backup) != Presence::Present)
            continue;
        const QByteArray keptName = QByteArray::number(i + 1);
        list += keptName + '\t' + plan->path(file.target) + '\t' + backup + '\n';
        moves.append({backup, QFile::encodeName(folder + QLatin1Char('/')) + keptName});
    }
    const QByteArray folderName = QFile::encodeName(folder);
    const QString listPath = folder + QStringLiteral("/files.txt");
    safefs::Fd out(safefs::createFile(listPath));
    const bool listed = out.valid() && safefs::writeAll(out.get(), list.constData(), list.size())
        && ::fdatasync(out.get()) == 0 && out.close() && safefs::syncFolder(folderName);
    if (!listed) {
        ::unlink(QFile::encodeName(listPath).constData());
        ::rmdir(folderName.constData());
        return journalKeptText(path);
    }
    for (const auto &move : qAsConst(moves))
        ::rename(move.first.constData(), move.second.constData());
    kept = safefs::syncFolder(folderName)
        && ::rename(QFile::encodeName(path).constData(), (folderName + "/addon_setup.journal").constData()) == 0;
    if (kept) {
        safefs::syncFolder(folderName);
        safefs::syncFolder(safefs::parentOf(QFile::encodeName(path)));
        return installerText("The journal and the original files it kept were moved to %1; %2 there says where each "
                             "of them belongs.")
            .arg(folder, QStringLiteral("files.txt"));
    }
    // A kept folder that received nothing would only be litter, made again at every start.
    if (moves.isEmpty()) {
        ::unlink(QFile::encodeName(listPath).constData());
        ::rmdir(folderName.constData());
        return journalKeptText(path);
    }
    return installerText("The original files it kept were moved to %1; %2 there says where each of them belongs.")
               .arg(folder, QStringLiteral("files.txt"))
        + QLatin1Char(' ') + journalKeptText(path);
}

bool recoverInstallJournal(const QString &path, QString &report)
{
    report.clear();
    ReadJournal journal = readJournal(path);
    const auto setAside = [&](const QString &why) {
        bool kept = false;
        report = why + QLatin1Char(' ') + setJournalAside(path, &journal.plan, kept);
        return kept;
    };
    switch (journal.state) {
    case ReadJournal::State::Missing:
        return true;
    case ReadJournal::State::Cut:
        // Nothing had changed yet.
        if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
            report = withSystemReason(installerText("Cannot remove %1").arg(path), errno);
            return false;
        }
        return true;
    case ReadJournal::State::Unusable:
        return setAside(installerText("An installation of an Add-On was interrupted, but its journal %1 cannot be used "
                                      "(%2), so it was not undone and the client may hold parts of two versions of the "
                                      "Add-On.")
                            .arg(path, journal.problem));
    case ReadJournal::State::Whole:
        break;
    }
    const QString root = QFile::decodeName(journal.plan.root);
    if (!isClientFolder(root)) {
        return setAside(installerText("An installation of an Add-On into %1 was interrupted, but that folder holds no "
                                      "client installation any more, so it was not undone.")
                            .arg(root));
    }
    // No other installation may work in that folder meanwhile, whatever its user's configuration.
    InstallLock folderLock(root, InstallLock::Target::Folder);
    QString lockError;
    if (!folderLock.take(lockError)) {
        report = lockError;
        return false;
    }
    if (journal.committed) {
        if (finishPlan(journal.plan))
            return QFile::remove(path) || setAside(installerText("Cannot remove %1").arg(path));
        return setAside(installerText("The original files that an interrupted installation of an Add-On kept could "
                                      "not all be removed."));
    }
    const QStringList notRestored = undoPlan(journal.plan);
    if (notRestored.isEmpty())
        return QFile::remove(path) || setAside(installerText("Cannot remove %1").arg(path));
    return setAside(installerText("An installation of an Add-On was interrupted.") + QLatin1Char(' ')
                    + notRestoredText(notRestored));
}
