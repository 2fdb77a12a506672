#pragma once
// What the cipher streams share: the block a cipher thread works on and the reuse of its
// buffers. Internal to the transfer library.

#include "transfer/CipherStreams.h"

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
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

}  // namespace zephra::transfer::detail
