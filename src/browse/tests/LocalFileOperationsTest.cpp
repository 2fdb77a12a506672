#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestUtil.h"
#include "browse/LocalFileOperations.h"
#include "dialogs/ScriptedPrompter.h"

using namespace zephra::browse;
using zephra::browse::testing::readFile;
using zephra::browse::testing::writeFile;
using zephra::dialogs::ScriptedPrompter;

namespace {

// Makes a directory refuse changes, also for root (who ignores permission bits): the immutable
// attribute where the process may set it, else read-only permission bits.
class Locked {
public:
    explicit Locked(const QString& dir) : m_path(QFile::encodeName(dir))
    {
        if (::geteuid() != 0) {
            m_ok = ::chmod(m_path.constData(), 0555) == 0;
            m_chmod = true;
            return;
        }
        const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            m_ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0)
            ::close(fd);
    }
    ~Locked()
    {
        if (!m_ok)
            return;
        if (m_chmod) {
            ::chmod(m_path.constData(), 0755);
            return;
        }
        const int fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return m_ok; }

private:
    QByteArray m_path;
    bool m_ok = false;
    bool m_chmod = false;
};

class LocalFileOperationsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QString at(const QString& name) const { return tmp.filePath(name); }
    bool isDir(const QString& name) const { return QFileInfo(at(name)).isDir(); }

    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    LocalFileOperations ops{prompter};
};

const QString kPrefix = QStringLiteral("There was the error - ");

}  // namespace

TEST_F(LocalFileOperationsTest, MakeDirectory)
{
    const auto made = ops.makeDirectory(tmp.path(), "x");
    ASSERT_TRUE(made);
    EXPECT_EQ(QFileInfo(*made).absoluteFilePath(), QFileInfo(at("x")).absoluteFilePath());
    EXPECT_TRUE(isDir("x"));
    EXPECT_EQ(prompter.count(), 0);
}

TEST_F(LocalFileOperationsTest, MakeDirectoryThatExistsKeepsItsContents)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("x"));
    ASSERT_TRUE(writeFile(at("x/keep.txt"), "data"));
    EXPECT_FALSE(ops.makeDirectory(tmp.path(), "x"));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().text, kPrefix + "File exists");
    EXPECT_EQ(prompter.last().title, "ZephraFTP");
    EXPECT_EQ(readFile(at("x/keep.txt")), "data");

    // A file of that name is no directory either.
    ASSERT_TRUE(writeFile(at("f"), "file"));
    EXPECT_FALSE(ops.makeDirectory(tmp.path(), "f"));
    EXPECT_EQ(readFile(at("f")), "file");
}

TEST_F(LocalFileOperationsTest, MakeDirectoryWhereNotPermitted)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("ro"));
    Locked lock(at("ro"));
    if (!lock.ok())
        GTEST_SKIP() << "cannot make a directory refuse changes here";
    EXPECT_FALSE(ops.makeDirectory(at("ro"), "x"));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_TRUE(prompter.last().text.startsWith(kPrefix));
    EXPECT_TRUE(prompter.last().text.contains("not permitted")
                || prompter.last().text.contains("Permission denied"))
        << prompter.last().text.toStdString();
}

TEST_F(LocalFileOperationsTest, NamesThatWouldLeaveTheDirectoryAreRefused)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("a"));
    for (const char* bad : {"a/b", "..", ".", "x\ny"}) {
        prompter.clear();
        EXPECT_FALSE(ops.makeDirectory(tmp.path(), QString::fromUtf8(bad))) << bad;
        ASSERT_EQ(prompter.count(), 1);
        EXPECT_TRUE(prompter.last().text.startsWith(kPrefix));
    }
    EXPECT_FALSE(QFileInfo::exists(at("a/b")));
    EXPECT_FALSE(ops.renameFile(tmp.path(), "a", "../escaped"));
    EXPECT_TRUE(isDir("a"));
}

TEST_F(LocalFileOperationsTest, DeleteDirectoryAsksFirst)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("gone"));
    prompter.queueAnswer(false);
    EXPECT_EQ(ops.deleteDirectory(at("gone")), LocalFileOperations::Outcome::Cancelled);
    EXPECT_TRUE(isDir("gone"));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().title, "Delete Confirm");
    EXPECT_EQ(prompter.last().text,
              "Are you sure you want to delete the folder " + QDir::toNativeSeparators(at("gone"))
                  + "?");

    prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("gone")), LocalFileOperations::Outcome::Done);
    EXPECT_FALSE(QFileInfo::exists(at("gone")));
}

TEST_F(LocalFileOperationsTest, DeleteDirectoryNotEmptyKeepsEverything)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("full/sub"));
    ASSERT_TRUE(writeFile(at("full/a.txt"), "A"));
    prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("full")), LocalFileOperations::Outcome::Failed);
    EXPECT_EQ(prompter.last().text, kPrefix + "Directory not empty");
    EXPECT_EQ(readFile(at("full/a.txt")), "A");
    EXPECT_TRUE(isDir("full/sub"));
}

TEST_F(LocalFileOperationsTest, DeleteDirectoryNeverRemovesAFile)
{
    // Guards against a remove() that deletes whatever the path names.
    ASSERT_TRUE(writeFile(at("plain"), "P"));
    prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("plain")), LocalFileOperations::Outcome::Failed);
    EXPECT_EQ(prompter.last().text, kPrefix + "Not a directory");
    EXPECT_EQ(readFile(at("plain")), "P");
}

TEST_F(LocalFileOperationsTest, DeleteDirectoryNotPermitted)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("ro/inner"));
    Locked lock(at("ro"));
    if (!lock.ok())
        GTEST_SKIP() << "cannot make a directory refuse changes here";
    prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("ro/inner")), LocalFileOperations::Outcome::Failed);
    EXPECT_TRUE(prompter.last().text.startsWith(kPrefix));
    EXPECT_TRUE(isDir("ro/inner"));
}

TEST_F(LocalFileOperationsTest, RenameDirectoryBesideItself)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("data/old/deep"));
    const auto renamed = ops.renameDirectory(at("data/old"), "new");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(*renamed, QDir::toNativeSeparators(at("data/new")));
    EXPECT_TRUE(isDir("data/new/deep"));
    EXPECT_FALSE(QFileInfo::exists(at("data/old")));
    // A trailing separator names the same directory.
    EXPECT_TRUE(ops.renameDirectory(at("data/new/"), "newer"));
    EXPECT_TRUE(isDir("data/newer/deep"));
}

TEST_F(LocalFileOperationsTest, RenameDirectoryOntoAnExistingOneReplacesNothing)
{
    // Guards against rename(2) silently replacing an empty target directory.
    ASSERT_TRUE(QDir(tmp.path()).mkpath("old/x"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("empty"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("full/y"));
    EXPECT_FALSE(ops.renameDirectory(at("old"), "empty"));
    EXPECT_EQ(prompter.last().text, kPrefix + "File exists");
    EXPECT_FALSE(ops.renameDirectory(at("old"), "full"));
    EXPECT_TRUE(isDir("old/x"));
    EXPECT_TRUE(isDir("empty"));
    EXPECT_TRUE(isDir("full/y"));
}

TEST_F(LocalFileOperationsTest, DeleteFilesOneQuestionForAll)
{
    ASSERT_TRUE(writeFile(at("a.txt"), "a"));
    ASSERT_TRUE(writeFile(at("b.txt"), "b"));
    const QStringList both = {at("a.txt"), at("b.txt")};

    prompter.queueAnswer(false);
    EXPECT_FALSE(ops.deleteFiles(both).confirmed);
    EXPECT_TRUE(QFileInfo::exists(at("a.txt")));
    EXPECT_EQ(prompter.last().text, "Are you sure you want to delete the selected file(s)?");
    EXPECT_EQ(prompter.last().title, "Delete Confirm");

    prompter.queueAnswer(true);
    const auto out = ops.deleteFiles(both);
    EXPECT_TRUE(out.confirmed);
    EXPECT_EQ(out.deleted, 2);
    EXPECT_FALSE(QFileInfo::exists(at("a.txt")));
    EXPECT_FALSE(QFileInfo::exists(at("b.txt")));
    EXPECT_EQ(prompter.count(), 2);  // the two questions, no error
}

TEST_F(LocalFileOperationsTest, DeleteFilesReportsFailuresAndGoesOn)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("ro"));
    ASSERT_TRUE(writeFile(at("ro/locked.txt"), "L"));
    ASSERT_TRUE(writeFile(at("free.txt"), "F"));
    Locked lock(at("ro"));
    if (!lock.ok())
        GTEST_SKIP() << "cannot make a directory refuse changes here";
    prompter.queueAnswer(true);
    const auto out = ops.deleteFiles({at("ro/locked.txt"), at("missing.txt"), at("free.txt")});
    EXPECT_EQ(out.deleted, 1);
    EXPECT_EQ(out.failed, 2);
    ASSERT_EQ(prompter.count(), 2);
    const QString text = prompter.last().text;
    EXPECT_TRUE(text.startsWith(kPrefix));
    EXPECT_TRUE(text.contains("locked.txt"));
    EXPECT_TRUE(text.contains("missing.txt: No such file or directory"));
    EXPECT_EQ(readFile(at("ro/locked.txt")), "L");
    EXPECT_FALSE(QFileInfo::exists(at("free.txt")));
}

TEST_F(LocalFileOperationsTest, RenameFile)
{
    ASSERT_TRUE(writeFile(at("a.txt"), "A"));
    const auto renamed = ops.renameFile(tmp.path(), "a.txt", "b c.txt");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(readFile(at("b c.txt")), "A");
    EXPECT_FALSE(QFileInfo::exists(at("a.txt")));
}

TEST_F(LocalFileOperationsTest, RenameFileOntoAnExistingFileLosesNothing)
{
    // Guards against rename(2) replacing the target file.
    ASSERT_TRUE(writeFile(at("a.txt"), "A"));
    ASSERT_TRUE(writeFile(at("b.txt"), "B"));
    EXPECT_FALSE(ops.renameFile(tmp.path(), "a.txt", "b.txt"));
    EXPECT_EQ(prompter.last().text, kPrefix + "File exists");
    EXPECT_EQ(readFile(at("a.txt")), "A");
    EXPECT_EQ(readFile(at("b.txt")), "B");
}

TEST_F(LocalFileOperationsTest, RenameFileNotPermittedOrMissing)
{
    EXPECT_FALSE(ops.renameFile(tmp.path(), "nothere.txt", "x.txt"));
    EXPECT_EQ(prompter.last().text, kPrefix + "No such file or directory");

    ASSERT_TRUE(QDir(tmp.path()).mkpath("ro"));
    ASSERT_TRUE(writeFile(at("ro/a.txt"), "A"));
    Locked lock(at("ro"));
    if (!lock.ok())
        GTEST_SKIP() << "cannot make a directory refuse changes here";
    EXPECT_FALSE(ops.renameFile(at("ro"), "a.txt", "b.txt"));
    EXPECT_TRUE(prompter.last().text.startsWith(kPrefix));
    EXPECT_EQ(readFile(at("ro/a.txt")), "A");
}
