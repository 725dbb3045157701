#pragma once

// The bytes owed to one connection, in sending order: its own bytes in chunks of kChunkSize (a line
// is copied in once and written from where it lies) and references to shared blocks, the large
// lines that a fan-out sends to several connections, held once for all of them. The poller that
// owns the connection guards it with its lock; other threads append, and write and consume only
// while that poll thread sleeps, holding the lock (writeWhileAsleep). Appending never moves bytes
// already held, and a shared block never changes, so the poll thread can write the gathered bytes
// after it has released the lock while another thread appends behind them.

#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

// A block of bytes that several queues send. It counts its bytes into an account (the layer's
// account of queued bytes) once, from when it is made until the last queue lets go of it.
class SharedBlock
{
public:
    SharedBlock(std::string bytes, std::atomic<std::size_t>& account);
    ~SharedBlock();
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    const char* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    // Some queue has sent the whole block: the queues still holding it are behind.
    bool passed() const { return m_passed.load(std::memory_order_relaxed); }
    void markPassed() const { m_passed.store(true, std::memory_order_relaxed); }

private:
    const std::string m_bytes;
    std::atomic<std::size_t>& m_account;
    mutable std::atomic<bool> m_passed{false};
};

class ReplyBuffer
{
public:
    static const std::size_t kChunkSize = 16 * 1024;

    ReplyBuffer() = default;
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    // Bytes held and not yet consumed, the queue's own and those of shared blocks.
    std::size_t size() const { return m_ownSize + m_sharedSize; }
    bool empty() const { return size() == 0; }
    // The queue's own bytes not yet consumed.
    std::size_t ownSize() const { return m_ownSize; }
    // What counts against this queue: its own bytes, and the rest of every shared block that another
    // queue has sent whole already or that no other queue holds any more. A queue that keeps up with
    // the others owes nothing for the blocks they all send. Walks the shared blocks.
    std::size_t heldBehind() const;

    // All or nothing: throws std::bad_alloc, holding what it held, when the room cannot be had.
    void append(const char* data, std::size_t length);
    void append(const std::shared_ptr<const SharedBlock>& block);
    // Points at most `count` blocks at the bytes from the front; returns how many it filled.
    int gather(iovec* blocks, int count) const;
    // Drops `length` bytes (at most size()) from the front and lets go of the shared blocks passed;
    // returns how many of them were the queue's own. The last chunk is kept for reuse.
    std::size_t consume(std::size_t length);
    // Drops everything, the chunks too.
    void clear();

private:
    struct Chunk
    {
        // The queue's own bytes, or null for a shared block.
        std::unique_ptr<char[]> bytes;
        std::shared_ptr<const SharedBlock> shared;
        // Bytes written into an own chunk; a shared block's size.
        std::size_t used;

        const char* data() const { return bytes ? bytes.get() : shared->data(); }
    };

    std::deque<Chunk> m_chunks;
    // Bytes of the first chunk already consumed.
    std::size_t m_headOffset = 0;
    std::size_t m_ownSize = 0;
    std::size_t m_sharedSize = 0;
};
