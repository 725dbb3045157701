// Unpacking and copying of the replacement step against the system's own tools:
//   build/release/bench/updater_fileop_bench [megabytes, default 128] [rounds, default 3]
// Prints the best time of each over the rounds, for FileUnzipFunc against `zcat`, and for
// FileCopyFunc against `cp`, on the same files in a temporary folder.
#include "fileoptasks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <zlib.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

bool makeSample(const QString& plain, const QString& packed, qint64 size)
{
    QFile out(plain);
    gzFile gz = gzopen(QFile::encodeName(packed).constData(), "wb6");
    if (!out.open(QIODevice::WriteOnly) || !gz)
        return false;
    // Text-like data: compresses to roughly a third, like most files of an installation.
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qint64 written = 0; written < size; written += block.size()) {
        for (char& c : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(' ' + (x % 23) * (x % 3));
        }
        if (out.write(block) != block.size() || gzwrite(gz, block.constData(), unsigned(block.size())) <= 0)
            return false;
    }
    return gzclose(gz) == Z_OK;
}

// Best wall-clock time in milliseconds of `rounds` runs; `prepare` runs untimed before each.
double best(int rounds, const std::function<void()>& prepare, const std::function<bool()>& work)
{
    double result = -1;
    for (int i = 0; i < rounds; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        if (!work()) {
            std::fprintf(stderr, "run failed\n");
            return -1;
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        if (result < 0 || ms < result)
            result = ms;
    }
    return result;
}

bool runTool(const QString& program, const QStringList& args, const QString& stdoutFile = QString())
{
    QProcess process;
    if (!stdoutFile.isEmpty())
        process.setStandardOutputFile(stdoutFile);
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 128;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    QTemporaryDir dir;
    const QString plain = dir.path() + "/plain";
    const QString packed = dir.path() + "/packed.gz";
    const QString target = dir.path() + "/target";
    if (!dir.isValid() || megabytes <= 0 || rounds <= 0 || !makeSample(plain, packed, megabytes << 20)) {
        std::fprintf(stderr, "usage: %s [megabytes] [rounds]; could not prepare the sample files\n", argv[0]);
        return 1;
    }
    const auto removeTarget = [&] { QFile::remove(target); };
    auto control = [] { return std::make_shared<SlowFileOpControl>(); };

    const double unzip = best(rounds, removeTarget, [&] { return FileUnzipFunc(packed, target, -1, -1, control()).run(); });
    const double zcat = best(rounds, removeTarget, [&] { return runTool("zcat", {packed}, target); });
    const double copy = best(rounds, removeTarget, [&] { return FileCopyFunc(plain, target, -1, control()).run(); });
    const double cp = best(rounds, removeTarget, [&] { return runTool("cp", {plain, target}); });

    std::printf("%lld MB, best of %d\n", static_cast<long long>(megabytes), rounds);
    std::printf("unpack  FileUnzipFunc %8.1f ms   zcat %8.1f ms   ratio %.2f\n", unzip, zcat, unzip / zcat);
    std::printf("copy    FileCopyFunc  %8.1f ms   cp   %8.1f ms   ratio %.2f\n", copy, cp, copy / cp);
    return unzip < 0 || zcat < 0 || copy < 0 || cp < 0 ? 1 : 0;
}
