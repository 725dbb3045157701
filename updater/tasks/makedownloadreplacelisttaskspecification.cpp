#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "initext.h"
#include "programfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

namespace {

// A size: decimal digits only, within 64 bits.
bool readSize(const QString& text, quint64& size)
{
    bool ok = !text.isEmpty();
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    size = ok ? text.toULongLong(&ok) : 0;
    return ok;
}

bool md5Matches(const QString& path, const QString& expected)
{
    if (!QFileInfo(path).isFile())
        return false;
    return fileMd5(path).compare(expected, Qt::CaseInsensitive) == 0;
}

// "_old_<name>", or "_old_<n>_<name>" when an earlier entry already uses that backup.
QString uniqueBackupName(const QString& fileName, QSet<QString>& used)
{
    QString name = "_old_" + fileName;
    for (int n = 2; used.contains(name); ++n)
        name = QString("_old_%1_%2").arg(n).arg(fileName);
    used.insert(name);
    return name;
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const QString& descriptionFile, const QString& installDir,
                                                         const QString& tempDir, UpdateLists* lists)
    : descriptionFile(descriptionFile)
    , installDir(installDir)
    , tempDir(tempDir)
    , lists(lists)
{
}

bool MakeDownloadReplaceListFunc::invalidLine(const QString& group)
{
    emit message(QString("Warning: product ini contains invalid line in section %1").arg(group));
    return false;
}

bool MakeDownloadReplaceListFunc::readProductIni()
{
    lists->downloadList.clear();
    lists->replaceList.clear();
    lists->deleteList.clear();
    emit message("Compiling download and replace list");

    QSettings ini(descriptionFile, QSettings::IniFormat);
    const QStringList groups = ini.childGroups();
    int count = 0;
    for (const QString& group : groups) {
        ini.beginGroup(group);
        count += ini.allKeys().size();
        ini.endGroup();
    }
    if (count == 0) {
        emit message("No files in product ini");
        return false;
    }

    // Everything is checked before the lists are handed on, so a bad line touches no file.
    UpdateLists result;
    QSet<QString> targets, tempPaths, backupNames;
    int done = 0;
    for (const QString& group : groups) {
        ini.beginGroup(group);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            ++done;
            emit progress(double(done) / count);
            if (!isSafeRelativePath(key))
                return invalidLine(group);

            if (group == "delete") {
                if (QFileInfo(installDir + "/" + key).isFile())
                    result.deleteList.append(key);
                continue;
            }

            // The value as written: a comma must not cost the install path its blanks.
            bool asWritten = true;
            const QStringList parts = iniText(ini, key, &asWritten).split("::", Qt::KeepEmptyParts);
            if (!asWritten || (parts.size() != 2 && parts.size() != 5))
                return invalidLine(group);
            DownloadEntry download{group, key, parts[0], 0};
            ReplaceEntry replace{group, key, QString(), 0, QString(), QString()};
            if (parts.size() == 5) {
                replace.unpackedMd5 = parts[2];
                replace.installPath = parts[4];
            }
            // A size that is no number would become a limit of 0 bytes for the download or the unpack.
            if (!readSize(parts[1], download.size) || (parts.size() == 5 && !readSize(parts[3], replace.unpackedSize)))
                return invalidLine(group);
            if (!isMd5Text(download.md5) || (parts.size() == 5 && !isMd5Text(replace.unpackedMd5)))
                return invalidLine(group);
            if (!replace.installPath.isEmpty() && !isSafeRelativePath(replace.installPath))
                return invalidLine(group);

            // Two entries may neither install to one place nor download into one file.
            const QString target = QDir::cleanPath(targetPath(replace, QString()));
            const QString tempPath = QDir::cleanPath(key);
            if (targets.contains(target) || tempPaths.contains(tempPath))
                return invalidLine(group);
            targets.insert(target);
            tempPaths.insert(tempPath);

            const QString expected = replace.installPath.isEmpty() ? download.md5 : replace.unpackedMd5;
            if (md5Matches(installDir + "/" + target, expected))
                continue;

            const QString defaultBackup = QFileInfo(targetPath(replace, "_old_")).fileName();
            const QString backup = uniqueBackupName(QFileInfo(target).fileName(), backupNames);
            if (backup != defaultBackup)
                replace.backupName = backup;
            result.replaceList.append(replace);
            if (!md5Matches(tempDir + "/" + key, download.md5))
                result.downloadList.append(download);
        }
        ini.endGroup();
    }
    *lists = result;
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(Configuration* config,
                                                                                   UpdateLists* mainLists,
                                                                                   QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , config(config)
    , mainLists(mainLists)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    const QString description = config->tempDir + "/" + config->clientType + ".ini";
    return new MakeDownloadReplaceListFunc(description, programFolder(), config->tempDir, &ownLists);
}

void MakeDownloadReplaceListTaskSpecification::handleRunResult(bool res)
{
    if (state != Running)
        return;
    if (res)
        *mainLists = ownLists;
    ASyncTaskSpecification::handleRunResult(res);
}
