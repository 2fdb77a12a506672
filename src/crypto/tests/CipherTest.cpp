// The fast machine, every kernel, against the literal implementation and against itself.
#include "LiteralMachine.h"
#include "TestSupport.h"
#include "crypto/Engine.h"
#include "crypto/Keyspace.h"
#include "crypto/Machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <numeric>

#ifndef ZEPHRA_CRYPTO_TESTDATA
#error "ZEPHRA_CRYPTO_TESTDATA must name the known-answer directory"
#endif

namespace zephra::crypto {
namespace {

using test::randomBytes;
using test::readFile;
using test::TempDir;
using test::u8;

struct Loaded {
    TempDir dir;
    Engine engine{dir.path()};
    literal::Keyspace lit;
    std::uint64_t cycle = 0;

    explicit Loaded(const std::string& key)
    {
        EXPECT_TRUE(engine.createKeyspace(key).ok());
        EXPECT_TRUE(literal::createKeyspace(key, lit));
        for (int k = 1; k <= 200; ++k)
            cycle += static_cast<std::uint64_t>(lit.periodTable[k]);
    }
    std::unique_ptr<Cipher> cipher(const std::string& kernel) const
    {
        std::unique_ptr<Cipher> c;
        const Status s = engine.loadCipher(c, kernel);
        EXPECT_TRUE(s.ok()) << s.message;
        return c;
    }
};

std::string run(const Cipher& c, Direction dir, std::uint64_t position, const std::string& in)
{
    std::string out(in.size(), '\0');
    c.process(dir, position, u8(in), u8(out), in.size());
    return out;
}

TEST(Kernels, ScalarIsAlwaysThereAndForcingWorks)
{
    const auto names = Engine::kernelNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "scalar");
    Loaded k("123456789");
    for (const std::string& name : names)
        EXPECT_EQ(k.cipher(name)->kernelName(), name);
    std::unique_ptr<Cipher> c;
    EXPECT_FALSE(k.engine.loadCipher(c, "no-such-kernel").ok());
    ::setenv("ZEPHRA_CIPHER_KERNEL", "scalar", 1);
    ASSERT_TRUE(k.engine.loadCipher(c).ok());
    ::unsetenv("ZEPHRA_CIPHER_KERNEL");
    EXPECT_EQ(c->kernelName(), "scalar");
}

TEST(Kernels, EveryKernelMatchesTheLiteralMachine)
{
    for (const char* key : {"123456789", "7", "314159265358979", "10", "86420864208642086"}) {
        Loaded k(key);
        const std::vector<std::size_t> lengths = {0, 1, 2, 9, 10, 17, 999, 1000, 1001, 2500, 3000, 4000,
                                                  static_cast<std::size_t>(2 * k.cycle + 777),
                                                  static_cast<std::size_t>(key[0] == '1' ? 9 * k.cycle + 123 : 0)};  // wide SIMD path
        const std::string plain = randomBytes(*std::max_element(lengths.begin(), lengths.end()), 11);
        const std::string literalCipher = literal::encrypt(k.lit, plain);
        ASSERT_TRUE(literal::decrypt(k.lit, literalCipher.substr(0, 3000)) == plain.substr(0, 3000));
        for (const std::string& name : Engine::kernelNames()) {
            const auto c = k.cipher(name);
            for (std::size_t n : lengths) {
                const std::string p = plain.substr(0, n);
                const std::string e = run(*c, Direction::Encrypt, 0, p);
                ASSERT_TRUE(e == literalCipher.substr(0, n)) << key << " " << name << " length " << n;
                ASSERT_TRUE(run(*c, Direction::Decrypt, 0, e) == p) << key << " " << name << " length " << n;
            }
        }
    }
}

TEST(Kernels, RandomChunksInPlaceAtTheirPositionsEqualOneShot)
{
    Loaded k("123456789");
    const std::string plain = randomBytes(static_cast<std::size_t>(40 * k.cycle + 4321), 3);
    const std::string whole = run(*k.cipher("scalar"), Direction::Encrypt, 0, plain);
    std::mt19937 rng(5);
    for (const std::string& name : Engine::kernelNames()) {
        const auto c = k.cipher(name);
        EXPECT_TRUE(run(*c, Direction::Encrypt, 0, plain) == whole) << name;
        // In place, in chunks: mostly small, some long enough for the wide path.
        std::string chunked = plain;
        for (std::size_t at = 0; at < plain.size();) {
            const std::size_t n = std::min<std::size_t>(plain.size() - at, rng() % 8 == 0 ? rng() % (20 * k.cycle) : rng() % 5000);
            c->process(Direction::Encrypt, at, u8(chunked) + at, u8(chunked) + at, n);
            at += n;
        }
        EXPECT_TRUE(chunked == whole) << name;
        std::string back = whole;
        for (std::size_t at = 0; at < plain.size();) {
            const std::size_t n = std::min<std::size_t>(plain.size() - at, 1 + rng() % (12 * k.cycle));
            c->process(Direction::Decrypt, at, u8(back) + at, u8(back) + at, n);
            at += n;
        }
        EXPECT_TRUE(back == plain) << name;
    }
}

TEST(Kernels, FarPositionsAgreeWithSequentialProcessing)
{
    // Past 256 cycles every rotor offset has wrapped; the position arithmetic must still hold.
    Loaded k("5");
    const std::size_t n = static_cast<std::size_t>(300 * k.cycle + 999);
    const std::string plain = randomBytes(n, 9);
    std::string whole(n, '\0');
    // One byte at a time through the scalar kernel never jumps: it walks period by period.
    const auto scalar = k.cipher("scalar");
    for (std::size_t at = 0; at < n;) {
        const std::size_t len = std::min<std::size_t>(n - at, 37);
        scalar->process(Direction::Encrypt, at, u8(plain) + at, u8(whole) + at, len);
        at += len;
    }
    for (const std::string& name : Engine::kernelNames()) {
        const auto c = k.cipher(name);
        for (std::uint64_t pos : {std::uint64_t{0}, k.cycle, 256 * k.cycle + 5, 257 * k.cycle - 1, 299 * k.cycle + 17}) {
            const std::size_t len = std::min<std::size_t>(n - pos, 20 * k.cycle + 3);
            ASSERT_TRUE(run(*c, Direction::Encrypt, pos, plain.substr(pos, len)) == whole.substr(pos, len)) << name << " at " << pos;
        }
    }
}

TEST(Kernels, ScalarLanesAMachinePeriodApartMatchSequentialProcessing)
{
    // Key 7 repeats its whole machine state every 16 cycles, so eight such periods are small.
    Loaded k("7");
    std::array<int, kRotorCount> steps{};
    const Keyspace ks = deriveKeyspace("7");
    for (std::size_t i = 0; i < kRotorCount; ++i)
        steps[i] = ks.steps[i];
    const Machine m = Machine::build(ks.rotors, ks.directions, steps, ks.periodTable);
    ASSERT_EQ(m.machinePeriod, 16 * k.cycle);
    const std::size_t n = static_cast<std::size_t>(8 * m.machinePeriod + 999);
    const std::string plain = randomBytes(n, 12);
    const auto scalar = k.cipher("scalar");
    for (Direction dir : {Direction::Encrypt, Direction::Decrypt}) {
        const std::string whole = run(*scalar, dir, 777, plain);
        std::string pieces(n, '\0');
        for (std::size_t at = 0; at < n; at += 50000)
            scalar->process(dir, 777 + at, test::u8(plain) + at, test::u8(pieces) + at, std::min<std::size_t>(50000, n - at));
        EXPECT_TRUE(whole == pieces);
        for (const std::string& name : Engine::kernelNames())
            EXPECT_TRUE(run(*k.cipher(name), dir, 777, plain) == whole) << name;
    }
}

TEST(KnownAnswer, CheckedInFilesStillMatch)
{
    // The files in data/ were produced by the literal implementation (LiteralMachine.cpp) for
    // key 123456789; they catch drift of the working-file formats and of the ciphertext.
    const std::filesystem::path data = ZEPHRA_CRYPTO_TESTDATA;
    TempDir dir;
    Engine engine(dir.path());
    ASSERT_TRUE(engine.createKeyspace("123456789").ok());
    for (const char* name : {"k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat"}) {
        const std::string expected = readFile(data / name);
        ASSERT_FALSE(expected.empty()) << name;
        EXPECT_TRUE(readFile(dir / name) == expected) << name;
    }
    const std::string plain = readFile(data / "plain.bin");
    const std::string cipher = readFile(data / "cipher.bin");
    ASSERT_EQ(plain.size(), 2500u);
    for (const std::string& name : Engine::kernelNames()) {
        std::unique_ptr<Cipher> c;
        ASSERT_TRUE(engine.loadCipher(c, name).ok());
        EXPECT_TRUE(run(*c, Direction::Encrypt, 0, plain) == cipher) << name;
        EXPECT_TRUE(run(*c, Direction::Decrypt, 0, cipher) == plain) << name;
        // The same cipher built in memory alone, without the working files.
        std::unique_ptr<Cipher> inMemory;
        ASSERT_TRUE(Engine::makeCipher("123456789", inMemory, name).ok());
        EXPECT_TRUE(run(*inMemory, Direction::Encrypt, 0, plain) == cipher) << name;
        EXPECT_TRUE(run(*inMemory, Direction::Decrypt, 0, cipher) == plain) << name;
    }
}

TEST(KnownAnswer, InMemoryCipherMatchesTheLiteralMachineAndRefusesBadKeys)
{
    for (const std::string key : {"7", "123456789", "987654321987654321", "739215486127394851"}) {
        literal::Keyspace lit;
        ASSERT_TRUE(literal::createKeyspace(key, lit)) << key;
        const std::string plain = randomBytes(9000, 11);
        std::unique_ptr<Cipher> c;
        ASSERT_TRUE(Engine::makeCipher(key, c).ok()) << key;
        EXPECT_TRUE(run(*c, Direction::Encrypt, 0, plain) == literal::encrypt(lit, plain)) << key;
    }
    for (const std::string key : {"", "12a4", "0012345"}) {
        std::unique_ptr<Cipher> c;
        EXPECT_EQ(Engine::makeCipher(key, c).kind, ErrorKind::InvalidKey) << key;
        EXPECT_EQ(c, nullptr);
    }
}

// Regenerates data/ from the literal implementation:
//   crypto_cipher_test --gtest_also_run_disabled_tests --gtest_filter=*WriteKnownAnswers
TEST(KnownAnswer, DISABLED_WriteKnownAnswers)
{
    const std::filesystem::path data = ZEPHRA_CRYPTO_TESTDATA;
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    for (const auto& [name, bytes] : lit.files)
        test::writeFile(data / name, bytes);
    std::string plain(2500, '\0');
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>((i * 31 + 7) & 0xff);
    test::writeFile(data / "plain.bin", plain);
    test::writeFile(data / "cipher.bin", literal::encrypt(lit, plain));
}

}  // namespace
}  // namespace zephra::crypto
