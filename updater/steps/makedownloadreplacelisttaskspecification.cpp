#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "initext.h"
#include "programfolder.h"
#include "runsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QVector>

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

// A line of the description whose installed file is to be compared.
struct Candidate
{
    DownloadEntry download;
    ReplaceEntry replace;
    QString installedFile;
    QString installedMd5;
    QString tempFile;
};

int usableCores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return CPU_COUNT(&set);
    return int(std::thread::hardware_concurrency());
}

// Runs job(i) for every i below n on helper threads, at most one per usable core (up to 8), and
// calls progress(jobs done so far) on the calling thread as they end.
void runInParallel(int n, const std::function<void(int)>& job, const std::function<void(int)>& progress)
{
    if (n <= 0)
        return;
    const int threads = qBound(1, qMin(usableCores(), 8), n);
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable ended;
    int done = 0;
    auto work = [&] {
        for (int i = next++; i < n; i = next++) {
            job(i);
            std::lock_guard<std::mutex> lock(mutex);
            ++done;
            ended.notify_one();
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 0; t < threads; ++t)
        helpers.emplace_back(work);
    std::unique_lock<std::mutex> lock(mutex);
    for (int reported = 0; reported < n;) {
        ended.wait(lock, [&] { return done > reported; });
        reported = done;
        lock.unlock();
        progress(reported);
        lock.lock();
    }
    lock.unlock();
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const QString& descriptionFile, const QString& installDir,
                                                         const QString& tempDir, std::shared_ptr<UpdateLists> lists)
    : descriptionFile(descriptionFile)
    , installDir(installDir)
    , tempDir(tempDir)
    , lists(std::move(lists))
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

    // Everything is checked before the lists are handed on, so a bad line touches no file. The
    // lines are read first; the sums of the files they name are then computed on several threads
    // (the description of a whole release names thousands), and the lists made in line order.
    UpdateLists result;
    QSet<QString> targets, tempPaths;
    QVector<Candidate> candidates;
    int done = 0;
    for (const QString& group : groups) {
        ini.beginGroup(group);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            if (!isSafeRelativePath(key))
                return invalidLine(group);

            if (group == "delete") {
                emit progress(double(++done) / count);
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
            ReplaceEntry replace{group, key, QString(), 0, QString()};
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
            candidates.append({download, replace, installDir + "/" + target, expected, tempDir + "/" + key});
        }
        ini.endGroup();
    }

    // A file the release installs is never on its delete list, nor is the rollback journal.
    QSet<QString> installs = targets; // the targets and every folder level of them
    for (const QString& target : qAsConst(targets)) {
        for (QString level = QFileInfo(target).path(); level != "."; level = QFileInfo(level).path())
            installs.insert(level);
    }
    QStringList deletions;
    for (const QString& path : qAsConst(result.deleteList)) {
        if (installs.contains(path))
            emit message(QString("Not deleting '%1': the release installs it").arg(path));
        else if (isUpdaterRecordPath(path))
            emit message(QString("Not deleting '%1': the updater keeps its own files there").arg(path));
        else
            deletions << path;
    }
    result.deleteList = deletions;

    // For each line: is the installed file up to date, and if not, is its download already there?
    const int n = candidates.size();
    std::vector<char> installed(size_t(n), 0), fetched(size_t(n), 0);
    const int parsed = done;
    runInParallel(
        n,
        [&](int i) {
            const Candidate& c = candidates[i];
            installed[size_t(i)] = md5Matches(c.installedFile, c.installedMd5);
            if (!installed[size_t(i)])
                fetched[size_t(i)] = md5Matches(c.tempFile, c.download.md5);
        },
        [&](int hashed) { emit progress(double(parsed + hashed) / count); });

    for (int i = 0; i < n; ++i) {
        if (installed[size_t(i)])
            continue;
        result.replaceList.append(candidates[i].replace);
        if (!fetched[size_t(i)])
            result.downloadList.append(candidates[i].download);
    }
    *lists = result;
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(RunSettings* config,
                                                                                   UpdateLists& mainLists,
                                                                                   QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , config(config)
    , mainLists(mainLists)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    const QString description = config->tempDir + "/" + config->clientType + ".ini";
    ownLists = std::make_shared<UpdateLists>();
    return new MakeDownloadReplaceListFunc(description, programFolder(), config->tempDir, ownLists);
}

void MakeDownloadReplaceListTaskSpecification::handleRunResult(bool res)
{
    if (state != Running)
        return;
    if (res)
        mainLists = *ownLists;
    ASyncTaskSpecification::handleRunResult(res);
}
