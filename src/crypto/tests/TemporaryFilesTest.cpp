// The program's temporary files: a run that was killed leaves its temporary file behind, and the
// next run removes it; a file of a run still going, or anything else, is never touched.
#include "TestSupport.h"
#include "crypto/PosixIo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zephra::crypto {
namespace {

using test::TempDir;
using test::writeFile;
namespace fs = std::filesystem;

TEST(TemporaryFiles, NamesHaveOneRecognisableShape)
{
    struct Row {
        const char* name;
        bool temporary;
    } rows[] = {
        {".report.pdf.zephra-a1B2c3", true},  {".zephra-a1B2c3", true},       {"report.pdf.zephra-a1B2c3", false},
        {".report.pdf.zephra-part", false},   {".report.pdf", false},         {".report.pdf.zephra-a1B2c", false},
        {"..zephra-a1B2c3", false},           {".zephra-", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(isTemporaryName(row.name), row.temporary) << row.name;

    TempDir dir;
    std::string path;
    const int fd = createTemporaryBeside((dir / "report.pdf").string(), &path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isTemporaryName(fs::path(path).filename().string())) << path;
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    ::close(fd);
}

// Guards the fault where a killed run's hidden temporary file (up to the size of the whole
// file) stayed beside its destination for good.
TEST(TemporaryFiles, OnlyFilesOfRunsThatAreGoneAreRemoved)
{
    TempDir dir;
    const std::string dest = (dir / "big.iso").string();

    // A run in another process holds its file until it is killed.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string path;
        const bool made = createTemporaryBeside(dest, &path) >= 0;
        (void)!::write(ready[1], made ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char made = 0;
    ASSERT_EQ(::read(ready[0], &made, 1), 1);
    ASSERT_EQ(made, 'y');

    // This process's own open file, a left-over whose owner closed it, and bystanders.
    std::string mine;
    const int mineFd = createTemporaryBeside(dest, &mine);
    ASSERT_GE(mineFd, 0);
    std::string closed;
    ::close(createTemporaryBeside((dir / "other.bin").string(), &closed));
    writeFile(dir / ".notes.txt", "keep");
    writeFile(dir / "big.iso.zephra-a1b2c3", "keep");
    fs::create_directory(dir / ".dir.zephra-a1b2c3");
    fs::create_symlink(dir / ".notes.txt", dir / ".link.zephra-a1b2c3");

    auto temporaries = [&] {
        std::size_t n = 0;
        for (const auto& e : fs::directory_iterator(dir.path()))
            n += e.is_regular_file() && !e.is_symlink() && isTemporaryName(e.path().filename().string());
        return n;
    };
    ASSERT_EQ(temporaries(), 3u);
    EXPECT_EQ(removeStaleTemporaries(dir.path().string()), 1) << "only the closed one";
    EXPECT_FALSE(fs::exists(closed));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_EQ(temporaries(), 2u) << "the other run's file stays while it runs";

    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(removeStaleTemporaries(dir.path().string()), 1) << "the killed run's file";
    EXPECT_TRUE(fs::exists(mine));
    for (const char* kept : {".notes.txt", "big.iso.zephra-a1b2c3", ".dir.zephra-a1b2c3"})
        EXPECT_TRUE(fs::exists(dir / kept)) << kept;
    EXPECT_TRUE(fs::is_symlink(dir / ".link.zephra-a1b2c3"));
    ::close(mineFd);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(removeStaleTemporaries((dir / "missing").string()), 0);
}

}  // namespace
}  // namespace zephra::crypto
