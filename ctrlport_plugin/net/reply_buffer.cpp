#include "net/reply_buffer.h"

#include <algorithm>
#include <cstring>

void ReplyBuffer::append(const char* data, std::size_t length)
{
    while (length > 0) {
        if (m_chunks.empty() || m_chunks.back().used == kChunkSize)
            m_chunks.push_back(Chunk{std::unique_ptr<char[]>(new char[kChunkSize]), 0});
        Chunk& tail = m_chunks.back();
        const std::size_t part = std::min(length, kChunkSize - tail.used);
        std::memcpy(tail.bytes.get() + tail.used, data, part);
        tail.used += part;
        m_size += part;
        data += part;
        length -= part;
    }
}

int ReplyBuffer::gather(iovec* blocks, int count) const
{
    int filled = 0;
    std::size_t skip = m_headOffset;
    for (auto it = m_chunks.begin(); it != m_chunks.end() && filled < count; ++it) {
        if (it->used == skip)
            break;  // the empty tail after a consumed head
        blocks[filled].iov_base = it->bytes.get() + skip;
        blocks[filled].iov_len = it->used - skip;
        ++filled;
        skip = 0;
    }
    return filled;
}

void ReplyBuffer::consume(std::size_t length)
{
    length = std::min(length, m_size);
    m_size -= length;
    while (length > 0) {
        Chunk& head = m_chunks.front();
        const std::size_t part = std::min(length, head.used - m_headOffset);
        m_headOffset += part;
        length -= part;
        if (m_headOffset == head.used && m_chunks.size() > 1) {
            m_chunks.pop_front();
            m_headOffset = 0;
        }
    }
    if (m_size == 0 && !m_chunks.empty()) {
        // Nobody writes from an empty buffer: the one chunk left starts over.
        m_chunks.front().used = 0;
        m_headOffset = 0;
    }
}

void ReplyBuffer::clear()
{
    m_chunks.clear();
    m_headOffset = 0;
    m_size = 0;
}
