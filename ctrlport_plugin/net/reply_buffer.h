#pragma once

// The bytes owed to one connection, in sending order, kept in chunks of kChunkSize bytes: a line is
// copied in once and written from where it lies. The poller that owns the connection guards it with
// its lock; other threads only append, and only the poll thread writes and consumes. Appending never
// moves bytes already held, so the poll thread can write the gathered bytes after it has released the
// lock while another thread appends behind them.

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <memory>

class ReplyBuffer
{
public:
    static const std::size_t kChunkSize = 16 * 1024;

    ReplyBuffer() = default;
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    // Bytes held and not yet consumed.
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    // All or nothing: throws std::bad_alloc, holding what it held, when the room cannot be had.
    void append(const char* data, std::size_t length);
    // Points at most `count` blocks at the bytes from the front; returns how many it filled.
    int gather(iovec* blocks, int count) const;
    // Drops `length` bytes (at most size()) from the front. The last chunk is kept for reuse.
    void consume(std::size_t length);
    // Drops everything, the chunks too.
    void clear();

private:
    struct Chunk
    {
        std::unique_ptr<char[]> bytes;
        std::size_t used;
    };

    std::deque<Chunk> m_chunks;
    // Bytes of the first chunk already consumed.
    std::size_t m_headOffset = 0;
    std::size_t m_size = 0;
};
