// File encryption and decryption through the engine: round trips, the destination written
// as a whole, and every refusal leaving the user's files as they were.
#include "LiteralMachine.h"
#include "TestSupport.h"
#include "crypto/Engine.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zephra::crypto {
namespace {

using test::randomBytes;
using test::readFile;
using test::TempDir;
using test::writeFile;
namespace fs = std::filesystem;

class FileOps : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.createKeyspace("123456789").ok()); }
    // Only the expected names: no temporary file may be left behind.
    void expectOnly(const fs::path& dir, std::set<std::string> names)
    {
        std::set<std::string> found;
        for (const auto& e : fs::directory_iterator(dir))
            found.insert(e.path().filename().string());
        EXPECT_EQ(found, names);
    }
    TempDir work;
    TempDir files;
    Engine engine{work.path()};
};

TEST_F(FileOps, RoundTripsAtTheDescribedLengthsAndMatchesTheLiteralMachine)
{
    literal::Keyspace lit;
    ASSERT_TRUE(literal::createKeyspace("123456789", lit));
    for (std::size_t n : {0u, 1u, 999u, 1000u, 1001u, 2500u, 3000u, 10000u}) {
        const std::string plain = randomBytes(n, static_cast<std::uint32_t>(n));
        writeFile(files / "plain file", plain);  // a name holding a blank
        ASSERT_TRUE(engine.encryptFile(files / "plain file", files / "cipher file").ok());
        const std::string cipher = readFile(files / "cipher file");
        EXPECT_TRUE(cipher == literal::encrypt(lit, plain)) << n;
        ASSERT_TRUE(engine.decryptFile(files / "cipher file", files / "back").ok());
        EXPECT_TRUE(readFile(files / "back") == plain) << n;
        EXPECT_TRUE(readFile(work / "k1.bcr") == readFile(work / "k1.brs"));
    }
}

TEST_F(FileOps, LargeFilesUseTwoThreadsAndStillMatchTheCipher)
{
    const std::string plain = randomBytes((std::size_t{17} << 20) + 12345, 8);
    writeFile(files / "big", plain);
    std::uint64_t lastDone = 0, calls = 0;
    const Progress progress = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, plain.size());
        EXPECT_GE(done, lastDone);
        lastDone = done;
        ++calls;
        return true;
    };
    ASSERT_TRUE(engine.encryptFile(files / "big", files / "big.enc", progress).ok());
    EXPECT_GT(calls, 1u);
    std::unique_ptr<Cipher> c;
    ASSERT_TRUE(engine.loadCipher(c).ok());
    std::string expected(plain.size(), '\0');
    c->process(Direction::Encrypt, 0, test::u8(plain), test::u8(expected), plain.size());
    EXPECT_TRUE(readFile(files / "big.enc") == expected);
    ASSERT_TRUE(engine.decryptFile(files / "big.enc", files / "big.dec").ok());
    EXPECT_TRUE(readFile(files / "big.dec") == plain);
}

TEST_F(FileOps, ReplacesAnExistingDestinationAsAWholeAndIsDeterministic)
{
    writeFile(files / "plain", randomBytes(1500, 2));
    writeFile(files / "dest", std::string(100000, 'z'));
    ::chmod((files / "dest").c_str(), 0640);
    ASSERT_TRUE(engine.encryptFile(files / "plain", files / "dest").ok());
    const std::string first = readFile(files / "dest");
    EXPECT_EQ(first.size(), 1500u);
    struct stat st {};
    ASSERT_EQ(::stat((files / "dest").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_TRUE(engine.encryptFile(files / "plain", files / "dest").ok());
    EXPECT_TRUE(readFile(files / "dest") == first);
    expectOnly(files.path(), {"plain", "dest"});
}

TEST_F(FileOps, DecryptingWithAnotherKeyGivesSameLengthAndNoError)
{
    writeFile(files / "plain", randomBytes(5000, 3));
    ASSERT_TRUE(engine.encryptFile(files / "plain", files / "cipher").ok());
    ASSERT_TRUE(engine.createKeyspace("987654321").ok());
    ASSERT_TRUE(engine.decryptFile(files / "cipher", files / "wrong").ok());
    EXPECT_EQ(readFile(files / "wrong").size(), 5000u);
    EXPECT_NE(readFile(files / "wrong"), readFile(files / "plain"));
}

TEST_F(FileOps, RefusesWithoutKeyspaceAndWritesNothing)
{
    TempDir otherWork;
    Engine fresh(otherWork.path());
    writeFile(files / "plain", "abc");
    EXPECT_EQ(fresh.encryptFile(files / "plain", files / "out").kind, ErrorKind::NoKeyspace);
    EXPECT_EQ(fresh.decryptFile(files / "plain", files / "out").kind, ErrorKind::NoKeyspace);
    std::unique_ptr<Cipher> c;
    EXPECT_EQ(fresh.loadCipher(c).kind, ErrorKind::NoKeyspace);
    EXPECT_TRUE(fs::is_empty(otherWork.path()));
    expectOnly(files.path(), {"plain"});
}

TEST_F(FileOps, RefusalsLeaveEveryFileAsItWas)
{
    writeFile(files / "plain", randomBytes(3000, 4));
    writeFile(files / "dest", "keep me");
    fs::create_hard_link(files / "dest", files / "link");
    struct Case {
        fs::path from, to;
        ErrorKind kind;
        bool decrypt = false;
    };
    const Case cases[] = {
        {files / "absent", files / "dest", ErrorKind::SourceUnreadable},
        {files / "plain", files / "no-such-dir" / "out", ErrorKind::DestinationUnwritable},
        {files / "dest", files / "dest", ErrorKind::SameFile},
        {files / "dest", files / "link", ErrorKind::SameFile, true},  // one file under two names
    };
    for (const Case& c : cases) {
        const Status s = c.decrypt ? engine.decryptFile(c.from, c.to) : engine.encryptFile(c.from, c.to);
        EXPECT_EQ(s.kind, c.kind) << c.from << " -> " << c.to;
        if (c.kind == ErrorKind::SourceUnreadable)
            EXPECT_NE(s.message.find("absent"), std::string::npos) << s.message;
    }
    EXPECT_EQ(readFile(files / "dest"), "keep me");
    expectOnly(files.path(), {"plain", "dest", "link"});
}

TEST_F(FileOps, ReadOnlyDestinationDirectoryKeepsTheExistingDestination)
{
    writeFile(files / "plain", randomBytes(3000, 4));
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    fs::create_directory(files / "locked");
    writeFile(files / "locked" / "dest", "keep me");
    ::chmod((files / "locked").c_str(), 0500);
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "locked" / "dest").kind, ErrorKind::DestinationUnwritable);
    ::chmod((files / "locked").c_str(), 0700);
    EXPECT_EQ(readFile(files / "locked" / "dest"), "keep me");
    expectOnly(files / "locked", {"dest"});
}

TEST_F(FileOps, AFullDiskKeepsTheExistingDestination)
{
    // The file-size limit makes writes fail as on a full disk, also for root.
    writeFile(files / "plain", randomBytes(300000, 9));
    writeFile(files / "dest", "keep me");
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const Status s = engine.encryptFile(files / "plain", files / "dest");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(s.kind, ErrorKind::DestinationUnwritable);
    EXPECT_EQ(readFile(files / "dest"), "keep me");
    expectOnly(files.path(), {"plain", "dest"});
}

TEST_F(FileOps, ALongDestinationNameStillWorks)
{
    // Guards a temporary name beside the destination growing past the file-name limit.
    const std::string longName(250, 'n');
    writeFile(files / "plain", "abc");
    ASSERT_TRUE(engine.encryptFile(files / "plain", files / longName).ok());
    EXPECT_EQ(readFile(files / longName).size(), 3u);
}

TEST_F(FileOps, CancelLeavesTheDestinationUntouched)
{
    writeFile(files / "plain", randomBytes(9 << 20, 5));
    writeFile(files / "dest", "keep me");
    int calls = 0;
    const Status s = engine.encryptFile(files / "plain", files / "dest", [&](std::uint64_t, std::uint64_t) {
        return ++calls < 2;  // let one block through, then cancel
    });
    EXPECT_EQ(s.kind, ErrorKind::Cancelled);
    EXPECT_EQ(readFile(files / "dest"), "keep me");
    expectOnly(files.path(), {"plain", "dest"});
}

TEST_F(FileOps, DamagedWorkingFilesAreRefused)
{
    writeFile(files / "plain", randomBytes(2000, 6));
    writeFile(files / "dest", "keep me");
    const std::string k1 = readFile(work / "k1.bcr");

    // A rotor that is not a permutation would make decryption impossible.
    std::string broken = k1;
    broken[300] = broken[301];
    writeFile(work / "k1.bcr", broken);
    writeFile(work / "k1.brs", broken);
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);

    // A permutation, but not the one this keyspace wrote.
    std::string swapped = k1;
    std::swap(swapped[0], swapped[1]);
    writeFile(work / "k1.bcr", swapped);
    writeFile(work / "k1.brs", swapped);
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);

    writeFile(work / "k1.brs", k1);
    EXPECT_EQ(engine.decryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);  // k1.bcr != k1.brs
    writeFile(work / "k1.bcr", k1);
    ASSERT_TRUE(engine.encryptFile(files / "plain", files / "ok").ok());

    fs::remove(work / "k2.bin");
    const Status s = engine.encryptFile(files / "plain", files / "dest");
    EXPECT_EQ(s.kind, ErrorKind::DamagedKeyspace);
    EXPECT_NE(s.message.find("k2.bin"), std::string::npos);
    writeFile(work / "k2.bin", " 20  3 \r\n");
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);
    writeFile(work / "k2.bin", " 20  2 \r\n");
    writeFile(work / "k3.bin", "short");
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);
    fs::remove(work / "k4.bin");
    EXPECT_EQ(engine.encryptFile(files / "plain", files / "dest").kind, ErrorKind::DamagedKeyspace);
    EXPECT_EQ(readFile(files / "dest"), "keep me");
}

}  // namespace
}  // namespace zephra::crypto
