// Sealing and opening through the streams and single chunks: round trips at every size
// boundary, any chunk at any time, and every way a sealed file can be damaged or tampered with.
#include "LiteralMachine.h"
#include "SealedTestSupport.h"
#include "crypto/sealed/ChunkCipher.h"

#include <algorithm>
#include <functional>
#include <random>

namespace zephra::crypto::sealed {
namespace {

using test::Bytes;
using test::masterKey;

constexpr std::size_t C = kChunkSize;
constexpr std::size_t S = kSealedChunkSize;
constexpr std::size_t H = kHeaderSize;

Bytes randomPlain(std::size_t n, std::uint32_t seed) { return test::bytesOf(crypto::test::randomBytes(n, seed)); }

// Feeds bytes to a stream in pieces of random sizes up to maxPiece.
template <class Fn>
void inPieces(const Bytes& data, std::size_t maxPiece, std::uint32_t seed, Fn feed)
{
    std::mt19937 rng(seed);
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 1 + rng() % maxPiece);
        feed(data.data() + at, n);
        at += n;
    }
}

TEST(SealedStream, RoundTripsAtEverySizeBoundaryInPiecesOfAnySize)
{
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, C - 1, C, C + 1, 3 * C + 7}) {
        const Bytes plain = randomPlain(n, static_cast<std::uint32_t>(n));
        const Bytes whole = test::seal(plain);
        EXPECT_EQ(whole.size(), sealedSize(n)) << n;
        EXPECT_TRUE(isSealed(whole)) << n;
        const test::Opened opened = test::open(whole);
        ASSERT_TRUE(opened.status.ok()) << n << ": " << opened.status.message;
        EXPECT_TRUE(opened.plain == plain) << n;

        Header header;
        ASSERT_TRUE(Header::read(whole, header).ok());
        std::unique_ptr<FileKey> key;
        ASSERT_TRUE(FileKey::forHeader(masterKey(), header, key).ok());
        for (std::size_t maxPiece : {std::size_t{1000}, S + 3, 3 * S}) {
            // The same key and plaintext give the same file however the bytes arrive.
            Bytes sealed;
            Sealer sealer(*key);
            inPieces(plain, maxPiece, 1, [&](const std::uint8_t* p, std::size_t k) { ASSERT_TRUE(sealer.write(p, k, sealed)); });
            ASSERT_TRUE(sealer.finish(sealed));
            EXPECT_TRUE(sealed == whole) << n << " in pieces of up to " << maxPiece;

            Bytes back;
            Opener opener(masterKey());
            inPieces(whole, maxPiece, 2, [&](const std::uint8_t* p, std::size_t k) { ASSERT_TRUE(opener.write(p, k, back).ok()); });
            ASSERT_TRUE(opener.finish(back).ok());
            EXPECT_TRUE(back == plain) << n << " in pieces of up to " << maxPiece;
        }
    }
}

TEST(SealedStream, EachFileGetsItsOwnSaltAndKey)
{
    const Bytes plain = randomPlain(1000, 3);
    const Bytes a = test::seal(plain);
    const Bytes b = test::seal(plain);
    EXPECT_FALSE(std::equal(a.begin() + 24, a.begin() + 56, b.begin() + 24));  // the salts
    EXPECT_FALSE(std::equal(a.begin() + H, a.end(), b.begin() + H));           // so every byte differs
}

TEST(SealedStream, AnyChunkAtAnyTimeEqualsTheSequentialFile)
{
    const std::size_t n = 5 * C + 1234;
    const Bytes plain = randomPlain(n, 4);
    std::unique_ptr<FileKey> key;
    ASSERT_TRUE(FileKey::create(masterKey(), key).ok());
    const Bytes whole = test::seal(*key, plain);
    const std::uint64_t chunks = chunkCount(n);

    std::vector<std::uint64_t> order(chunks);
    for (std::uint64_t i = 0; i < chunks; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    ChunkSealer sealer(*key);
    ChunkOpener opener(*key);
    for (std::uint64_t i : order) {
        const bool last = i == chunks - 1;
        const std::size_t len = last ? n - i * C : C;
        Bytes sealed(len + kTagSize);
        ASSERT_TRUE(sealer.seal(i, last, &plain[i * C], len, sealed.data()));
        EXPECT_TRUE(std::equal(sealed.begin(), sealed.end(), whole.begin() + static_cast<std::ptrdiff_t>(sealedOffsetOfChunk(i))))
            << "chunk " << i;
        Bytes back(len);
        ASSERT_TRUE(opener.open(i, last, sealed.data(), sealed.size(), back.data())) << "chunk " << i;
        EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin() + static_cast<std::ptrdiff_t>(i * C))) << "chunk " << i;
    }
}

TEST(SealedStream, ResumingInsideAndBetweenChunksGivesTheSameBytes)
{
    const std::size_t n = 4 * C + 999;
    const Bytes plain = randomPlain(n, 6);
    std::unique_ptr<FileKey> key;
    ASSERT_TRUE(FileKey::create(masterKey(), key).ok());
    const Bytes whole = test::seal(*key, plain);
    const std::uint64_t cuts[] = {0, 10, H - 1, H, H + 1, H + S - 1, H + S, H + 2 * S + 77, whole.size() - 1, whole.size()};
    for (std::uint64_t cut : cuts) {
        // An upload cut after `cut` sealed bytes goes on from a chunk boundary at or before it.
        const ChunkPosition from = resumeFromSealed(cut, n);
        ASSERT_LE(from.sealedOffset, cut);
        Bytes rest;
        Sealer sealer(*key, from);
        ASSERT_TRUE(sealer.write(&plain[from.plainOffset], n - from.plainOffset, rest));
        ASSERT_TRUE(sealer.finish(rest));
        Bytes joined(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(from.sealedOffset));
        joined.insert(joined.end(), rest.begin(), rest.end());
        EXPECT_TRUE(joined == whole) << "upload cut at " << cut;
    }
    for (std::uint64_t have : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{C}, std::uint64_t{2 * C + 5}, std::uint64_t{n}}) {
        // A download holding `have` verified plaintext bytes fetches from the chunk that holds the next.
        const ChunkPosition from = resumeFromPlain(have);
        Bytes back;
        Opener opener(*key, from);
        ASSERT_TRUE(opener.write(&whole[from.sealedOffset], whole.size() - from.sealedOffset, back).ok());
        ASSERT_TRUE(opener.finish(back).ok());
        EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin() + static_cast<std::ptrdiff_t>(from.plainOffset)) &&
                    back.size() == n - from.plainOffset)
            << "download resumed with " << have;
    }
    // Resuming from the very start carries the header, which must be this file's.
    Bytes back;
    Opener opener(*key, kStartOfFile);
    ASSERT_TRUE(opener.write(whole.data(), whole.size(), back).ok());
    ASSERT_TRUE(opener.finish(back).ok());
    EXPECT_TRUE(back == plain);
    const Bytes other = test::seal(plain);
    Opener wrongFile(*key, kStartOfFile);
    EXPECT_EQ(wrongFile.write(other.data(), other.size(), back).kind, ErrorKind::Damaged);
}

struct Attack {
    std::string name;
    std::function<Bytes(const Bytes& file)> apply;
    ErrorKind kind;
};

Bytes cut(const Bytes& f, std::size_t n) { return Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n)); }

Bytes chunkAt(const Bytes& f, std::size_t i)
{
    const auto from = f.begin() + static_cast<std::ptrdiff_t>(H + i * S);
    return Bytes(from, std::min(f.end(), from + static_cast<std::ptrdiff_t>(S)));
}

Bytes withChunks(const Bytes& f, std::initializer_list<std::size_t> order)
{
    Bytes out(f.begin(), f.begin() + H);
    for (std::size_t i : order) {
        const Bytes c = chunkAt(f, i);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

TEST(SealedStream, DamageTruncationReorderingAndAdditionsAreAllDetected)
{
    const std::size_t n = 3 * C + 500;  // chunks 0, 1, 2 full; chunk 3 holds 500 bytes
    const Bytes plain = randomPlain(n, 8);
    const Bytes file = test::seal(plain);
    const Bytes otherFile = test::seal(plain);  // same key, another salt
    const std::size_t end = file.size();
    std::vector<Attack> attacks = {
        {"cut inside the magic", [](const Bytes& f) { return cut(f, 5); }, ErrorKind::NotSealed},
        {"cut inside the header", [](const Bytes& f) { return cut(f, H - 1); }, ErrorKind::Truncated},
        {"cut inside chunk 1", [](const Bytes& f) { return cut(f, H + S + 1000); }, ErrorKind::Damaged},
        {"cut inside the last chunk", [&](const Bytes& f) { return cut(f, end - 1); }, ErrorKind::Damaged},
        {"last chunk shorter than a tag", [](const Bytes& f) { return cut(f, H + 3 * S + 10); }, ErrorKind::Damaged},
        {"chunk 1 dropped", [](const Bytes& f) { return withChunks(f, {0, 2, 3}); }, ErrorKind::Damaged},
        {"last chunk dropped", [](const Bytes& f) { return withChunks(f, {0, 1, 2}); }, ErrorKind::Truncated},
        {"chunks 0 and 1 swapped", [](const Bytes& f) { return withChunks(f, {1, 0, 2, 3}); }, ErrorKind::Damaged},
        {"chunks 1 and 2 swapped", [](const Bytes& f) { return withChunks(f, {0, 2, 1, 3}); }, ErrorKind::Damaged},
        {"chunk 2 repeated", [](const Bytes& f) { return withChunks(f, {0, 1, 2, 2, 3}); }, ErrorKind::Damaged},
        {"one byte appended", [](Bytes f) { f.push_back(0); return f; }, ErrorKind::Damaged},
        {"a tag's worth appended", [](Bytes f) { f.insert(f.end(), kTagSize, 0x55); return f; }, ErrorKind::Damaged},
        {"a full chunk's worth appended", [](Bytes f) { f.insert(f.end(), S, 0x55); return f; }, ErrorKind::Damaged},
        {"the last chunk appended again", [](const Bytes& f) { return withChunks(f, {0, 1, 2, 3, 3}); }, ErrorKind::Damaged},
        {"chunk 1 from another file", [&](const Bytes& f) {
             Bytes g = f;
             std::copy_n(otherFile.begin() + H + S, S, g.begin() + H + S);
             return g;
         }, ErrorKind::Damaged},
        {"the header of another file", [&](const Bytes& f) {
             Bytes g = f;
             std::copy_n(otherFile.begin(), H, g.begin());
             return g;
         }, ErrorKind::Damaged},
    };
    for (std::size_t i = 0; i <= 3; ++i)
        attacks.push_back({"cut at chunk boundary " + std::to_string(i), [i](const Bytes& f) { return cut(f, H + i * S); },
                           ErrorKind::Truncated});
    for (const Attack& a : attacks) {
        const test::Opened r = test::open(a.apply(file));
        EXPECT_EQ(r.status.kind, a.kind) << a.name << ": " << r.status.message;
        EXPECT_FALSE(r.status.message.empty()) << a.name;
        // Whatever was handed out before the failure is authentic plaintext, never garbage.
        EXPECT_TRUE(r.plain.size() < n && std::equal(r.plain.begin(), r.plain.end(), plain.begin())) << a.name;
    }
}

TEST(SealedStream, EveryBitFlipInTheHeaderAndInASmallBodyFails)
{
    const Bytes plain = randomPlain(100, 9);
    const Bytes file = test::seal(plain);
    for (std::size_t bit = 0; bit < file.size() * 8; ++bit) {
        Bytes f = file;
        f[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        const test::Opened r = test::open(f);
        EXPECT_EQ(r.status.kind, ErrorKind::Damaged) << "bit " << bit << ": " << r.status.message;
        EXPECT_TRUE(r.plain.empty()) << "bit " << bit;
    }
}

TEST(SealedStream, WrongKeysAndFilesOfTheOtherFormatAreToldApart)
{
    const Bytes plain = randomPlain(2 * C + 3, 10);
    const Bytes file = test::seal(plain);

    test::Opened r = test::open(file, masterKey("987654321"));
    EXPECT_EQ(r.status.kind, ErrorKind::WrongKey);
    EXPECT_EQ(r.status.message, "This file was sealed with another key.");
    EXPECT_TRUE(r.plain.empty());

    // Same key text, other Argon2id costs: the caller must derive the key the header names.
    r = test::open(file, masterKey("123456789", {2, 1024, 1}));
    EXPECT_EQ(r.status.kind, ErrorKind::KeyParameters);

    // A rotor-format file has no header: the sealed reader refuses it.
    literal::Keyspace ks;
    ASSERT_TRUE(literal::createKeyspace("123456789", ks));
    const std::string rotor = literal::encrypt(ks, crypto::test::randomBytes(5000, 11));
    r = test::open(test::bytesOf(rotor));
    EXPECT_EQ(r.status.kind, ErrorKind::NotSealed);
    EXPECT_FALSE(isSealed(test::bytesOf(rotor.substr(0, H))));
    r = test::open({});
    EXPECT_EQ(r.status.kind, ErrorKind::NotSealed);
}

TEST(SealedStream, NothingIsTakenAfterTheEndOrAfterAFailure)
{
    const Bytes file = test::seal(randomPlain(10, 12));
    Bytes out;
    Opener opener(masterKey());
    ASSERT_TRUE(opener.write(file.data(), file.size(), out).ok());
    ASSERT_TRUE(opener.finish(out).ok());
    EXPECT_FALSE(opener.write(file.data(), 1, out).ok());
    EXPECT_FALSE(opener.finish(out).ok());

    Bytes bad = file;
    bad[H] ^= 1;
    Opener failed(masterKey());
    ASSERT_TRUE(failed.write(bad.data(), bad.size(), out).ok());  // the last chunk opens at finish()
    EXPECT_EQ(failed.finish(out).kind, ErrorKind::Damaged);
    EXPECT_EQ(failed.write(file.data(), 1, out).kind, ErrorKind::Damaged);
}

}  // namespace
}  // namespace zephra::crypto::sealed
