#pragma once
// Encrypting or decrypting one file into another: streamed in bounded memory, two threads for
// large files, the destination written beside itself and renamed into place only on success.

#include "crypto/Engine.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace zephra::crypto {

// Work buffers, allocated on first use and kept for the engine's life.
class BlockBuffers {
public:
    static constexpr std::size_t kBlockSize = std::size_t{4} << 20;
    static constexpr int kMaxThreads = 2;
    std::uint8_t* get(int thread);

private:
    std::vector<std::uint8_t> m_blocks[kMaxThreads];
};

Status processFile(const Cipher& cipher, Direction dir, const std::filesystem::path& source,
                   const std::filesystem::path& dest, const Progress& progress, BlockBuffers& buffers);

}  // namespace zephra::crypto
