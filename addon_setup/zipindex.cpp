#include "zipindex.h"

#include <QIODevice>

#include <algorithm>
#include <climits>

namespace {

constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 endRecordSignature = 0x06054b50;
constexpr int endRecordSize = 22;
constexpr int centralHeaderSize = 46;
constexpr int localHeaderSize = 30;
constexpr int maxCommentSize = 65535;
// Highest format version the reader extracts, and the most that deflate can expand its input.
constexpr quint16 readerVersion = 20;
constexpr qint64 maxDeflateRatio = 1032;

quint16 u16(const char *p)
{
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return quint16(b[0] | (b[1] << 8));
}

quint32 u32(const char *p)
{
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
}

bool readAt(QIODevice &device, qint64 pos, char *buffer, qint64 size)
{
    return device.seek(pos) && device.read(buffer, size) == size;
}

} // namespace

bool ZipIndex::read(QIODevice &device)
{
    m_entries.clear();
    m_fileSize = device.size();

    // The end record is searched backwards from the end of the file, past a comment of at most
    // 64 KiB, the way the reader searches it.
    char end[endRecordSize];
    bool found = false;
    for (int back = 0; back <= maxCommentSize; ++back) {
        const qint64 pos = m_fileSize - endRecordSize - back;
        if (pos < 0)
            break;
        if (!readAt(device, pos, end, endRecordSize))
            return false;
        if (u32(end) == endRecordSignature) {
            found = true;
            break;
        }
    }
    if (!found)
        return false;

    const int count = u16(end + 10);
    const qint64 directorySize = u32(end + 12);
    const qint64 directoryStart = u32(end + 16);
    // Qt's zip reader, which lists the entries too, keeps offsets in an int.
    if (directoryStart > INT_MAX || directoryStart + directorySize > m_fileSize)
        return false;
    m_directoryStart = directoryStart;
    if (count > 0) {
        char magic[4];
        if (!readAt(device, 0, magic, 4) || u32(magic) != localHeaderSignature)
            return false;
    }

    if (!device.seek(directoryStart))
        return false;
    m_entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        char header[centralHeaderSize];
        if (device.read(header, centralHeaderSize) != centralHeaderSize || u32(header) != centralHeaderSignature)
            return false;
        ZipEntryRecord entry;
        entry.versionNeeded = u16(header + 6);
        entry.flags = u16(header + 8);
        entry.method = u16(header + 10);
        entry.crc = u32(header + 16);
        entry.compressedSize = u32(header + 20);
        entry.uncompressedSize = u32(header + 24);
        const int nameLength = u16(header + 28);
        const int extraLength = u16(header + 30);
        const int commentLength = u16(header + 32);
        entry.localHeaderOffset = u32(header + 42);
        entry.rawName = device.read(nameLength);
        if (entry.rawName.size() != nameLength)
            return false;
        const qint64 rest = extraLength + commentLength;
        if (device.pos() + rest > m_fileSize || !device.seek(device.pos() + rest))
            return false;
        m_entries.append(entry);
    }
    return true;
}

ZipIndex::Layout ZipIndex::checkLayout(QIODevice &device)
{
    struct Range
    {
        qint64 start, end;
        int entry;
    };
    QVector<Range> ranges;
    ranges.reserve(m_entries.size());
    Layout layout;
    for (int i = 0; i < m_entries.size(); ++i) {
        ZipEntryRecord &entry = m_entries[i];
        const qint64 offset = entry.localHeaderOffset;
        char header[localHeaderSize];
        if (offset + localHeaderSize > m_directoryStart) {
            layout = {Layout::OutsideFile, i, -1};
            return layout;
        }
        if (!readAt(device, offset, header, localHeaderSize) || u32(header) != localHeaderSignature)
            continue;
        entry.localMethod = u16(header + 8);
        entry.dataOffset = offset + localHeaderSize + u16(header + 26) + u16(header + 28);
        const qint64 end = entry.dataOffset + qint64(entry.compressedSize);
        if (end > m_directoryStart) {
            layout = {Layout::OutsideFile, i, -1};
            return layout;
        }
        ranges.append({offset, end, i});
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.start < b.start; });
    for (int i = 1; i < ranges.size(); ++i) {
        if (ranges.at(i).start < ranges.at(i - 1).end) {
            layout = {Layout::Overlap, std::min(ranges.at(i - 1).entry, ranges.at(i).entry),
                      std::max(ranges.at(i - 1).entry, ranges.at(i).entry)};
            return layout;
        }
    }
    return layout;
}

quint64 ZipIndex::declaredTotalSize() const
{
    quint64 total = 0;
    for (const ZipEntryRecord &entry : m_entries)
        total += entry.uncompressedSize;
    return total;
}

bool ZipIndex::dataReadable(int index) const
{
    if (index < 0 || index >= m_entries.size())
        return false;
    const ZipEntryRecord &entry = m_entries.at(index);
    if (entry.flags & 0x0001) // encrypted
        return false;
    if (entry.versionNeeded > readerVersion || entry.dataOffset < 0 || entry.localMethod != entry.method)
        return false;
    // All ones mark sizes kept in a 64-bit extra field, which this reader does not read.
    if (entry.compressedSize == 0xffffffffu || entry.uncompressedSize == 0xffffffffu)
        return false;
    switch (entry.method) {
    case 0: // stored
        return entry.compressedSize == entry.uncompressedSize;
    case 8: // deflated
        return qint64(entry.uncompressedSize) <= qint64(entry.compressedSize) * maxDeflateRatio + 1024;
    default:
        return false;
    }
}
