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
bool setLocked(const QString& dir, bool locked)
{
    const QByteArray path = QFile::encodeName(dir);
    if (::geteuid() != 0)
        return ::chmod(path.constData(), locked ? 0555 : 0755) == 0;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = locked ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

struct Locked {
    explicit Locked(const QString& dir) : path(dir), ok(setLocked(dir, true)) {}
    ~Locked()
    {
        if (ok)
            setLocked(path, false);
    }
    QString path;
    bool ok;
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

TEST_F(LocalFileOperationsTest, QuestionsComeFirstAndNoMeansNothingHappens)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("d"));
    ASSERT_TRUE(writeFile(at("a.txt"), "a"));
    EXPECT_EQ(ops.deleteDirectory(at("d")), LocalFileOperations::Outcome::Cancelled);
    EXPECT_FALSE(ops.deleteFiles({at("a.txt")}).confirmed);
    EXPECT_TRUE(isDir("d"));
    EXPECT_EQ(readFile(at("a.txt")), "a");
    ASSERT_EQ(prompter.count(), 2);
    EXPECT_EQ(prompter.asked()[0].title, "Delete Confirm");
    EXPECT_EQ(prompter.asked()[0].text, "Are you sure you want to delete the folder "
                                            + QDir::toNativeSeparators(at("d")) + "?");
    EXPECT_EQ(prompter.asked()[1].text, "Are you sure you want to delete the selected file(s)?");
}

TEST_F(LocalFileOperationsTest, ExistingTargetsAreNeverReplaced)
{
    // Guards against rename(2), which replaces a target file or an empty target directory.
    ASSERT_TRUE(writeFile(at("a.txt"), "A"));
    ASSERT_TRUE(writeFile(at("b.txt"), "B"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("old/x"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("empty"));
    ASSERT_TRUE(writeFile(at("empty2"), ""));
    EXPECT_FALSE(ops.renameFile(tmp.path(), "a.txt", "b.txt"));
    EXPECT_FALSE(ops.renameDirectory(at("old"), "empty"));
    EXPECT_FALSE(ops.makeDirectory(tmp.path(), "old"));
    EXPECT_FALSE(ops.makeDirectory(tmp.path(), "empty2"));
    ASSERT_EQ(prompter.count(), 4);
    for (const auto& asked : prompter.asked()) {
        EXPECT_EQ(asked.text, kPrefix + "File exists");
        EXPECT_EQ(asked.title, "ZephraFTP");
    }
    EXPECT_EQ(readFile(at("a.txt")), "A");
    EXPECT_EQ(readFile(at("b.txt")), "B");
    EXPECT_TRUE(isDir("old/x"));
    EXPECT_TRUE(isDir("empty"));
}

TEST_F(LocalFileOperationsTest, RemovalRefusesWhatItMustNotRemove)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("full/sub"));
    ASSERT_TRUE(writeFile(at("full/a.txt"), "A"));
    ASSERT_TRUE(writeFile(at("plain"), "P"));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("dir"));
    for (int i = 0; i < 3; ++i)
        prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("full")), LocalFileOperations::Outcome::Failed);
    EXPECT_EQ(prompter.last().text, kPrefix + "Directory not empty");
    // Guards against a remove() that deletes whatever the path names.
    EXPECT_EQ(ops.deleteDirectory(at("plain")), LocalFileOperations::Outcome::Failed);
    EXPECT_EQ(prompter.last().text, kPrefix + "Not a directory");
    const auto out = ops.deleteFiles({at("dir"), at("missing.txt")});
    EXPECT_EQ(out.failed, 2);
    EXPECT_EQ(prompter.last().text,
              kPrefix + "dir: Is a directory\nmissing.txt: No such file or directory");
    EXPECT_EQ(readFile(at("full/a.txt")), "A");
    EXPECT_EQ(readFile(at("plain")), "P");
    EXPECT_TRUE(isDir("dir"));
}

TEST_F(LocalFileOperationsTest, NamesThatWouldLeaveTheDirectoryAreRefused)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("a"));
    for (const char* bad : {"a/b", "..", ".", "x\ny"}) {
        prompter.clear();
        EXPECT_FALSE(ops.makeDirectory(tmp.path(), QString::fromUtf8(bad))) << bad;
        EXPECT_FALSE(ops.renameDirectory(at("a"), QString::fromUtf8(bad))) << bad;
        EXPECT_FALSE(ops.renameFile(tmp.path(), "a", QString::fromUtf8(bad))) << bad;
        ASSERT_EQ(prompter.count(), 3);
        EXPECT_TRUE(prompter.last().text.startsWith(kPrefix));
    }
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"a"}));
    EXPECT_TRUE(QDir(at("a")).isEmpty());
}

TEST_F(LocalFileOperationsTest, NotPermittedChangesFailWithTheReasonAndKeepEverything)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("ro/inner"));
    ASSERT_TRUE(writeFile(at("ro/a.txt"), "A"));
    ASSERT_TRUE(writeFile(at("free.txt"), "F"));
    Locked lock(at("ro"));
    if (!lock.ok)
        GTEST_SKIP() << "cannot make a directory refuse changes here";
    prompter.queueAnswer(true);
    prompter.queueAnswer(true);
    EXPECT_FALSE(ops.makeDirectory(at("ro"), "x"));
    EXPECT_FALSE(ops.renameFile(at("ro"), "a.txt", "b.txt"));
    EXPECT_FALSE(ops.renameDirectory(at("ro/inner"), "outer"));
    EXPECT_EQ(ops.deleteDirectory(at("ro/inner")), LocalFileOperations::Outcome::Failed);
    const auto out = ops.deleteFiles({at("ro/a.txt"), at("free.txt")});
    EXPECT_EQ(out.deleted, 1);  // the others still go
    int errors = 0;
    for (const auto& asked : prompter.asked()) {
        if (asked.kind != ScriptedPrompter::Kind::Question) {
            ++errors;
            EXPECT_TRUE(asked.text.startsWith(kPrefix));
            EXPECT_TRUE(asked.text.contains("not permitted") || asked.text.contains("Permission denied"))
                << asked.text.toStdString();
        }
    }
    EXPECT_EQ(errors, 5);
    EXPECT_EQ(QDir(at("ro")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"a.txt", "inner"}));
    EXPECT_EQ(readFile(at("ro/a.txt")), "A");
    EXPECT_FALSE(QFileInfo::exists(at("free.txt")));
}

TEST_F(LocalFileOperationsTest, SuccessfulChanges)
{
    ASSERT_TRUE(QDir(tmp.path()).mkpath("data/old/deep"));
    ASSERT_TRUE(writeFile(at("a.txt"), "A"));
    EXPECT_EQ(ops.makeDirectory(tmp.path(), "x"), QDir::toNativeSeparators(at("x")));
    // A trailing separator names the same directory; the new one stands beside it.
    EXPECT_EQ(ops.renameDirectory(at("data/old/"), "new"), QDir::toNativeSeparators(at("data/new")));
    EXPECT_EQ(ops.renameFile(tmp.path(), "a.txt", "b c.txt"), QDir::toNativeSeparators(at("b c.txt")));
    prompter.queueAnswer(true);
    EXPECT_EQ(ops.deleteDirectory(at("x")), LocalFileOperations::Outcome::Done);
    EXPECT_EQ(prompter.count(), 1);
    EXPECT_TRUE(isDir("data/new/deep"));
    EXPECT_EQ(readFile(at("b c.txt")), "A");
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"b c.txt", "data"}));
}
