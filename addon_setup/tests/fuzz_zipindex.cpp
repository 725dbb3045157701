// libFuzzer target: any bytes as an add-on package, through the zip index, its layout check, the
// extraction plan and the entry stream. Aborts when a layout passed as sound has an entry outside
// the file or two entries that share bytes, when the plan keeps a path that could lead outside
// the extraction folder, or when an entry copied as good is not exactly its declared size; the
// sanitizers report reads outside the buffers.
#include "extractionplan.h"
#include "zipentrystream.h"
#include "zipindex.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int memoryFile(const char *name)
{
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QBuffer device(&bytes);
    device.open(QIODevice::ReadOnly);
    ZipIndex index;
    if (index.read(device) != ZipIndex::ReadResult::Ok)
        return 0;
    const ZipIndex::Layout layout = index.checkLayout(device);
    if (layout.problem != ZipIndex::Layout::Sound)
        return 0;
    const QVector<ZipEntryRecord> &entries = index.entries();
    for (int i = 0; i < entries.size(); ++i) {
        const ZipEntryRecord &a = entries.at(i);
        if (a.dataOffset < 0)
            continue;
        const qint64 aEnd = a.dataOffset + qint64(a.compressedSize);
        if (aEnd > qint64(size) || a.dataOffset < qint64(a.localHeaderOffset))
            std::abort();
        for (int j = i + 1; j < entries.size() && j < i + 64; ++j) {
            const ZipEntryRecord &b = entries.at(j);
            if (b.dataOffset >= 0 && qint64(b.localHeaderOffset) < aEnd
                && qint64(a.localHeaderOffset) < b.dataOffset + qint64(b.compressedSize))
                std::abort();
        }
    }

    // Every kind for every entry in turn, so that names are planned as files and as folders.
    for (const EntryKind kind : {EntryKind::File, EntryKind::Folder}) {
        const ExtractionPlan plan = planExtraction(index, QVector<EntryKind>(entries.size(), kind));
        for (const ExtractionPlan::Item &item : plan.items) {
            for (const QString &part : item.components) {
                if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
                    || part.contains(QLatin1Char('/')) || part.contains(QLatin1Char('\\')))
                    std::abort();
            }
        }
    }

    const int archive = memoryFile("archive");
    const int out = memoryFile("out");
    if (::write(archive, data, size) != ssize_t(size))
        std::abort();
    ZipEntryStream stream;
    for (int i = 0; i < entries.size(); ++i) {
        if (index.entryProblem(i) != ZipIndex::EntryProblem::None)
            continue;
        if (::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) != 0)
            std::abort();
        const ZipEntryStream::Result result = stream.copy(archive, entries.at(i), out);
        struct stat st;
        if (::fstat(out, &st) != 0 || quint64(st.st_size) > entries.at(i).uncompressedSize)
            std::abort();
        if (result == ZipEntryStream::Result::Ok && quint64(st.st_size) != entries.at(i).uncompressedSize)
            std::abort();
    }
    ::close(archive);
    ::close(out);
    return 0;
}
