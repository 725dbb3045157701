#pragma once

#include <QByteArray>
#include <QVector>

class QIODevice;

// One record of a zip archive's central directory, as stored.
struct ZipEntryRecord
{
    QByteArray rawName;
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 uncompressedSize = 0;
    quint32 localHeaderOffset = 0;

    bool namesInUtf8() const { return flags & 0x0800; }
};

// A strict reading of a zip archive's central directory. Qt's zip reader accepts anything and
// trusts every size and offset it finds; this index is consulted first so that only entries whose
// data the reader can take safely are handed to it.
class ZipIndex
{
public:
    // Reads the end record and the central directory. False when the device holds no zip archive
    // or its directory is cut short or points outside the file.
    bool read(QIODevice &device);

    const QVector<ZipEntryRecord> &entries() const { return m_entries; }

    // True when the data of entry `index` can be extracted: a supported method (stored or
    // deflated), no encryption, a local header in place and the compressed data inside the file,
    // sizes that fit the method.
    bool dataReadable(QIODevice &device, int index) const;

private:
    QVector<ZipEntryRecord> m_entries;
    qint64 m_fileSize = 0;
};
