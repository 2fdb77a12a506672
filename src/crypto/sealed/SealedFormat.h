#pragma once
// The sealed file format, version 1 (docs/FORMAT.md): the header, the chunk layout, resume
// positions and format detection. Pure functions over bytes; the keys live in SealedKeys.h.
//
//   header (88 bytes) | chunk 0 | chunk 1 | ... | chunk n-1
//   chunk i = AES-256-GCM ciphertext of plaintext bytes [i*64 KiB, ...) followed by its 16-byte tag
//
// Every chunk but the last holds exactly 64 KiB of plaintext; the last holds 0 to 64 KiB - 1,
// so a file has size / 64 KiB + 1 chunks and the last one is known by its length alone.

#include "crypto/Engine.h"

#include <array>
#include <cstdint>
#include <span>

namespace zephra::crypto::sealed {

inline constexpr std::size_t kChunkSize = 65536;  // plaintext bytes of a full chunk
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kSealedChunkSize = kChunkSize + kTagSize;
inline constexpr std::size_t kHeaderSize = 88;
inline constexpr std::size_t kSaltSize = 32;
inline constexpr std::size_t kKeyCheckSize = 16;
inline constexpr std::size_t kHeaderCheckSize = 16;
inline constexpr std::size_t kKeySize = 32;

// 0x89 keeps the file from passing for text; CR LF, SUB and LF break visibly when a transfer in
// ASCII mode rewrites line ends.
inline constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'Z', 'S', 'F', '\r', '\n', 0x1a, '\n'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint8_t kAeadAes256Gcm = 1;
inline constexpr std::uint8_t kKdfArgon2id = 1;
inline constexpr std::uint8_t kChunkSizeLog2 = 16;

// Argon2id (version 1.3) cost parameters, stored in every header.
struct KdfParams {
    std::uint32_t iterations = 3;     // t
    std::uint32_t memoryKiB = 131072;  // m: 128 MiB
    std::uint32_t lanes = 1;          // p: libsodium computes one lane
    bool operator==(const KdfParams&) const = default;
};
// About 0.2 s of one core on the development machine (libsodium's vectorised Argon2id; 64 MiB
// took only 0.1 s, below the aim of 0.2 to 0.5 s), and more on machines without AVX-512.
inline constexpr KdfParams kDefaultKdf{};

// What a reader accepts, so that a hostile header cannot make it spend unbounded time or
// memory: 1 to 32 iterations, 1 MiB to 1 GiB, iterations times memory at most 4 GiB (about ten
// times the default, a few seconds), one lane. Unsupported otherwise.
Status checkKdfParams(const KdfParams& params);

using Salt = std::array<std::uint8_t, kSaltSize>;
using KeyCheck = std::array<std::uint8_t, kKeyCheckSize>;
using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

struct Header {
    KdfParams kdf;
    Salt salt{};          // random per file
    KeyCheck keyCheck{};  // from the file key's derivation: tells a wrong key from damage

    // The 88 header bytes: magic, version, algorithm numbers, parameters, salt, key check and
    // the header check (SHA-256 of the bytes before it, cut to 16 bytes).
    HeaderBytes write() const;
    // Reads the header from the first bytes of a file (all of it when shorter than a header).
    // NotSealed: no sealed header; Truncated: the file ends inside it; Damaged: its check
    // fails; Unsupported: a later version, an unknown algorithm or parameters out of bounds.
    static Status read(std::span<const std::uint8_t> firstBytes, Header& out);
    bool operator==(const Header&) const = default;
};

// True when firstBytes (the first kHeaderSize bytes of a file, or all of it when shorter) begin
// a sealed file: the magic, or a whole header whose only damage is in the magic. Such a file is
// never decrypted as the compatible format.
bool isSealed(std::span<const std::uint8_t> firstBytes);

// Layout.
std::uint64_t chunkCount(std::uint64_t plainSize);
std::uint64_t sealedSize(std::uint64_t plainSize);
std::uint64_t sealedOffsetOfChunk(std::uint64_t chunk);
// The plaintext size a sealed file of sealedSize bytes holds. Truncated when the file ends
// inside its header or right after a full chunk (its last chunk is missing); Damaged when the
// last piece is shorter than a tag.
Status plainSizeOf(std::uint64_t sealedSize, std::uint64_t& plainSize);

// Where a sealed stream starts. sealedOffset 0 means the start of the file, header included;
// any other position is a chunk boundary after the header.
struct ChunkPosition {
    std::uint64_t chunk = 0;
    std::uint64_t plainOffset = 0;
    std::uint64_t sealedOffset = 0;
    bool operator==(const ChunkPosition&) const = default;
};
inline constexpr ChunkPosition kStartOfFile{};

// Resuming a download that has plainBytes of plaintext written and verified: start again at
// the chunk that holds the first missing byte (the header is read separately).
ChunkPosition resumeFromPlain(std::uint64_t plainBytes);
// Resuming an upload of a plainSize-byte file of which sealedBytes are on the server: start at
// the last whole chunk boundary there (the start of the file while the header is incomplete).
// The resumed chunks must be sealed under the key of the header already sent, from the same
// plaintext: sealing other bytes under that key would reuse nonces.
ChunkPosition resumeFromSealed(std::uint64_t sealedBytes, std::uint64_t plainSize);

}  // namespace zephra::crypto::sealed
