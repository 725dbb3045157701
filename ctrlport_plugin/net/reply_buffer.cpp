#include "net/reply_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

SharedBlock::SharedBlock(std::string bytes, std::atomic<std::size_t>& account)
    : m_bytes(std::move(bytes)), m_account(account)
{
    m_account += m_bytes.size();
}

SharedBlock::~SharedBlock()
{
    m_account -= m_bytes.size();
}

std::size_t ReplyBuffer::heldBehind() const
{
    std::size_t behind = m_ownSize;
    std::size_t skip = m_headOffset;
    for (const Chunk& chunk : m_chunks) {
        // A block gains holders only from a fan-out, which holds a reference of its own until it
        // has reached every queue; while another poller lets go, this errs toward not counting.
        if (chunk.shared && (chunk.shared->passed() || chunk.shared.use_count() == 1))
            behind += chunk.used - skip;
        skip = 0;
    }
    return behind;
}

void ReplyBuffer::append(const char* data, std::size_t length)
{
    // The room first: when it cannot be had, the buffer is left as it was.
    const std::size_t chunks = m_chunks.size();
    const bool ownTail = chunks > 0 && m_chunks.back().bytes;
    std::size_t room = ownTail ? kChunkSize - m_chunks.back().used : 0;
    try {
        for (; room < length; room += kChunkSize)
            m_chunks.push_back(Chunk{std::unique_ptr<char[]>(new char[kChunkSize]), nullptr, 0});
    } catch (...) {
        while (m_chunks.size() > chunks)
            m_chunks.pop_back();
        throw;
    }
    auto tail = m_chunks.begin() + static_cast<std::ptrdiff_t>(ownTail ? chunks - 1 : chunks);
    while (length > 0) {
        if (tail->used == kChunkSize)
            ++tail;
        const std::size_t part = std::min(length, kChunkSize - tail->used);
        std::memcpy(tail->bytes.get() + tail->used, data, part);
        tail->used += part;
        m_ownSize += part;
        data += part;
        length -= part;
    }
}

void ReplyBuffer::append(const std::shared_ptr<const SharedBlock>& block)
{
    if (!block || block->size() == 0)
        return;
    m_chunks.push_back(Chunk{nullptr, block, block->size()});
    m_sharedSize += block->size();
}

int ReplyBuffer::gather(iovec* blocks, int count) const
{
    int filled = 0;
    std::size_t skip = m_headOffset;
    for (auto it = m_chunks.begin(); it != m_chunks.end() && filled < count; ++it) {
        if (it->used > skip) {  // an own chunk emptied for reuse holds nothing
            blocks[filled].iov_base = const_cast<char*>(it->data()) + skip;
            blocks[filled].iov_len = it->used - skip;
            ++filled;
        }
        skip = 0;
    }
    return filled;
}

std::size_t ReplyBuffer::consume(std::size_t length)
{
    length = std::min(length, size());
    std::size_t own = 0;
    while (length > 0) {
        Chunk& head = m_chunks.front();
        const std::size_t part = std::min(length, head.used - m_headOffset);
        m_headOffset += part;
        length -= part;
        if (head.bytes) {
            m_ownSize -= part;
            own += part;
        } else {
            m_sharedSize -= part;
            if (m_headOffset == head.used)
                head.shared->markPassed();
        }
        // A shared block is let go of as soon as it is out; the last own chunk stays for reuse.
        if (m_headOffset == head.used && (!head.bytes || m_chunks.size() > 1)) {
            m_chunks.pop_front();
            m_headOffset = 0;
        }
    }
    if (size() == 0 && !m_chunks.empty() && m_chunks.front().bytes) {
        // Nobody writes from an empty buffer: the one chunk left starts over.
        m_chunks.front().used = 0;
        m_headOffset = 0;
    }
    return own;
}

void ReplyBuffer::clear()
{
    m_chunks.clear();
    m_headOffset = 0;
    m_ownSize = 0;
    m_sharedSize = 0;
}
