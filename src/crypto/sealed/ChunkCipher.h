#pragma once
// Sealing and opening single chunks of one file, at any index and in any order, so that
// resume and several threads can each take the chunks they need. One object per thread: each
// holds its own cipher context.
//
// Chunk i is AES-256-GCM under the file key with
//   nonce = i as 8 bytes big-endian, then 00 00 00 01 for the last chunk or 00 00 00 00
//   associated data = the 88 header bytes
// so a chunk opens only at its own index, as last or not last as it was sealed, in a file with
// this very header.

#include "crypto/sealed/SealedKeys.h"

#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace zephra::crypto::sealed {

class ChunkSealer final {
public:
    explicit ChunkSealer(const FileKey& key);
    ~ChunkSealer();
    ChunkSealer(const ChunkSealer&) = delete;
    ChunkSealer& operator=(const ChunkSealer&) = delete;

    // Seals n plaintext bytes (n <= kChunkSize; below it only for the last chunk) into out,
    // which receives n + kTagSize bytes. in and out may be the same buffer. False only when the
    // cipher library fails (out of memory).
    [[nodiscard]] bool seal(std::uint64_t index, bool last, const std::uint8_t* in, std::size_t n, std::uint8_t* out);

private:
    const FileKey& m_key;
    EVP_CIPHER_CTX* m_ctx = nullptr;
};

class ChunkOpener final {
public:
    explicit ChunkOpener(const FileKey& key);
    ~ChunkOpener();
    ChunkOpener(const ChunkOpener&) = delete;
    ChunkOpener& operator=(const ChunkOpener&) = delete;

    // Opens a sealed chunk of n bytes (kTagSize <= n <= kSealedChunkSize) into out, which
    // receives n - kTagSize bytes. False when it does not authenticate; out is then wiped,
    // so no unauthenticated byte is ever handed on. in and out may be the same buffer.
    [[nodiscard]] bool open(std::uint64_t index, bool last, const std::uint8_t* in, std::size_t n, std::uint8_t* out);

private:
    const FileKey& m_key;
    EVP_CIPHER_CTX* m_ctx = nullptr;
};

// The failure of a chunk that did not open: Damaged, naming where the chunk starts in the file.
Status chunkFailure(std::uint64_t index);

}  // namespace zephra::crypto::sealed
