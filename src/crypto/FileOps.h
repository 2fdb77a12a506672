#pragma once
// Encrypting or decrypting one file into another in the rotor format: streamed through 4 MiB
// blocks in the frame of FileJob (two threads for large files, the destination replaced only
// on success).

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
