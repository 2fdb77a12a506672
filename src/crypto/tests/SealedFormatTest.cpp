// The sealed format without keys: the header's bytes, its checks, detection, the chunk layout
// and resume positions.
#include "SealedTestSupport.h"
#include "crypto/sealed/SealedFormat.h"

#include <openssl/evp.h>

namespace zephra::crypto::sealed {
namespace {

using test::Bytes;

Bytes fromHex(const std::string& hex)
{
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

Header sampleHeader()
{
    Header h;
    h.kdf = {3, 65536, 1};
    for (std::size_t i = 0; i < h.salt.size(); ++i)
        h.salt[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 0; i < h.keyCheck.size(); ++i)
        h.keyCheck[i] = static_cast<std::uint8_t>(0xa0 + i);
    return h;
}

// Rewrites the header check after a field was changed, as a writer of that header would.
void recheck(Bytes& h)
{
    std::uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ASSERT_EQ(EVP_Digest(h.data(), 72, md, &len, EVP_sha256(), nullptr), 1);
    std::copy_n(md, 16, h.begin() + 72);
}

TEST(SealedHeader, GoldenBytesWrittenByHand)
{
    // magic, version 1, AES-256-GCM, Argon2id, 2^16; t=3, m=65536 KiB, p=1 (big-endian);
    // salt 00..1f; key check a0..af; SHA-256 of the 72 bytes before, first 16 bytes.
    const Bytes expected = fromHex(
        "895a53460d0a1a0a" "01010110" "00000003" "00010000" "00000001"
        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
        "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
        "794881519459f2652100809220976e9c");
    ASSERT_EQ(expected.size(), kHeaderSize);
    const HeaderBytes written = sampleHeader().write();
    EXPECT_EQ(Bytes(written.begin(), written.end()), expected);
    Header back;
    ASSERT_TRUE(Header::read(expected, back).ok());
    EXPECT_EQ(back, sampleHeader());
}

TEST(SealedHeader, EverySingleBitFlipIsDamageAndStillCountsAsSealed)
{
    const HeaderBytes good = sampleHeader().write();
    for (std::size_t bit = 0; bit < kHeaderSize * 8; ++bit) {
        Bytes h(good.begin(), good.end());
        h[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        Header ignored;
        const Status s = Header::read(h, ignored);
        EXPECT_EQ(s.kind, ErrorKind::Damaged) << "bit " << bit << ": " << s.message;
        // A damaged magic must not send the file to the compatible format's decryption.
        EXPECT_TRUE(isSealed(h)) << "bit " << bit;
    }
}

TEST(SealedHeader, LaterVersionsUnknownAlgorithmsAndCostlyParametersAreUnsupported)
{
    struct Row {
        const char* name;
        std::size_t at;
        std::uint8_t value;
        const char* inMessage;
    };
    const Row rows[] = {
        {"format version 2", 8, 2, "format version 2"},
        {"format version 255", 8, 255, "format version 255"},
        {"another AEAD", 9, 2, "does not know"},
        {"another KDF", 10, 2, "does not know"},
        {"128 KiB chunks", 11, 17, "does not know"},
        {"33 iterations", 15, 33, "33 iterations"},
        {"no iterations", 15, 0, "0 iterations"},
        {"4 GiB of memory", 16, 0x40, "KiB"},
        {"two lanes", 23, 2, "2 lanes"},
    };
    const HeaderBytes good = sampleHeader().write();
    for (const Row& r : rows) {
        Bytes h(good.begin(), good.end());
        h[r.at] = r.value;
        recheck(h);
        Header ignored;
        const Status s = Header::read(h, ignored);
        EXPECT_EQ(s.kind, ErrorKind::Unsupported) << r.name << ": " << s.message;
        EXPECT_NE(s.message.find(r.inMessage), std::string::npos) << r.name << ": " << s.message;
    }
}

TEST(SealedHeader, DetectionTellsSealedFromEverythingElse)
{
    const HeaderBytes header = sampleHeader().write();
    const Bytes whole(header.begin(), header.end());
    Bytes magicGone = whole;
    magicGone[1] = 'X';
    magicGone[6] = 'Y';  // damage confined to the magic is recognised by the header check
    Bytes magicAndSaltGone = magicGone;
    magicAndSaltGone[30] ^= 1;  // beyond that, nothing says it was ever a sealed file
    struct Row {
        const char* name;
        Bytes first;
        bool sealed;
        ErrorKind readKind;
    };
    const Row rows[] = {
        {"empty file", {}, false, ErrorKind::NotSealed},
        {"text", test::bytesOf("hello, world\n"), false, ErrorKind::NotSealed},
        {"random bytes (a rotor file)", test::bytesOf(crypto::test::randomBytes(kHeaderSize, 7)), false, ErrorKind::NotSealed},
        {"part of the magic", Bytes(kMagic.begin(), kMagic.begin() + 5), false, ErrorKind::NotSealed},
        {"the magic alone", Bytes(kMagic.begin(), kMagic.end()), true, ErrorKind::Truncated},
        {"header less one byte", Bytes(whole.begin(), whole.end() - 1), true, ErrorKind::Truncated},
        {"whole header", whole, true, ErrorKind::None},
        {"two magic bytes changed", magicGone, true, ErrorKind::Damaged},
        {"magic and salt changed", magicAndSaltGone, false, ErrorKind::NotSealed},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(isSealed(r.first), r.sealed) << r.name;
        Header ignored;
        EXPECT_EQ(Header::read(r.first, ignored).kind, r.readKind) << r.name;
    }
}

TEST(SealedHeader, KdfParameterBounds)
{
    struct Row {
        KdfParams params;
        bool accepted;
    };
    const Row rows[] = {
        {{1, 1024, 1}, true},       {{4, 1u << 20, 1}, true},  {{32, 131072, 1}, true},
        {{3, 65536, 1}, true},      {{5, 1u << 20, 1}, false}, {{32, 131073, 1}, false},
        {{0, 65536, 1}, false},     {{33, 65536, 1}, false},   {{3, 1023, 1}, false},
        {{3, (1u << 20) + 1, 1}, false}, {{3, 65536, 0}, false}, {{3, 65536, 4}, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(checkKdfParams(r.params).ok(), r.accepted) << r.params.iterations << "/" << r.params.memoryKiB;
        if (!r.accepted) {
            std::unique_ptr<MasterKey> key;
            EXPECT_EQ(MasterKey::derive("123", r.params, key).kind, ErrorKind::Unsupported);
            EXPECT_FALSE(key);
        }
    }
}

TEST(SealedLayout, SizesAtTheChunkBoundaries)
{
    constexpr std::uint64_t C = kChunkSize;
    struct Row {
        std::uint64_t plain, chunks, sealed;
    };
    const Row rows[] = {
        {0, 1, 88 + 16},
        {1, 1, 88 + 1 + 16},
        {C - 1, 1, 88 + C - 1 + 16},
        {C, 2, 88 + C + 32},  // a full chunk is never the last: an empty one follows
        {C + 1, 2, 88 + C + 1 + 32},
        {3 * C + 5, 4, 88 + 3 * C + 5 + 64},
        {std::uint64_t{1} << 40, (std::uint64_t{1} << 24) + 1, 88 + (std::uint64_t{1} << 40) + 16 * ((std::uint64_t{1} << 24) + 1)},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(chunkCount(r.plain), r.chunks) << r.plain;
        EXPECT_EQ(sealedSize(r.plain), r.sealed) << r.plain;
        std::uint64_t back = 0;
        ASSERT_TRUE(plainSizeOf(r.sealed, back).ok()) << r.plain;
        EXPECT_EQ(back, r.plain);
    }
}

TEST(SealedLayout, SizesNoCompleteFileHas)
{
    struct Row {
        std::uint64_t sealed;
        ErrorKind kind;
    };
    const Row rows[] = {
        {0, ErrorKind::Truncated},
        {kHeaderSize - 1, ErrorKind::Truncated},
        {kHeaderSize, ErrorKind::Truncated},                           // no chunk at all
        {kHeaderSize + kSealedChunkSize, ErrorKind::Truncated},        // the last chunk is missing
        {kHeaderSize + 3 * kSealedChunkSize, ErrorKind::Truncated},
        {kHeaderSize + 15, ErrorKind::Damaged},                        // shorter than a tag
        {kHeaderSize + 2 * kSealedChunkSize + 1, ErrorKind::Damaged},
    };
    for (const Row& r : rows) {
        std::uint64_t plain = 0;
        EXPECT_EQ(plainSizeOf(r.sealed, plain).kind, r.kind) << r.sealed;
    }
}

TEST(SealedLayout, ResumePositionsAreChunkAligned)
{
    constexpr std::uint64_t C = kChunkSize;
    constexpr std::uint64_t S = kSealedChunkSize;
    constexpr std::uint64_t H = kHeaderSize;
    // Downloads: the chunk holding the first missing plaintext byte.
    EXPECT_EQ(resumeFromPlain(0), (ChunkPosition{0, 0, H}));
    EXPECT_EQ(resumeFromPlain(C - 1), (ChunkPosition{0, 0, H}));
    EXPECT_EQ(resumeFromPlain(C), (ChunkPosition{1, C, H + S}));
    EXPECT_EQ(resumeFromPlain(5 * C + 7), (ChunkPosition{5, 5 * C, H + 5 * S}));
    // Uploads: the last whole chunk boundary on the server, never past the file's last chunk.
    const std::uint64_t plain = 3 * C + 10;  // chunks 0..3
    EXPECT_EQ(resumeFromSealed(0, plain), kStartOfFile);
    EXPECT_EQ(resumeFromSealed(H - 1, plain), kStartOfFile);
    EXPECT_EQ(resumeFromSealed(H, plain), (ChunkPosition{0, 0, H}));
    EXPECT_EQ(resumeFromSealed(H + S - 1, plain), (ChunkPosition{0, 0, H}));
    EXPECT_EQ(resumeFromSealed(H + 2 * S + 100, plain), (ChunkPosition{2, 2 * C, H + 2 * S}));
    EXPECT_EQ(resumeFromSealed(sealedSize(plain), plain), (ChunkPosition{3, 3 * C, H + 3 * S}));
    EXPECT_EQ(resumeFromSealed(H + 9 * S, plain), (ChunkPosition{3, 3 * C, H + 3 * S}));
    // A file of whole chunks ends with an empty chunk, which is where a complete upload resumes.
    EXPECT_EQ(resumeFromSealed(sealedSize(2 * C), 2 * C), (ChunkPosition{2, 2 * C, H + 2 * S}));
}

}  // namespace
}  // namespace zephra::crypto::sealed
