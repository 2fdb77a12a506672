#include "crypto/sealed/SealedFormat.h"

#include "crypto/sealed/SealedMessages.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace zephra::crypto::sealed {

namespace {

// Field offsets of version 1.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kAeadAt = 9;
constexpr std::size_t kKdfAt = 10;
constexpr std::size_t kChunkLog2At = 11;
constexpr std::size_t kIterationsAt = 12;
constexpr std::size_t kMemoryAt = 16;
constexpr std::size_t kLanesAt = 20;
constexpr std::size_t kSaltAt = 24;
constexpr std::size_t kKeyCheckAt = kSaltAt + kSaltSize;             // 56
constexpr std::size_t kHeaderCheckAt = kKeyCheckAt + kKeyCheckSize;  // 72
static_assert(kHeaderCheckAt + kHeaderCheckSize == kHeaderSize);

void putU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t getU32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}

using HeaderCheck = std::array<std::uint8_t, kHeaderCheckSize>;

// SHA-256 of the header bytes before the check, cut to 16 bytes.
HeaderCheck headerCheckOf(const std::uint8_t* header)
{
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> md{};
    unsigned int len = 0;
    HeaderCheck check{};
    if (EVP_Digest(header, kHeaderCheckAt, md.data(), &len, EVP_sha256(), nullptr) == 1 && len >= check.size())
        std::copy_n(md.begin(), check.size(), check.begin());
    return check;
}

bool headerCheckHolds(const std::uint8_t* header)
{
    const HeaderCheck check = headerCheckOf(header);
    return std::equal(check.begin(), check.end(), header + kHeaderCheckAt);
}

// Whether the header check holds once the byte range [at, at + with.size()) reads `with`:
// damage confined to those bytes, as opposed to a file that never had this header.
bool holdsWith(std::span<const std::uint8_t> bytes, std::size_t at, std::span<const std::uint8_t> with)
{
    HeaderBytes copy{};
    std::copy_n(bytes.begin(), kHeaderSize, copy.begin());
    std::copy(with.begin(), with.end(), copy.begin() + static_cast<std::ptrdiff_t>(at));
    return headerCheckHolds(copy.data());
}

bool startsWithMagic(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
}

}  // namespace

Status checkKdfParams(const KdfParams& p)
{
    const std::uint64_t work = std::uint64_t{p.iterations} * p.memoryKiB;
    if (p.iterations < 1 || p.iterations > 32 || p.memoryKiB < 1024 || p.memoryKiB > (1u << 20) || p.lanes != 1 ||
        work > (std::uint64_t{4} << 20))
        return Status::failure(ErrorKind::Unsupported, message::kdfRefused(p.iterations, p.memoryKiB, p.lanes));
    return Status::success();
}

HeaderBytes Header::write() const
{
    HeaderBytes h{};
    std::copy(kMagic.begin(), kMagic.end(), h.begin());
    h[kVersionAt] = kVersion;
    h[kAeadAt] = kAeadAes256Gcm;
    h[kKdfAt] = kKdfArgon2id;
    h[kChunkLog2At] = kChunkSizeLog2;
    putU32(&h[kIterationsAt], kdf.iterations);
    putU32(&h[kMemoryAt], kdf.memoryKiB);
    putU32(&h[kLanesAt], kdf.lanes);
    std::copy(salt.begin(), salt.end(), h.begin() + kSaltAt);
    std::copy(keyCheck.begin(), keyCheck.end(), h.begin() + kKeyCheckAt);
    const HeaderCheck check = headerCheckOf(h.data());
    std::copy(check.begin(), check.end(), h.begin() + kHeaderCheckAt);
    return h;
}

Status Header::read(std::span<const std::uint8_t> bytes, Header& out)
{
    if (!startsWithMagic(bytes)) {
        if (isSealed(bytes))
            return Status::failure(ErrorKind::Damaged, message::headerDamaged());
        return Status::failure(ErrorKind::NotSealed, message::notSealed());
    }
    if (bytes.size() < kHeaderSize)
        return Status::failure(ErrorKind::Truncated, message::headerTruncated());
    const std::uint8_t version = bytes[kVersionAt];
    if (version != kVersion) {
        // A version-1 header with a damaged version byte still passes its check once the byte
        // is restored; a later version's header does not.
        const std::array<std::uint8_t, 1> v1{kVersion};
        if (holdsWith(bytes, kVersionAt, v1))
            return Status::failure(ErrorKind::Damaged, message::headerDamaged());
        return Status::failure(ErrorKind::Unsupported, message::laterVersion(version));
    }
    if (!headerCheckHolds(bytes.data()))
        return Status::failure(ErrorKind::Damaged, message::headerDamaged());
    if (bytes[kAeadAt] != kAeadAes256Gcm || bytes[kKdfAt] != kKdfArgon2id || bytes[kChunkLog2At] != kChunkSizeLog2)
        return Status::failure(ErrorKind::Unsupported, message::unknownAlgorithm());
    Header h;
    h.kdf.iterations = getU32(&bytes[kIterationsAt]);
    h.kdf.memoryKiB = getU32(&bytes[kMemoryAt]);
    h.kdf.lanes = getU32(&bytes[kLanesAt]);
    if (Status s = checkKdfParams(h.kdf); !s.ok())
        return s;
    std::copy_n(bytes.begin() + kSaltAt, kSaltSize, h.salt.begin());
    std::copy_n(bytes.begin() + kKeyCheckAt, kKeyCheckSize, h.keyCheck.begin());
    out = h;
    return Status::success();
}

bool isSealed(std::span<const std::uint8_t> bytes)
{
    if (startsWithMagic(bytes))
        return true;
    return bytes.size() >= kHeaderSize && holdsWith(bytes, 0, kMagic);
}

std::uint64_t chunkCount(std::uint64_t plainSize) { return plainSize / kChunkSize + 1; }

std::uint64_t sealedSize(std::uint64_t plainSize) { return kHeaderSize + plainSize + chunkCount(plainSize) * kTagSize; }

std::uint64_t sealedOffsetOfChunk(std::uint64_t chunk) { return kHeaderSize + chunk * kSealedChunkSize; }

Status plainSizeOf(std::uint64_t size, std::uint64_t& plainSize)
{
    if (size < kHeaderSize)
        return Status::failure(ErrorKind::Truncated, message::headerTruncated());
    const std::uint64_t body = size - kHeaderSize;
    const std::uint64_t fullChunks = body / kSealedChunkSize;
    const std::uint64_t last = body % kSealedChunkSize;
    if (last == 0)
        return Status::failure(ErrorKind::Truncated, message::lastChunkMissing());
    if (last < kTagSize)
        return Status::failure(ErrorKind::Damaged, message::chunkFails(sealedOffsetOfChunk(fullChunks)));
    plainSize = fullChunks * kChunkSize + (last - kTagSize);
    return Status::success();
}

ChunkPosition resumeFromPlain(std::uint64_t plainBytes)
{
    const std::uint64_t chunk = plainBytes / kChunkSize;
    return {chunk, chunk * kChunkSize, sealedOffsetOfChunk(chunk)};
}

ChunkPosition resumeFromSealed(std::uint64_t sealedBytes, std::uint64_t plainSize)
{
    if (sealedBytes < kHeaderSize)
        return kStartOfFile;
    const std::uint64_t chunk = std::min((sealedBytes - kHeaderSize) / kSealedChunkSize, chunkCount(plainSize) - 1);
    return {chunk, chunk * kChunkSize, sealedOffsetOfChunk(chunk)};
}

}  // namespace zephra::crypto::sealed
