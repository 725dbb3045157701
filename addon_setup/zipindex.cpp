#include "zipindex.h"

#include <QIODevice>

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
    if (directoryStart > INT_MAX || directoryStart + directorySize > m_fileSize)
        return false;
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

bool ZipIndex::dataReadable(QIODevice &device, int index) const
{
    if (index < 0 || index >= m_entries.size())
        return false;
    const ZipEntryRecord &entry = m_entries.at(index);
    if (entry.flags & 0x0001) // encrypted
        return false;
    if (entry.versionNeeded > readerVersion)
        return false;
    if (entry.compressedSize > INT_MAX || entry.uncompressedSize > INT_MAX)
        return false;
    switch (entry.method) {
    case 0: // stored
        if (entry.compressedSize != entry.uncompressedSize)
            return false;
        break;
    case 8: // deflated
        if (qint64(entry.uncompressedSize) > qint64(entry.compressedSize) * maxDeflateRatio + 1024)
            return false;
        break;
    default:
        return false;
    }

    char header[localHeaderSize];
    const qint64 offset = entry.localHeaderOffset;
    if (offset + localHeaderSize > m_fileSize || !readAt(device, offset, header, localHeaderSize)
        || u32(header) != localHeaderSignature || u16(header + 8) != entry.method)
        return false;
    const qint64 dataStart = offset + localHeaderSize + u16(header + 26) + u16(header + 28);
    return dataStart + qint64(entry.compressedSize) <= m_fileSize;
}
