#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace testsupport {

namespace {

QString runTool(const QString &program, const QStringList &arguments, const QString &workDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw std::runtime_error((program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')).left(300) + QLatin1String(": ")
                                  + QString::fromLocal8Bit(process.readAllStandardError()))
                                     .toStdString());
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString originalTemp()
{
    static const QString path = QDir::tempPath();
    return path;
}

} // namespace

QString freshEnvironment()
{
    QByteArray name = QFile::encodeName(originalTemp() + QStringLiteral("/case-XXXXXX"));
    if (!::mkdtemp(name.data()))
        throw std::runtime_error("mkdtemp failed");
    const QString base = QFile::decodeName(name);
    QDir().mkpath(base + QStringLiteral("/home"));
    QDir().mkpath(base + QStringLiteral("/tmp"));
    qputenv("HOME", QFile::encodeName(base + QStringLiteral("/home")));
    qputenv("TMPDIR", QFile::encodeName(base + QStringLiteral("/tmp")));
    return base;
}

void writeTree(const QString &root, const QList<QPair<QString, QByteArray>> &files)
{
    for (const auto &file : files) {
        const QString path = root + QLatin1Char('/') + file.first;
        if (file.first.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
            continue;
        }
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file.second) != file.second.size())
            throw std::runtime_error("cannot write " + path.toStdString());
    }
}

QString zipFolder(const QString &sourceDir, const QString &archive, const QStringList &extra)
{
    QFile::remove(archive);
    runTool(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X")}
                                       + extra + QStringList{archive, QStringLiteral(".")},
            sourceDir);
    return archive;
}

QString craftZip(const QString &archive, const QString &json)
{
    runTool(QStringLiteral("python3"), {QStringLiteral(ADDON_TEST_MKZIP), archive, json});
    return archive;
}

QString sha1sum(const QString &path)
{
    return runTool(QStringLiteral("sha1sum"), {path}).section(QLatin1Char(' '), 0, 0);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QStringList listTree(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QDir(root).relativeFilePath(it.next());
    paths.sort();
    return paths;
}

QString makeClientFolder(const QString &path)
{
    writeTree(path, {{QStringLiteral("vxmclient_linux_amd64"), QByteArray("client")}});
    return path;
}

bool withFileSizeLimit(unsigned long bytes, const std::function<void()> &work)
{
    struct rlimit old;
    if (::getrlimit(RLIMIT_FSIZE, &old) != 0)
        return false;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
        std::signal(SIGXFSZ, previous);
        return false;
    }
    work();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    return true;
}

bool mountSmallTmpfs(const QString &path, qint64 bytes)
{
    static const bool privateMounts = ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    const QByteArray options = "size=" + QByteArray::number(bytes);
    return privateMounts
        && ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0;
}

QMap<QString, QByteArray> snapshotTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    for (const QString &path : listTree(root)) {
        const QString full = root + QLatin1Char('/') + path;
        tree.insert(path, QFileInfo(full).isDir() ? QByteArray("/") : readFile(full));
    }
    return tree;
}

} // namespace testsupport
