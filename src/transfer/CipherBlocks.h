#pragma once
// What the cipher streams share: the block a cipher thread works on and the reuse of its
// buffers. Internal to the transfer library.

#include "transfer/CipherStreams.h"

#include <QString>

#include <condition_variable>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zephra::transfer::detail {

// A few MiB in all: enough for the cipher thread to run ahead of (or behind) the network.
constexpr auto kBlockSize = static_cast<std::size_t>(kCipherBlockSize);
constexpr auto kQueueDepth = static_cast<std::size_t>(kCipherQueueDepth);

inline QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// A block of file bytes at a file position; pos counts what the consumer has taken.
struct Block {
    std::vector<std::uint8_t> data;
    std::size_t len = 0;
    std::size_t pos = 0;
    std::uint64_t position = 0;
};

// Buffers are kept for reuse, so a long transfer allocates a handful of blocks in all.
inline std::vector<std::uint8_t> takeBuffer(std::vector<std::vector<std::uint8_t>>& spare)
{
    if (spare.empty())
        return std::vector<std::uint8_t>(kBlockSize);
    std::vector<std::uint8_t> b = std::move(spare.back());
    spare.pop_back();
    return b;
}

// How a writer hands downloaded bytes to its cipher thread: the block being filled, a short
// queue of full ones, their spare buffers, and how the stream ends. The writers' pipes (rotor and
// sealed) build on it; their cipher threads differ only in what they do with a block.
struct BlockQueue {
    std::thread thread;  // the cipher thread
    Block fill;          // filled by the writing thread only

    mutable std::mutex mutex;
    std::condition_variable blocksQueued;  // the cipher thread waits for blocks
    std::condition_variable spaceFree;     // the writing thread waits for room
    std::deque<Block> queue;
    std::vector<std::vector<std::uint8_t>> spare;
    bool finishing = false;  // commit(): no more blocks come
    bool failed = false;
    bool aborted = false;
    bool committed = false;
    QString error;

    // The first failure is the one reported.
    void fail(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            if (!failed) {
                failed = true;
                error = text;
            }
        }
        spaceFree.notify_all();
    }

    // Hands the filled block to the cipher thread, waiting while the queue is full.
    bool pushFill()
    {
        std::unique_lock lock(mutex);
        spaceFree.wait(lock, [&] { return queue.size() < kQueueDepth || failed || aborted; });
        if (failed || aborted)
            return false;
        queue.push_back(std::move(fill));
        fill = Block{};
        lock.unlock();
        blocksQueued.notify_one();
        return true;
    }

    // The cipher thread is done with a block: its buffer is kept, and a waiting writer wakes.
    void recycle(Block& block)
    {
        {
            std::lock_guard lock(mutex);
            spare.push_back(std::move(block.data));
        }
        spaceFree.notify_all();
    }

    void stopThread()
    {
        if (thread.joinable())
            thread.join();
    }
};

// How an upload reader's cipher thread hands blocks to the network: a short queue of ready
// blocks, their spare buffers, the ready callback, and how the stream ends. The readers' pipes
// (rotor and sealed) build on it; their threads differ only in how they make a block.
struct ReadyQueue {
    std::thread thread;  // the cipher thread, started once
    std::once_flag started;

    mutable std::mutex mutex;
    std::condition_variable dataReady;  // the consumer waits for blocks
    std::condition_variable spaceFree;  // the cipher thread waits for room in the queue
    std::deque<Block> queue;
    std::vector<std::vector<std::uint8_t>> spare;
    bool producedAll = false;  // every block is queued and the file did not change size
    bool failed = false;
    bool cancelled = false;
    QString error;

    std::mutex callbackMutex;  // held while the callback runs, so it can be replaced safely
    std::function<void()> callback;

    void notify()
    {
        std::lock_guard lock(callbackMutex);
        if (callback)
            callback();
    }

    // The first failure is the one reported; a cancel is not a failure.
    void fail(const QString& text)
    {
        {
            std::lock_guard lock(mutex);
            if (!failed && !cancelled) {
                failed = true;
                error = text;
            }
        }
        dataReady.notify_all();
        notify();
    }

    // Blocks until bytes are ready: their count, 0 at the end, -1 on a failure or after cancel().
    qint64 read(char* buffer, qint64 maxSize)
    {
        std::unique_lock lock(mutex);
        dataReady.wait(lock, [&] { return !queue.empty() || producedAll || failed || cancelled; });
        if (cancelled || failed)
            return -1;
        return takeLocked(buffer, maxSize);
    }

    // What is ready now, without waiting.
    qint64 tryRead(char* buffer, qint64 maxSize)
    {
        std::lock_guard lock(mutex);
        if (cancelled || failed)
            return -1;
        return takeLocked(buffer, maxSize);
    }

    qint64 bytesReady() const
    {
        std::lock_guard lock(mutex);
        qint64 n = 0;
        for (const Block& b : queue)
            n += qint64(b.len - b.pos);
        return n;
    }

    bool atEnd() const
    {
        std::lock_guard lock(mutex);
        return producedAll && queue.empty() && !failed && !cancelled;
    }

    void setReadyCallback(std::function<void()> c)
    {
        std::lock_guard lock(callbackMutex);
        callback = std::move(c);
    }

    QString errorString() const
    {
        std::lock_guard lock(mutex);
        return error;
    }

    void cancel()
    {
        {
            std::lock_guard lock(mutex);
            if (!cancelled && !failed) {
                cancelled = true;
                error = QStringLiteral("cancelled");
            }
        }
        spaceFree.notify_all();
        dataReady.notify_all();
    }

    qint64 takeLocked(char* buffer, qint64 maxSize)
    {
        qint64 n = 0;
        bool freed = false;
        while (n < maxSize && !queue.empty()) {
            Block& b = queue.front();
            const auto piece = static_cast<std::size_t>(std::min<qint64>(maxSize - n, qint64(b.len - b.pos)));
            std::memcpy(buffer + n, b.data.data() + b.pos, piece);
            b.pos += piece;
            n += qint64(piece);
            if (b.pos == b.len) {
                spare.push_back(std::move(b.data));
                queue.pop_front();
                freed = true;
            }
        }
        if (freed)
            spaceFree.notify_one();
        return n;
    }
};

}  // namespace zephra::transfer::detail
