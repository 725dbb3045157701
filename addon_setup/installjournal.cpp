#include "installjournal.h"

#include "globals.h"
#include "installfault.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include <zlib.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray header = "VXM add-on journal 1";
// At most this many files are named in a message; the rest are counted.
constexpr int namedFiles = 10;
// The journal is written in blocks of about this size.
constexpr int writeBlockSize = 64 * 1024;

uLong crcOf(uLong crc, const QByteArray &data)
{
    return ::crc32(crc, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size()));
}

QByteArray crcText(uLong crc)
{
    return QByteArray::number(quint32(crc), 16).rightJustified(8, '0');
}

QByteArray field(const QByteArray &bytes)
{
    return bytes.toPercentEncoding("/");
}

QByteArray field(const QString &text)
{
    return field(text.toUtf8());
}

QString textField(const QByteArray &encoded)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(encoded));
}

// Writes the plan and its E line in blocks, so that the journal is never held whole in memory.
bool writePlan(int fd, const JournalPlan &plan)
{
    QByteArray block;
    uLong crc = ::crc32(0L, Z_NULL, 0);
    const auto flush = [&] {
        crc = crcOf(crc, block);
        const bool ok = safefs::writeAll(fd, block.constData(), block.size());
        block.truncate(0);
        return ok;
    };
    const auto line = [&](const QByteArray &text) {
        block += text + '\n';
        return block.size() < writeBlockSize || flush();
    };
    bool ok = line(header);
    for (const QByteArray &folder : plan.folders)
        ok = ok && line("D " + field(folder));
    for (const JournalPlan::File &file : plan.files)
        ok = ok && line("F " + field(file.target) + ' ' + field(file.staged) + (file.backup.isEmpty() ? QByteArray() : ' ' + field(file.backup)));
    for (const JournalPlan::Setting &setting : plan.settings) {
        ok = ok && line("S " + field(setting.file) + ' ' + field(setting.key) + ' ' + field(setting.value)
                        + (setting.hadOldValue ? " =" + field(setting.oldValue) : QByteArray()));
    }
    if (!ok || !flush())
        return false;
    const QByteArray end = "E " + crcText(crc) + '\n';
    return safefs::writeAll(fd, end.constData(), end.size());
}

bool parseRecord(const QList<QByteArray> &fields, JournalPlan &plan)
{
    const QByteArray &kind = fields.first();
    const auto bytes = [&](int i) { return QByteArray::fromPercentEncoding(fields.at(i)); };
    if (kind == "D" && fields.size() == 2) {
        plan.folders.append(bytes(1));
    } else if (kind == "F" && (fields.size() == 3 || fields.size() == 4)) {
        plan.files.append({bytes(1), bytes(2), fields.size() == 4 ? bytes(3) : QByteArray()});
    } else if (kind == "S" && (fields.size() == 4 || (fields.size() == 5 && fields.at(4).startsWith('=')))) {
        const bool hadOldValue = fields.size() == 5;
        plan.settings.append({textField(fields.at(1)), textField(fields.at(2)), textField(fields.at(3)), hadOldValue,
                              hadOldValue ? textField(fields.at(4).mid(1)) : QString()});
    } else {
        return false;
    }
    return true;
}

struct ParsedJournal
{
    bool complete = false; // the plan was written whole
    JournalPhase phase = JournalPhase::Staging;
    JournalPlan plan;
};

ParsedJournal parseJournal(const QByteArray &data)
{
    ParsedJournal journal;
    QList<QByteArray> lines = data.split('\n');
    // Empty after a whole last line; else that line was cut short.
    lines.removeLast();
    if (lines.isEmpty() || lines.first() != header)
        return journal;
    int offset = header.size() + 1;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (journal.complete) {
            if (line == "P" || line == "C")
                journal.phase = line == "P" ? JournalPhase::Placing : JournalPhase::Committed;
        } else if (line.startsWith("E ")) {
            journal.complete = line.mid(2) == crcText(crcOf(::crc32(0L, Z_NULL, 0), data.left(offset)));
        } else if (!parseRecord(line.split(' '), journal.plan)) {
            break;
        }
        offset += line.size() + 1;
    }
    return journal;
}

bool present(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool removeIfThere(const QByteArray &path)
{
    return path.isEmpty() || ::unlink(path.constData()) == 0 || errno == ENOENT;
}

// Undoes one file of a plan cut short in `phase`; false when its target is not as it was.
bool undoFile(const JournalPlan::File &file, JournalPhase phase)
{
    if (injectedInstallFault("undo", file.target))
        return false;
    bool ok = removeIfThere(file.staged);
    if (phase != JournalPhase::Placing)
        return removeIfThere(file.backup) && ok;
    if (file.backup.isEmpty())
        return removeIfThere(file.target) && ok;
    // The backup is the replaced file itself (a hard link to it, or a whole copy): it goes back
    // over whatever is at the target's place. Where the target was never replaced both names
    // are the same file, and the rename leaves the backup name, which goes then.
    if (present(file.backup))
        ok = ::rename(file.backup.constData(), file.target.constData()) == 0 && removeIfThere(file.backup) && ok;
    return ok;
}

// The folders that hold the plan's targets and new folders. After an undo the new folders are
// gone, but the parent of the outermost one is still there to name its file system.
QList<QByteArray> touchedFolders(const JournalPlan &plan)
{
    QSet<QByteArray> folders;
    for (const JournalPlan::File &file : plan.files)
        folders.insert(safefs::parentOf(file.target));
    for (const QByteArray &folder : plan.folders)
        folders.insert(safefs::parentOf(folder));
    return folders.values();
}

} // namespace

InstallJournal::InstallJournal(const QString &path) : m_path(path)
{
}

bool InstallJournal::begin(const JournalPlan &plan, QString &error)
{
    const QByteArray path = QFile::encodeName(m_path);
    QDir().mkpath(QFileInfo(m_path).path());
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

bool InstallJournal::enter(JournalPhase phase, QString &error)
{
    const QByteArray mark = phase == JournalPhase::Committed ? "C\n" : "P\n";
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

bool writeSetting(const JournalPlan::Setting &setting, bool restore)
{
    if (injectedInstallFault("setting", QFile::encodeName(setting.file)))
        return false;
    QSettings settings(setting.file, QSettings::IniFormat);
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
    return settings.status() == QSettings::NoError
        && safefs::syncFolder(safefs::parentOf(QFile::encodeName(setting.file)));
}

QStringList undoPlan(const JournalPlan &plan, JournalPhase phase)
{
    QStringList notRestored;
    if (phase == JournalPhase::Placing) {
        for (auto it = plan.settings.crbegin(); it != plan.settings.crend(); ++it) {
            if (!writeSetting(*it, true))
                notRestored.append(it->file);
        }
    }
    for (auto it = plan.files.crbegin(); it != plan.files.crend(); ++it) {
        if (!undoFile(*it, phase))
            notRestored.append(QFile::decodeName(it->target));
    }
    // Only empty folders go: one that holds something else now stays.
    for (auto it = plan.folders.crbegin(); it != plan.folders.crend(); ++it)
        ::rmdir(it->constData());
    safefs::syncFileSystems(touchedFolders(plan));
    return notRestored;
}

bool finishPlan(const JournalPlan &plan)
{
    bool ok = true;
    QSet<QByteArray> replacedIn;
    for (const JournalPlan::File &file : plan.files) {
        ok = !injectedInstallFault("finish", file.backup) && removeIfThere(file.backup) && removeIfThere(file.staged) && ok;
        if (!file.backup.isEmpty())
            replacedIn.insert(safefs::parentOf(file.target));
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

bool recoverInstallJournal(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        error = installerText("Cannot read %1").arg(path) + QStringLiteral(": ") + file.errorString();
        return false;
    }
    const ParsedJournal journal = parseJournal(file.readAll());
    file.close();
    // Without the whole plan the installation never began to change anything.
    if (journal.complete && journal.phase == JournalPhase::Committed && !finishPlan(journal.plan)) {
        error = installerText("The backups that an interrupted installation of an Add-On left could not all be "
                              "removed; %1 is kept for the next start")
                    .arg(path);
        return false;
    }
    if (journal.complete && journal.phase != JournalPhase::Committed) {
        const QStringList notRestored = undoPlan(journal.plan, journal.phase);
        if (!notRestored.isEmpty()) {
            error = installerText("An installation of an Add-On was interrupted.") + QLatin1Char(' ')
                + notRestoredText(notRestored);
            return false;
        }
    }
    if (!file.remove()) {
        error = installerText("Cannot remove %1").arg(path) + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}
