#include "net/reply_buffer.h"

#include <algorithm>
#include <cstring>

void ReplyBuffer::append(const char* data, std::size_t length)
{
    // The room first: when it cannot be had, the buffer is left as it was.
    const std::size_t chunks = m_chunks.size();
    std::size_t room = chunks == 0 ? 0 : kChunkSize - m_chunks.back().used;
    try {
        for (; room < length; room += kChunkSize)
            m_chunks.push_back(Chunk{std::unique_ptr<char[]>(new char[kChunkSize]), 0});
    } catch (...) {
        while (m_chunks.size() > chunks)
            m_chunks.pop_back();
        throw;
    }
    auto tail = m_chunks.begin() + static_cast<std::ptrdiff_t>(chunks == 0 ? 0 : chunks - 1);
    while (length > 0) {
        if (tail->used == kChunkSize)
            ++tail;
        const std::size_t part = std::min(length, kChunkSize - tail->used);
        std::memcpy(tail->bytes.get() + tail->used, data, part);
        tail->used += part;
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
