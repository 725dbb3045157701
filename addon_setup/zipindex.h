#pragma once

#include <QByteArray>
#include <QVector>

class QIODevice;

// One record of a zip archive's central directory, as stored.
struct ZipEntryRecord
{
    QByteArray rawName;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 uncompressedSize = 0;
    quint32 localHeaderOffset = 0;
    // Filled by ZipIndex::checkLayout from the local header: where the data begins (-1 when the
    // local header is not there) and the method the local header names.
    qint64 dataOffset = -1;
    quint16 localMethod = 0;

    bool namesInUtf8() const { return flags & 0x0800; }
};

// A strict reading of a zip archive's central directory. Qt's zip reader accepts anything and
// trusts every size and offset it finds; this index checks where every entry's data lies, so that
// each entry can be read by its position, once.
class ZipIndex
{
public:
    enum class ReadResult {
        Ok,
        NotZip,           // no end record, or a directory cut short or pointing outside the file
        Zip64,            // zip64 end records or their markers (65 535 entries or more, 4 GiB and more)
        SelfExtracting,   // something other than an entry before the first entry, such as a program
        DirectoryMismatch // the records read do not fill the directory that the end record declares
    };
    // Reads the end record and the central directory: exactly the records that the end record
    // counts, filling exactly the directory it declares, which ends where the end record begins.
    ReadResult read(QIODevice &device);

    const QVector<ZipEntryRecord> &entries() const { return m_entries; }

    // Where the entries' local headers and data lie, as checkLayout finds it. `entry` and `other`
    // name the entries concerned (indexes into entries(), -1 when none).
    struct Layout
    {
        enum Problem { Sound, OutsideFile, Overlap } problem = Sound;
        int entry = -1;
        int other = -1;
    };
    // Reads every entry's local header and checks that each entry's header and data lie between
    // the start of the file and the central directory, and that no two entries share a byte; an
    // entry whose local header is missing is left out here (its data cannot be read).
    Layout checkLayout(QIODevice &device);

    // The sum of the uncompressed sizes that the entries declare.
    quint64 declaredTotalSize() const;

    // Whether the data of entry `index` can be extracted (after checkLayout): a supported method
    // (stored or deflated), no encryption, 32-bit sizes, a local header in place that names the same
    // method, and sizes that fit the method.
    enum class EntryProblem { None, Encrypted, Zip64, Method, Damaged };
    EntryProblem entryProblem(int index) const;

private:
    QVector<ZipEntryRecord> m_entries;
    qint64 m_fileSize = 0;
    qint64 m_directoryStart = 0;
};
