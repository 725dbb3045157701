#pragma once

#include <QByteArray>

#include <zlib.h>

struct ZipEntryRecord;

// Copies the data of one zip entry, found by its position in the archive, into an open file:
// stored data as it is, deflated data inflated block by block; the CRC-32 and the size are checked
// on the way. Memory stays at two blocks whatever the entry's size, and nothing past the declared
// size is ever written. One stream serves every entry of an archive in turn.
class ZipEntryStream
{
public:
    enum class Result {
        Ok,
        ReadFailed,  // the archive could not be read
        WriteFailed, // the file could not be written
        Damaged,     // the data does not inflate, is cut short or has the wrong CRC-32
        TooLong,     // the data unpacks to more than the entry declares
    };

    ZipEntryStream();
    ~ZipEntryStream();
    ZipEntryStream(const ZipEntryStream &) = delete;
    ZipEntryStream &operator=(const ZipEntryStream &) = delete;

    // `entry` must have passed ZipIndex::checkLayout and ZipIndex::dataReadable.
    Result copy(int archiveFd, const ZipEntryRecord &entry, int fileFd);

private:
    Result copyStored(int archiveFd, const ZipEntryRecord &entry, int fileFd);
    Result copyDeflated(int archiveFd, const ZipEntryRecord &entry, int fileFd);

    QByteArray m_in;
    QByteArray m_out;
    z_stream m_zip;
    bool m_zipReady = false;
};
