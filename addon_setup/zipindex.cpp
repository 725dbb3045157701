#include "zipindex.h"

#include <QIODevice>

#include <algorithm>
#include <climits>

namespace {

constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 endRecordSignature = 0x06054b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint32 zip64RecordSignature = 0x06064b50;
constexpr int endRecordSize = 22;
constexpr int zip64LocatorSize = 20;
constexpr int zip64RecordSize = 56;
constexpr int centralHeaderSize = 46;
constexpr int localHeaderSize = 30;
constexpr int maxCommentSize = 65535;
// The most that deflate can expand its input.
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

quint64 u64(const char *p)
{
    return quint64(u32(p)) | (quint64(u32(p + 4)) << 32);
}

bool readAt(QIODevice &device, qint64 pos, char *buffer, qint64 size)
{
    return device.seek(pos) && device.read(buffer, size) == size;
}

// Searches the end record backwards from the end of the file, past a comment of at most 64 KiB,
// the way the reader searches it; reads it into `end` and returns where it begins, or -1.
qint64 findEndRecord(QIODevice &device, qint64 fileSize, char *end)
{
    for (int back = 0; back <= maxCommentSize; ++back) {
        const qint64 pos = fileSize - endRecordSize - back;
        if (pos < 0 || !readAt(device, pos, end, endRecordSize))
            return -1;
        if (u32(end) == endRecordSignature)
            return pos;
    }
    return -1;
}

enum class Zip64 { None, SameAsClassic, Beyond };

// The zip64 end record that a locator just before the end record at `endPos` points at: none, one
// that holds the same figures as the classic end record (some tools write one for exactly 65 535
// entries; `recordPos` is then where it begins), or one for an archive beyond the classic record.
Zip64 zip64EndRecord(QIODevice &device, qint64 endPos, quint64 count, quint64 size, quint64 start, qint64 &recordPos)
{
    char locator[zip64LocatorSize];
    const qint64 locatorPos = endPos - zip64LocatorSize;
    if (locatorPos < 0 || !readAt(device, locatorPos, locator, zip64LocatorSize)
        || u32(locator) != zip64LocatorSignature)
        return Zip64::None;
    const quint64 pos = u64(locator + 8);
    char record[zip64RecordSize];
    if (pos + zip64RecordSize > quint64(locatorPos) || !readAt(device, qint64(pos), record, zip64RecordSize)
        || u32(record) != zip64RecordSignature || u64(record + 32) != count || u64(record + 40) != size
        || u64(record + 48) != start)
        return Zip64::Beyond;
    recordPos = qint64(pos);
    return Zip64::SameAsClassic;
}

} // namespace

ZipIndex::ReadResult ZipIndex::read(QIODevice &device)
{
    m_entries.clear();
    m_fileSize = device.size();

    char end[endRecordSize];
    const qint64 endPos = findEndRecord(device, m_fileSize, end);
    if (endPos < 0)
        return ReadResult::NotZip;

    const int count = u16(end + 10);
    const qint64 directorySize = u32(end + 12);
    const qint64 directoryStart = u32(end + 16);
    // The directory ends where the zip64 end record begins, if there is one, else at the end record.
    qint64 directoryLimit = endPos;
    switch (zip64EndRecord(device, endPos, count, directorySize, directoryStart, directoryLimit)) {
    case Zip64::None:
    case Zip64::SameAsClassic:
        break;
    case Zip64::Beyond:
        return ReadResult::Zip64;
    }
    // An archive split over several files ("disks") is never whole here.
    if (u16(end + 4) != 0 || u16(end + 6) != 0 || u16(end + 8) != count)
        return ReadResult::NotZip;
    if (count > 0) {
        char magic[4];
        if (!readAt(device, 0, magic, 4))
            return ReadResult::NotZip;
        if (u32(magic) != localHeaderSignature)
            return ReadResult::SelfExtracting;
    }
    // Qt's zip reader, which lists the entries too, keeps offsets in an int.
    const qint64 directoryEnd = directoryStart + directorySize;
    if (directoryStart > INT_MAX || directoryEnd > directoryLimit)
        return ReadResult::NotZip;
    m_directoryStart = directoryStart;

    if (!device.seek(directoryStart))
        return ReadResult::NotZip;
    m_entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        char header[centralHeaderSize];
        if (device.pos() + centralHeaderSize > directoryEnd)
            return ReadResult::DirectoryMismatch;
        if (device.read(header, centralHeaderSize) != centralHeaderSize || u32(header) != centralHeaderSignature)
            return ReadResult::NotZip;
        ZipEntryRecord entry;
        entry.flags = u16(header + 8);
        entry.method = u16(header + 10);
        entry.crc = u32(header + 16);
        entry.compressedSize = u32(header + 20);
        entry.uncompressedSize = u32(header + 24);
        const int nameLength = u16(header + 28);
        const int extraLength = u16(header + 30);
        const int commentLength = u16(header + 32);
        entry.localHeaderOffset = u32(header + 42);
        if (device.pos() + nameLength + extraLength + commentLength > directoryEnd)
            return ReadResult::DirectoryMismatch;
        entry.rawName = device.read(nameLength);
        if (entry.rawName.size() != nameLength || !device.seek(device.pos() + extraLength + commentLength))
            return ReadResult::NotZip;
        m_entries.append(entry);
    }
    // Records that the end record does not count would be left out without a word.
    if (device.pos() != directoryEnd || directoryEnd != directoryLimit)
        return ReadResult::DirectoryMismatch;
    return ReadResult::Ok;
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

ZipIndex::EntryProblem ZipIndex::entryProblem(int index) const
{
    if (index < 0 || index >= m_entries.size())
        return EntryProblem::Damaged;
    const ZipEntryRecord &entry = m_entries.at(index);
    // Traditional (bit 0) and strong (bit 6) encryption.
    if (entry.flags & 0x0041)
        return EntryProblem::Encrypted;
    // All ones mark sizes kept in a 64-bit extra field, which this reader does not read.
    if (entry.compressedSize == 0xffffffffu || entry.uncompressedSize == 0xffffffffu)
        return EntryProblem::Zip64;
    if (entry.method != 0 && entry.method != 8)
        return entry.method == 99 ? EntryProblem::Encrypted : EntryProblem::Method;
    if (entry.dataOffset < 0 || entry.localMethod != entry.method)
        return EntryProblem::Damaged;
    const bool sizesFit = entry.method == 0
        ? entry.compressedSize == entry.uncompressedSize
        : qint64(entry.uncompressedSize) <= qint64(entry.compressedSize) * maxDeflateRatio + 1024;
    return sizesFit ? EntryProblem::None : EntryProblem::Damaged;
}
