#include "extract.h"

#include "extractionplan.h"
#include "freespace.h"
#include "globals.h"
#include "safefs.h"
#include "zipentrystream.h"
#include "zipindex.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QtGui/private/qzipreader_p.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace {

// Extraction folder name for a package whose file name gives no base name (such as ".zip").
const QString fallbackFolderName = QStringLiteral("package");
// The most that a package may unpack to, whatever room there is.
constexpr quint64 maxTotalSize = quint64(8) << 30;

// The system's reason for the last failure.
QString lastSystemReason()
{
    return qt_error_string(errno ? errno : EIO);
}

// The package file, open, with its strict index and what Qt's zip reader makes of it.
struct OpenedPackage
{
    std::unique_ptr<QZipReader> reader;
    QFile archive;
    ZipIndex index;

    QString entryName(int i) const { return QString::fromUtf8(index.entries().at(i).rawName); }
};

// Opens the package file and reads its directory; false, with `error` set, when there is no
// package or no zip archive that this installer can read.
bool openPackage(const QString &archivePath, OpenedPackage &package, QString &error)
{
    package.reader.reset(new QZipReader(archivePath, QIODevice::ReadOnly));
    if (archivePath.isEmpty() || !package.reader->exists()) {
        error = installerText("File not found: %1").arg(g_packageFileName);
        return false;
    }
    const auto invalid = [&](const char *why) {
        error = installerText("Invalid zip file: %1").arg(g_packageFileName);
        if (why)
            error += QStringLiteral(": ") + installerText(why);
        return false;
    };
    package.archive.setFileName(archivePath);
    if (!package.reader->isReadable() || !package.archive.open(QIODevice::ReadOnly))
        return invalid(nullptr);
    switch (package.index.read(package.archive)) {
    case ZipIndex::ReadResult::Ok:
        return true;
    case ZipIndex::ReadResult::NotZip:
        break;
    case ZipIndex::ReadResult::Zip64:
        return invalid("zip64 archives (65 536 entries or more, or 4 GiB and more) are not supported");
    case ZipIndex::ReadResult::SelfExtracting:
        return invalid("self-extracting archives are not supported");
    case ZipIndex::ReadResult::DirectoryMismatch:
        return invalid("its directory does not hold the entries that its end record declares");
    }
    return invalid(nullptr);
}

// Checks the package as a whole before any entry is looked at: the reader lists what the index
// holds, the total stays within the bound, and every entry's data lies in the file, alone. Fills
// `kinds` with what the reader makes of each entry.
bool checkPackage(OpenedPackage &package, QVector<EntryKind> &kinds, QString &error)
{
    const QVector<QZipReader::FileInfo> infos = package.reader->fileInfoList();
    if (infos.size() != package.index.entries().size()) {
        error = installerText("Invalid zip file: %1").arg(g_packageFileName);
        return false;
    }
    const quint64 declared = package.index.declaredTotalSize();
    if (declared > maxTotalSize) {
        error = installerText("The Add-On is too large: it unpacks to %1, more than %2")
                    .arg(sizeText(declared), sizeText(maxTotalSize));
        return false;
    }
    const ZipIndex::Layout layout = package.index.checkLayout(package.archive);
    if (layout.problem == ZipIndex::Layout::OutsideFile) {
        error = installerText("Invalid zip file: the data of %1 lies outside the file").arg(package.entryName(layout.entry));
        return false;
    }
    if (layout.problem == ZipIndex::Layout::Overlap) {
        error = installerText("Invalid zip file: the data of %1 and %2 overlap")
                    .arg(package.entryName(layout.entry), package.entryName(layout.other));
        return false;
    }
    kinds.clear();
    for (const QZipReader::FileInfo &info : infos)
        kinds.append(info.isDir ? EntryKind::Folder
                         : info.isSymLink ? EntryKind::Link
                         : info.isFile ? EntryKind::File : EntryKind::Other);
    return true;
}

QString createFailure(const QString &tempPath, const QString &why)
{
    return installerText("Failed to create temp path: %1").arg(tempPath) + QStringLiteral(": ") + why;
}

// A fresh, private folder beside the extraction folder `tempPath`, into which the entries are
// written: only a whole extraction takes the extraction folder's name, so that a forced run never
// reuses one cut short. Leftovers of an earlier run must not end up in this installation either.
bool makePartialFolder(const QString &tempPath, QString &partial, QString &error)
{
    QString why;
    if (!safefs::ensurePrivateDir(importFolder(), why)) {
        error = createFailure(tempPath, why);
        return false;
    }
    QByteArray name = QFile::encodeName(importFolder() + QStringLiteral("/.partial-XXXXXX"));
    if (!::mkdtemp(name.data())) {
        error = createFailure(tempPath, lastSystemReason());
        return false;
    }
    partial = QFile::decodeName(name);
    return true;
}

// Gives the whole extraction in `partial` the name `tempPath`, in place of what an earlier run left.
bool completeFolder(const QString &partial, const QString &tempPath, QString &error)
{
    if (safefs::removeEntry(tempPath)
        && ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(tempPath).constData()) == 0)
        return true;
    error = createFailure(tempPath, lastSystemReason());
    safefs::removeEntry(partial);
    return false;
}

// Writes the plan below `tempPath`: the folders, then the files in the directory's order, each
// file's data read once by its position. On failure nothing of it stays.
bool writeEntries(OpenedPackage &package, const ExtractionPlan &plan, const QString &tempPath, QString &error)
{
    const auto fail = [&](const QString &text) {
        error = text;
        safefs::removeEntry(tempPath);
        return false;
    };
    const auto failed = [&](int entry, const QString &why) {
        return fail(installerText("Failed to extract: %1: %2").arg(package.entryName(entry), why));
    };
    // Folders made so far, by their path below tempPath.
    QSet<QString> madeFolders;
    const auto makeFolder = [&](const QStringList &components) {
        const QString key = components.join(QLatin1Char('/'));
        if (components.isEmpty() || madeFolders.contains(key))
            return true;
        errno = 0;
        if (!safefs::makeDirsBelow(tempPath, components))
            return false;
        madeFolders.insert(key);
        return true;
    };
    for (const ExtractionPlan::Item &item : plan.items) {
        if (item.folder && !makeFolder(item.components))
            return failed(item.entry, lastSystemReason());
    }
    ZipEntryStream stream;
    for (const ExtractionPlan::Item &item : plan.items) {
        if (item.folder)
            continue;
        if (!makeFolder(item.components.mid(0, item.components.size() - 1)))
            return failed(item.entry, lastSystemReason());
        safefs::Fd out(safefs::createFile(tempPath + QLatin1Char('/') + item.components.join(QLatin1Char('/'))));
        if (!out.valid())
            return failed(item.entry, lastSystemReason());
        errno = 0;
        switch (stream.copy(package.archive.handle(), package.index.entries().at(item.entry), out.get())) {
        case ZipEntryStream::Result::Ok:
            break;
        case ZipEntryStream::Result::ReadFailed:
            return failed(item.entry, installerText("cannot read the package: %1").arg(lastSystemReason()));
        case ZipEntryStream::Result::WriteFailed:
            return failed(item.entry, lastSystemReason());
        case ZipEntryStream::Result::Damaged:
            return failed(item.entry, installerText("the data is damaged (cut short or a wrong CRC-32)"));
        case ZipEntryStream::Result::TooLong:
            return fail(installerText("Damaged entry: %1 unpacks to more data than it declares")
                            .arg(package.entryName(item.entry)));
        }
        if (!out.close())
            return failed(item.entry, lastSystemReason());
    }
    return true;
}

} // namespace

const QStringList &topFolders()
{
    static const QStringList folders = {QStringLiteral("plugins"), QStringLiteral("gfx"),
                                        QStringLiteral("translations"), QStringLiteral("sound"),
                                        QStringLiteral("styles")};
    return folders;
}

const QString &packageInfoName()
{
    static const QString name = QStringLiteral("package.ini");
    return name;
}

QString importFolder()
{
    return QDir::tempPath() + QStringLiteral("/vxmimport");
}

bool extractPackage(QString &tempPath, QString &error, bool force, bool &hasPlugins)
{
    OpenedPackage package;
    if (!openPackage(packageFilePath(), package, error))
        return false;
    if (!QDir(QDir::tempPath()).exists()) {
        error = installerText("Failed to find temp directory");
        return false;
    }
    const QString baseName = packageBaseName();
    tempPath = importFolder() + QLatin1Char('/') + (baseName.isEmpty() ? fallbackFolderName : baseName);

    if (force && safefs::kindOf(tempPath) == safefs::Kind::Dir) {
        // Reuse an earlier, whole extraction, but only from a folder no one else can have filled.
        QString why;
        if (safefs::kindOf(importFolder()) != safefs::Kind::Missing && !safefs::ensurePrivateDir(importFolder(), why)) {
            error = createFailure(tempPath, why);
            return false;
        }
        hasPlugins = safefs::kindOf(tempPath + QStringLiteral("/plugins")) == safefs::Kind::Dir;
        return true;
    }

    QVector<EntryKind> kinds;
    if (!checkPackage(package, kinds, error))
        return false;
    const ExtractionPlan plan = planExtraction(package.index, kinds);
    if (!plan.refusal.isEmpty()) {
        error = plan.refusal;
        return false;
    }
    hasPlugins = plan.hasPlugins;
    // Room for all of it where it is extracted (the installation checks its own side).
    const bool importExists = safefs::kindOf(importFolder()) == safefs::Kind::Dir;
    QString partial;
    return fitsOn(importExists ? importFolder() : QDir::tempPath(), plan.need, error)
        && makePartialFolder(tempPath, partial, error) && writeEntries(package, plan, partial, error)
        && completeFolder(partial, tempPath, error);
}
