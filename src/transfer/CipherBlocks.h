#pragma once
// What the cipher streams share: the block a cipher thread works on and the reuse of its
// buffers. Internal to the transfer library.

#include "transfer/CipherStreams.h"

#include <QString>

#include <cstdint>
#include <cstring>
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

}  // namespace zephra::transfer::detail
