#include "zipentrystream.h"

#include "safefs.h"
#include "zipindex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int blockSize = 256 * 1024;

// Reads exactly `size` bytes at `offset`; false on an error or an early end of the file.
bool readAt(int fd, qint64 offset, char *buffer, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, buffer, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        offset += n;
        size -= n;
    }
    return true;
}

uLong crcOf(uLong crc, const char *data, qint64 size)
{
    return crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(size));
}

} // namespace

ZipEntryStream::ZipEntryStream() : m_in(blockSize, Qt::Uninitialized), m_out(blockSize, Qt::Uninitialized)
{
    std::memset(&m_zip, 0, sizeof m_zip);
}

ZipEntryStream::~ZipEntryStream()
{
    if (m_zipReady)
        inflateEnd(&m_zip);
}

ZipEntryStream::Result ZipEntryStream::copy(int archiveFd, const ZipEntryRecord &entry, int fileFd)
{
    if (entry.dataOffset < 0)
        return Result::Damaged;
    return entry.method == 0 ? copyStored(archiveFd, entry, fileFd) : copyDeflated(archiveFd, entry, fileFd);
}

ZipEntryStream::Result ZipEntryStream::copyStored(int archiveFd, const ZipEntryRecord &entry, int fileFd)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 offset = entry.dataOffset;
    qint64 left = entry.compressedSize;
    char *buffer = m_in.data();
    while (left > 0) {
        const qint64 n = std::min<qint64>(left, blockSize);
        if (!readAt(archiveFd, offset, buffer, n))
            return Result::ReadFailed;
        crc = crcOf(crc, buffer, n);
        if (!safefs::writeAll(fileFd, buffer, n))
            return Result::WriteFailed;
        offset += n;
        left -= n;
    }
    return crc == entry.crc ? Result::Ok : Result::Damaged;
}

ZipEntryStream::Result ZipEntryStream::copyDeflated(int archiveFd, const ZipEntryRecord &entry, int fileFd)
{
    if (!m_zipReady) {
        if (inflateInit2(&m_zip, -MAX_WBITS) != Z_OK)
            return Result::Damaged;
        m_zipReady = true;
    } else if (inflateReset(&m_zip) != Z_OK) {
        return Result::Damaged;
    }
    m_zip.avail_in = 0;

    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 offset = entry.dataOffset;
    qint64 inputLeft = entry.compressedSize;
    const qint64 declared = entry.uncompressedSize;
    qint64 produced = 0;
    for (;;) {
        if (m_zip.avail_in == 0 && inputLeft > 0) {
            const qint64 n = std::min<qint64>(inputLeft, blockSize);
            if (!readAt(archiveFd, offset, m_in.data(), n))
                return Result::ReadFailed;
            m_zip.next_in = reinterpret_cast<Bytef *>(m_in.data());
            m_zip.avail_in = uInt(n);
            offset += n;
            inputLeft -= n;
        }
        // Room for at most one byte more than declared: a longer stream is caught at that byte.
        const qint64 room = std::min<qint64>(blockSize, declared - produced + 1);
        m_zip.next_out = reinterpret_cast<Bytef *>(m_out.data());
        m_zip.avail_out = uInt(room);
        const int status = inflate(&m_zip, Z_NO_FLUSH);
        const qint64 have = room - m_zip.avail_out;
        if (produced + have > declared)
            return Result::TooLong;
        if (have > 0) {
            crc = crcOf(crc, m_out.constData(), have);
            if (!safefs::writeAll(fileFd, m_out.constData(), have))
                return Result::WriteFailed;
            produced += have;
        }
        if (status == Z_STREAM_END)
            break;
        // Z_BUF_ERROR with input left to read only means that the block was used up.
        if (status != Z_OK && !(status == Z_BUF_ERROR && m_zip.avail_in == 0 && inputLeft > 0))
            return Result::Damaged;
        if (status == Z_OK && have == 0 && m_zip.avail_in == 0 && inputLeft == 0)
            return Result::Damaged; // the stream is cut short
    }
    return produced == declared && crc == entry.crc ? Result::Ok : Result::Damaged;
}
