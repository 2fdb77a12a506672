// Sealing and opening file to file: the same bytes as the streams, two threads for large
// files, and every refusal leaving an existing destination as it was.
#include "LiteralMachine.h"
#include "SealedTestSupport.h"
#include "crypto/sealed/SealedFiles.h"

#include <csignal>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

namespace zephra::crypto::sealed {
namespace {

using crypto::test::randomBytes;
using crypto::test::readFile;
using crypto::test::TempDir;
using crypto::test::writeFile;
using test::Bytes;
using test::masterKey;
namespace fs = std::filesystem;

constexpr std::size_t C = kChunkSize;
constexpr std::size_t S = kSealedChunkSize;
constexpr std::size_t H = kHeaderSize;

class SealedFiles : public ::testing::Test {
protected:
    void expectOnly(std::set<std::string> names)
    {
        std::set<std::string> found;
        for (const auto& e : fs::directory_iterator(dir.path()))
            found.insert(e.path().filename().string());
        EXPECT_EQ(found, names);
    }
    TempDir dir;
};

TEST_F(SealedFiles, RoundTripsAndAgreesWithTheStreams)
{
    // 17 MiB and more run on two threads, each sealing its own blocks of 64 chunks.
    const std::size_t twoThreads = (std::size_t{17} << 20) + 12345;
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, C - 1, C, C + 1, 64 * C, 64 * C + 1, 5 * C + 3, twoThreads}) {
        const std::string plain = randomBytes(n, static_cast<std::uint32_t>(n));
        writeFile(dir / "plain", plain);
        ASSERT_TRUE(sealFile(masterKey(), dir / "plain", dir / "sealed").ok()) << n;
        const Bytes sealed = test::bytesOf(readFile(dir / "sealed"));
        EXPECT_EQ(sealed.size(), sealedSize(n)) << n;
        const test::Opened viaStream = test::open(sealed);
        ASSERT_TRUE(viaStream.status.ok()) << n << ": " << viaStream.status.message;
        EXPECT_TRUE(test::stringOf(viaStream.plain) == plain) << n;

        writeFile(dir / "streamed", test::stringOf(test::seal(test::bytesOf(plain))));
        ASSERT_TRUE(openFile(masterKey(), dir / "streamed", dir / "back").ok()) << n;
        EXPECT_TRUE(readFile(dir / "back") == plain) << n;
    }
}

TEST_F(SealedFiles, ProgressCoversThePlaintextAndCancelKeepsTheDestination)
{
    writeFile(dir / "plain", randomBytes(9 << 20, 1));
    std::uint64_t last = 0;
    ASSERT_TRUE(sealFile(masterKey(), dir / "plain", dir / "sealed", [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, std::uint64_t{9} << 20);
        EXPECT_GE(done, last);
        last = done;
        return true;
    }).ok());
    EXPECT_EQ(last, std::uint64_t{9} << 20);

    writeFile(dir / "dest", "keep me");
    int calls = 0;
    const auto cancelSecond = [&](std::uint64_t, std::uint64_t) { return ++calls < 2; };
    EXPECT_EQ(sealFile(masterKey(), dir / "plain", dir / "dest", cancelSecond).kind, ErrorKind::Cancelled);
    calls = 0;
    EXPECT_EQ(openFile(masterKey(), dir / "sealed", dir / "dest", cancelSecond).kind, ErrorKind::Cancelled);
    EXPECT_EQ(readFile(dir / "dest"), "keep me");
    expectOnly({"plain", "sealed", "dest"});
}

TEST_F(SealedFiles, EveryRefusalLeavesTheDestinationUntouched)
{
    // Large enough for two threads, so that damage far into the file is found by the second.
    const std::size_t n = (std::size_t{17} << 20) + 99;
    const std::string plain = randomBytes(n, 2);
    writeFile(dir / "plain", plain);
    ASSERT_TRUE(sealFile(masterKey(), dir / "plain", dir / "good").ok());
    const std::string good = readFile(dir / "good");
    literal::Keyspace ks;
    ASSERT_TRUE(literal::createKeyspace("123456789", ks));

    struct Row {
        const char* name;
        std::string source;
        ErrorKind kind;
        const MasterKey* key = nullptr;
    };
    std::string lateFlip = good;
    lateFlip[H + 100 * S + 5] ^= 0x20;  // in block 1, the second thread's
    std::string swapped = good;
    std::swap_ranges(swapped.begin() + H + 3 * S, swapped.begin() + H + 4 * S, swapped.begin() + H + 70 * S);
    std::string dropped = good;
    dropped.erase(H + 200 * S, S);
    const Row rows[] = {
        {"wrong key", good, ErrorKind::WrongKey, &masterKey("987654321")},
        {"cut at a chunk boundary", good.substr(0, H + 10 * S), ErrorKind::Truncated},
        {"cut inside the last chunk", good.substr(0, good.size() - 1), ErrorKind::Damaged},
        {"cut inside the header", good.substr(0, 40), ErrorKind::Truncated},
        {"a bit flipped late in the file", lateFlip, ErrorKind::Damaged},
        {"chunks swapped across blocks", swapped, ErrorKind::Damaged},
        {"a chunk dropped", dropped, ErrorKind::Damaged},
        {"bytes appended", good + "x", ErrorKind::Damaged},
        {"a rotor-format file", literal::encrypt(ks, plain.substr(0, 5000)), ErrorKind::NotSealed},
        {"an empty file", "", ErrorKind::NotSealed},
    };
    for (const Row& r : rows) {
        writeFile(dir / "source", r.source);
        writeFile(dir / "dest", "keep me");
        ::chmod((dir / "dest").c_str(), 0640);
        const Status s = openFile(r.key ? *r.key : masterKey(), dir / "source", dir / "dest");
        EXPECT_EQ(s.kind, r.kind) << r.name << ": " << s.message;
        EXPECT_EQ(readFile(dir / "dest"), "keep me") << r.name;
        expectOnly({"plain", "good", "source", "dest"});
    }
    EXPECT_EQ(openFile(masterKey(), dir / "good", dir / "good").kind, ErrorKind::SameFile);
    EXPECT_EQ(sealFile(masterKey(), dir / "absent", dir / "dest").kind, ErrorKind::SourceUnreadable);
    EXPECT_EQ(readFile(dir / "dest"), "keep me");

    // And the good file, into the same destination, keeps its permissions.
    ASSERT_TRUE(openFile(masterKey(), dir / "good", dir / "dest").ok());
    EXPECT_TRUE(readFile(dir / "dest") == plain);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "dest").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SealedFiles, AFullDiskIsFoundBeforeAnyWorkAndKeepsTheDestination)
{
    // The file-size limit makes the space reservation fail as a full disk would, also for root.
    writeFile(dir / "plain", randomBytes(9 << 20, 4));  // three blocks: the first would fit
    ASSERT_TRUE(sealFile(masterKey(), dir / "plain", dir / "sealed").ok());
    writeFile(dir / "dest", "keep me");
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 5 << 20;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::uint64_t furthest = 0;
    const Progress progress = [&](std::uint64_t done, std::uint64_t) {
        furthest = std::max(furthest, done);
        return true;
    };
    const Status sealing = sealFile(masterKey(), dir / "plain", dir / "dest", progress);
    const Status opening = openFile(masterKey(), dir / "sealed", dir / "dest", progress);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(sealing.kind, ErrorKind::DestinationUnwritable) << sealing.message;
    EXPECT_EQ(opening.kind, ErrorKind::DestinationUnwritable) << opening.message;
    EXPECT_EQ(furthest, 0u);
    EXPECT_EQ(readFile(dir / "dest"), "keep me");
    expectOnly({"plain", "sealed", "dest"});
}

TEST_F(SealedFiles, InspectionWithoutTheKey)
{
    writeFile(dir / "plain", randomBytes(3 * C + 7, 3));
    ASSERT_TRUE(sealFile(masterKey(), dir / "plain", dir / "sealed").ok());
    Inspection i;
    ASSERT_TRUE(inspectFile(dir / "sealed", i).ok());
    EXPECT_TRUE(i.sealed);
    EXPECT_TRUE(i.header.ok());
    EXPECT_TRUE(i.layout.ok());
    EXPECT_EQ(i.fields.kdf, test::kFastKdf);
    EXPECT_EQ(i.plainSize, 3 * C + 7);
    EXPECT_EQ(i.chunks, 4u);
    EXPECT_EQ(i.size, sealedSize(3 * C + 7));

    ASSERT_TRUE(inspectFile(dir / "plain", i).ok());
    EXPECT_FALSE(i.sealed);
    EXPECT_EQ(i.size, 3 * C + 7);

    writeFile(dir / "cut", readFile(dir / "sealed").substr(0, H + S));
    ASSERT_TRUE(inspectFile(dir / "cut", i).ok());
    EXPECT_TRUE(i.sealed && i.header.ok());
    EXPECT_EQ(i.layout.kind, ErrorKind::Truncated);

    EXPECT_EQ(inspectFile(dir / "absent", i).kind, ErrorKind::SourceUnreadable);
}

}  // namespace
}  // namespace zephra::crypto::sealed
