// The working files: byte formats, permissions, replacement, and the clean-up of all fifteen names.
#include "LiteralMachine.h"
#include "TestSupport.h"
#include "crypto/Engine.h"
#include "crypto/WorkingFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace zephra::crypto {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

const char* const kKeyspaceFiles[] = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat"};

std::string xLines() { std::string s; for (int i = 0; i < 20; ++i) s += "xxxxx\r\n"; return s; }

// The files of key 123456789 are also checked against the files in data/ (CipherTest).
TEST(WorkingFiles, KeyspaceWritesTheEightFilesOwnerOnlyAndByteForByteAsTheLiteralMachine)
{
    for (const char* key : {"5", "10", "98765432198765432199"}) {
        TempDir dir;
        Engine engine(dir.path());
        ASSERT_TRUE(engine.createKeyspace(key).ok());
        EXPECT_TRUE(engine.hasKeyspace());
        literal::Keyspace lit;
        ASSERT_TRUE(literal::createKeyspace(key, lit));
        for (const char* name : kKeyspaceFiles) {
            EXPECT_TRUE(readFile(dir / name) == lit.files.at(name)) << key << " " << name;
            struct stat st {};
            ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
        }
    }
}

TEST(WorkingFiles, ParameterRecordGoldenBytesAndRoundTrip)
{
    // Hand-written: "U" then "D" then blanks, and numbers 2.0f (0x40000000) and 7.0f (0x40e00000).
    ParameterRecord r = ParameterRecord::blank();
    r.letters[0] = 'U';
    r.letters[1] = 'D';
    r.numbers[0] = 2.0f;
    r.numbers[19] = 7.0f;
    const auto bytes = r.write();
    EXPECT_EQ(bytes[0], 'U');
    EXPECT_EQ(bytes[1], 'D');
    EXPECT_EQ(bytes[2], ' ');
    const std::uint8_t two[4] = {0x00, 0x00, 0x00, 0x40};
    const std::uint8_t seven[4] = {0x00, 0x00, 0xe0, 0x40};
    EXPECT_TRUE(std::equal(two, two + 4, bytes.begin() + 20));
    EXPECT_TRUE(std::equal(seven, seven + 4, bytes.begin() + 96));
    EXPECT_EQ(bytes[24], 0);

    ParameterRecord back;
    ASSERT_TRUE(ParameterRecord::read(bytes, back));
    EXPECT_EQ(back.letters, r.letters);
    EXPECT_EQ(back.numbers, r.numbers);
    EXPECT_FALSE(ParameterRecord::read(std::span(bytes).first(99), back));
}

TEST(WorkingFiles, SecondKeyspaceReplacesTheFirst)
{
    TempDir dir;
    Engine engine(dir.path());
    ASSERT_TRUE(engine.createKeyspace("123456789").ok());
    ASSERT_TRUE(engine.createKeyspace("24682468").ok());
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("24682468", lit));
    for (const char* name : kKeyspaceFiles)
        EXPECT_TRUE(readFile(dir / name) == lit.files.at(name)) << name;

    const std::string plain = test::randomBytes(3000, 1);
    writeFile(dir / "plain", plain);
    ASSERT_TRUE(engine.encryptFile(dir / "plain", dir / "cipher").ok());
    EXPECT_TRUE(readFile(dir / "cipher") == literal::encrypt(lit, plain));
}

TEST(WorkingFiles, AnInvalidKeyOrAFailedWriteLeavesNoKeyMaterial)
{
    TempDir dir;
    Engine engine(dir.path());
    for (const char* key : {"", "00123", "abc", "-12"}) {
        EXPECT_EQ(engine.createKeyspace(key).kind, ErrorKind::InvalidKey) << key;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << key;
        EXPECT_FALSE(engine.hasKeyspace());
    }
    std::filesystem::create_directory(dir / "k5.bin");  // the write of k5.bin fails
    EXPECT_EQ(engine.createKeyspace("123456789").kind, ErrorKind::Io);
    EXPECT_FALSE(engine.hasKeyspace());
    for (const char* name : {"k1.bin", "k2.bin", "k3.bin", "k4.bin"})
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
}

TEST(CleanUp, WipeOverwritesEveryFileBeforeDeletion)
{
    TempDir dir;
    Engine engine(dir.path());
    ASSERT_TRUE(engine.createKeyspace("123456789").ok());
    writeFile(dir / "k1.txt", std::string(700, 'k'));
    writeFile(dir / "k4.txt", " 3 \r\n");
    ASSERT_TRUE(wipeWorkingFiles(dir.path()).ok());

    for (const char* name : {"k1.bin", "k1.brs", "k1.bcr"})
        EXPECT_EQ(readFile(dir / name), std::string(5120, '@')) << name;
    EXPECT_EQ(readFile(dir / "k1.txt"), std::string(151 * 20, '@'));
    EXPECT_EQ(readFile(dir / "k2.bin"), " 0  0 \r\n");
    // k3.bin is blanked although no k3.txt exists (the slot parameters must not stay on disk).
    const auto blank = ParameterRecord::blank().write();
    EXPECT_EQ(readFile(dir / "k3.bin"), std::string(blank.begin(), blank.end()));
    for (const char* name : {"k4.bin", "k4.txt", "k5.bin", "k6.dat"})
        EXPECT_EQ(readFile(dir / name), xLines()) << name;
    // Names that did not exist are not created by the wipe.
    EXPECT_FALSE(std::filesystem::exists(dir / "k1.tcr"));

    // A longer file keeps no old byte.
    writeFile(dir / "k4.bin", std::string(500, '7'));
    writeFile(dir / "k1.bin", std::string(6000, '9'));
    ASSERT_TRUE(wipeWorkingFiles(dir.path()).ok());
    EXPECT_EQ(readFile(dir / "k4.bin"), xLines());
    EXPECT_EQ(readFile(dir / "k1.bin").find('9'), std::string::npos);
}

TEST(CleanUp, LeavesNoneOfTheFifteenNamesAndForgetsTheKeyspace)
{
    TempDir dir;
    Engine engine(dir.path());
    ASSERT_TRUE(engine.createKeyspace("123456789").ok());
    for (const char* stray : {"k1.txt", "k1.tcr", "k1.trs", "k2.txt", "k3.txt", "k4.txt", "k5.txt"})
        writeFile(dir / stray, "stray data");
    writeFile(dir / "notes.txt", "the user's own file");
    ASSERT_TRUE(engine.cleanUp().ok());
    for (const char* name : cleanUpNames())
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
    EXPECT_EQ(readFile(dir / "notes.txt"), "the user's own file");
    EXPECT_FALSE(engine.hasKeyspace());
    EXPECT_EQ(engine.encryptFile(dir / "notes.txt", dir / "out").kind, ErrorKind::NoKeyspace);
    // Twice in a row, and in a directory without any keyspace, succeeds.
    EXPECT_TRUE(engine.cleanUp().ok());
    TempDir empty;
    EXPECT_TRUE(Engine(empty.path()).cleanUp().ok());
    EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
}

TEST(CleanUp, NeverTouchesTheCurrentDirectory)
{
    // Guards the fault of working in whatever the current directory is.
    TempDir work, cwd;
    writeFile(cwd / "k1.txt", "the user's own k1.txt");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(cwd.path());
    Engine engine(work.path());
    const bool created = engine.createKeyspace("123456789").ok();
    const bool cleaned = engine.cleanUp().ok();
    std::filesystem::current_path(old);
    EXPECT_TRUE(created);
    EXPECT_TRUE(cleaned);
    EXPECT_EQ(readFile(cwd / "k1.txt"), "the user's own k1.txt");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cwd.path()), {}), 1);
}

}  // namespace
}  // namespace zephra::crypto
