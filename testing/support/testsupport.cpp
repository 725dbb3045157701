#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/stat.h>

namespace testsupport {

namespace {

// Waits for events, handles them and deletes what they left to deleteLater.
void drainEventsWaiting()
{
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    // The ticking timer bounds each blocking wait for events, so the deadline is always checked.
    QTimer tick;
    tick.start(10);
    return waitUntil(done, drainEventsWaiting, std::chrono::milliseconds(timeoutMs));
}

void drainEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString makeTempFolder(const QString& name)
{
    static int counter = 0;
    const QString path = QDir::tempPath() + QStringLiteral("/%1_%2").arg(name).arg(++counter);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text) == text.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QString> treeSnapshot(const QString& root, const std::function<bool(const QString&)>& include)
{
    QMap<QString, QString> result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (include && !include(relative))
            continue;
        const QFileInfo info(path);
        struct stat st;
        const QString mode =
            QString::number(::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0, 8);
        if (info.isSymLink()) {
            result[relative] = "link " + info.symLinkTarget();
        } else if (info.isDir()) {
            result[relative] = "dir " + mode;
        } else {
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Md5);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            result[relative] = "file " + mode + " " + hash.result().toHex();
        }
    }
    return result;
}

} // namespace testsupport
