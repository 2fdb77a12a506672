// How a download replaces a local file: what the target is afterwards (bytes, permission bits,
// never a link written through), what the temporary file looks like while it fills, and that
// every failure leaves the target exactly as it was and nothing beside it.
#include "TestFiles.h"
#include "ftp/LocalFile.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zephra;
using test::readFile;
using test::writeFile;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QStringList namesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// What stands at the target before the download.
enum class Before { Nothing, File0600, File0640, File0755, SetUid, LinkToPrivateFile, DanglingLink };

struct ReplaceCase {
    const char* name;
    Before before;
    mode_t expectedMode;  // 0: the default for a new file under the test's umask
};

class Replace : public ::testing::TestWithParam<ReplaceCase> {};

// Guards fault 7: an engine download over a 0600 file left 0644; a direct download onto a
// symbolic link wrote through the link.
TEST_P(Replace, TheTargetGetsTheNewBytesAndKeepsWhatTheUserSetOnIt)
{
    const ReplaceCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("down load.bin"));
    const QString linked = dir.filePath(QStringLiteral("elsewhere.txt"));
    const auto makeFile = [&](mode_t mode) {
        ASSERT_TRUE(writeFile(target, "old contents"));
        ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), mode), 0);
    };
    switch (c.before) {
    case Before::Nothing: break;
    case Before::File0600: makeFile(0600); break;
    case Before::File0640: makeFile(0640); break;
    case Before::File0755: makeFile(0755); break;
    case Before::SetUid: makeFile(04755); break;
    case Before::LinkToPrivateFile:
        ASSERT_TRUE(writeFile(linked, "the file the link leads to"));
        ASSERT_EQ(::chmod(QFile::encodeName(linked).constData(), 0600), 0);
        ASSERT_TRUE(QFile::link(linked, target));
        break;
    case Before::DanglingLink: ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("gone")), target)); break;
    }
    const mode_t oldMask = ::umask(027);
    const QByteArray bytes = test::pattern(300 * 1024 + 3, 5);
    ftp::LocalFileReplacement out(target);
    QString error;
    const bool opened = out.open(&error);
    ::umask(oldMask);
    ASSERT_TRUE(opened) << error.toStdString();

    // While it fills: hidden, beside the target, recognisable, owner-only.
    const QFileInfo temp(out.temporaryPath());
    EXPECT_EQ(temp.absolutePath(), QFileInfo(target).absolutePath());
    EXPECT_TRUE(temp.fileName().startsWith(QStringLiteral(".down load.bin.zephra-"))) << temp.fileName().toStdString();
    EXPECT_TRUE(ftp::isReplacementTemporaryName(temp.fileName()));
    EXPECT_EQ(modeOf(temp.filePath()) & 07777, mode_t(0600));
    ASSERT_EQ(out.device()->write(bytes.left(1000)), 1000);
    ASSERT_EQ(out.device()->write(bytes.mid(1000)), bytes.size() - 1000);

    ASSERT_TRUE(out.commit(&error)) << error.toStdString();
    EXPECT_TRUE(out.isCommitted());
    EXPECT_TRUE(S_ISREG(modeOf(target))) << "a link at the target is replaced, not followed";
    EXPECT_EQ(modeOf(target) & 07777, c.expectedMode ? c.expectedMode : mode_t(0640));
    EXPECT_EQ(readFile(target), bytes);
    if (c.before == Before::LinkToPrivateFile) {
        EXPECT_EQ(readFile(linked), "the file the link leads to");
        EXPECT_EQ(modeOf(linked) & 07777, mode_t(0600));
    }
    QStringList expected{QStringLiteral("down load.bin")};
    if (c.before == Before::LinkToPrivateFile)
        expected.append(QStringLiteral("elsewhere.txt"));
    EXPECT_EQ(namesIn(dir.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Replace,
    ::testing::Values(ReplaceCase{"NewFile", Before::Nothing, 0}, ReplaceCase{"Private", Before::File0600, 0600},
                      ReplaceCase{"GroupReadable", Before::File0640, 0640}, ReplaceCase{"Executable", Before::File0755, 0755},
                      // Set-id bits are not handed to bytes from a server.
                      ReplaceCase{"SetUidDropped", Before::SetUid, 0755},
                      ReplaceCase{"LinkToPrivateFile", Before::LinkToPrivateFile, 0},
                      ReplaceCase{"DanglingLink", Before::DanglingLink, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A cipher thread writes by position on the descriptor, in any order, and the file is as written.
TEST(LocalFileReplacement, PositionalWritesThroughTheHandle)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("t.bin"));
    ftp::LocalFileReplacement out(target);
    QString error;
    ASSERT_TRUE(out.open(&error)) << error.toStdString();
    ASSERT_EQ(::pwrite(out.handle(), "world", 5, 6), 5);
    ASSERT_EQ(::pwrite(out.handle(), "hello ", 6, 0), 6);
    ASSERT_TRUE(out.commit(&error)) << error.toStdString();
    EXPECT_EQ(readFile(target), "hello world");
    EXPECT_TRUE(out.commit(&error)) << "a second commit is a no-op";
}

TEST(LocalFileReplacement, AVeryLongNameGetsAShortTemporaryName)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QString(250, u'n'));
    ftp::LocalFileReplacement out(target);
    QString error;
    ASSERT_TRUE(out.open(&error)) << error.toStdString();
    const QString temp = QFileInfo(out.temporaryPath()).fileName();
    EXPECT_TRUE(temp.startsWith(QStringLiteral(".zephra-"))) << temp.toStdString();
    EXPECT_TRUE(ftp::isReplacementTemporaryName(temp));
    ASSERT_TRUE(out.commit(&error)) << error.toStdString();
    EXPECT_EQ(namesIn(dir.path()), QStringList{QString(250, u'n')});
}

// Every way a replacement can end without success: the target keeps its bytes and its mode,
// and no temporary file stays.
TEST(LocalFileReplacement, EveryFailureLeavesTheTargetAsItWasAndNothingBesideIt)
{
    enum class Way { Discard, DroppedUncommitted, TargetBecameADirectory, TargetIsADirectory, NoSuchDirectory, Fifo };
    struct Case {
        const char* name;
        Way way;
        const char* says;  // in the error; nullptr: no error is reported
    };
    const Case cases[] = {
        {"discarded", Way::Discard, nullptr},
        {"dropped without commit", Way::DroppedUncommitted, nullptr},
        {"rename refused", Way::TargetBecameADirectory, "cannot replace"},
        {"directory at the target", Way::TargetIsADirectory, "is a directory"},
        {"missing directory", Way::NoSuchDirectory, "cannot write"},
        {"fifo at the target", Way::Fifo, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        QString target = dir.filePath(QStringLiteral("keep.txt"));
        ASSERT_TRUE(writeFile(target, "precious"));
        ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0600), 0);
        QStringList before = namesIn(dir.path());
        QString error;
        switch (c.way) {
        case Way::Discard:
        case Way::DroppedUncommitted: {
            auto out = std::make_unique<ftp::LocalFileReplacement>(target);
            ASSERT_TRUE(out->open(&error));
            ASSERT_EQ(out->device()->write("partial"), 7);
            if (c.way == Way::Discard) {
                out->discard();
                out->discard();
                EXPECT_FALSE(out->commit(&error)) << "nothing is left to commit";
            }
            out.reset();
            break;
        }
        case Way::TargetBecameADirectory: {
            // Nothing there at open; a directory by the time the download is complete.
            const QString other = dir.filePath(QStringLiteral("dir"));
            ftp::LocalFileReplacement out(other);
            ASSERT_TRUE(out.open(&error)) << error.toStdString();
            ASSERT_TRUE(QDir().mkpath(other + QStringLiteral("/inside")));
            before = QStringList{QStringLiteral("dir"), QStringLiteral("keep.txt")};
            EXPECT_FALSE(out.commit(&error));
            EXPECT_TRUE(QFileInfo(other + QStringLiteral("/inside")).isDir());
            break;
        }
        case Way::TargetIsADirectory: {
            ftp::LocalFileReplacement out(dir.path());
            EXPECT_FALSE(out.open(&error));
            EXPECT_FALSE(out.isOpen());
            break;
        }
        case Way::NoSuchDirectory: {
            ftp::LocalFileReplacement out(dir.filePath(QStringLiteral("no such dir/x")));
            EXPECT_FALSE(out.open(&error));
            break;
        }
        case Way::Fifo: {
            const QString fifo = dir.filePath(QStringLiteral("pipe"));
            ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            before = namesIn(dir.path());
            ftp::LocalFileReplacement out(fifo);
            EXPECT_FALSE(out.open(&error));
            break;
        }
        }
        if (c.says) {
            EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
        }
        EXPECT_EQ(readFile(target), "precious");
        EXPECT_EQ(modeOf(target) & 07777, mode_t(0600));
        EXPECT_EQ(namesIn(dir.path()), before);
    }
}

}  // namespace

// What a broken-off download keeps: the bytes of a file that was not there, under its name; never
// anything over a file or link that was there at the start or appeared since; nothing when
// nothing arrived.
TEST(LocalFileReplacement, KeepIncompleteOnlyMakesANewFileAndNeverReplacesOne)
{
    enum class Before { Nothing, File, Link, AppearsMeanwhile };
    struct Case {
        const char* name;
        Before before;
        QByteArray arrived;
        qint64 kept;
    };
    const Case cases[] = {
        {"new file", Before::Nothing, "partial", 7},
        {"new file, nothing arrived", Before::Nothing, "", 0},
        {"a file was there", Before::File, "partial", 0},
        {"a link was there", Before::Link, "partial", 0},
        {"a file appeared meanwhile", Before::AppearsMeanwhile, "partial", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("f.bin"));
        const QString other = dir.filePath(QStringLiteral("other"));
        ASSERT_TRUE(writeFile(other, "elsewhere"));
        if (c.before == Before::File)
            ASSERT_TRUE(writeFile(target, "precious"));
        if (c.before == Before::Link)
            ASSERT_TRUE(QFile::link(other, target));
        ftp::LocalFileReplacement out(target);
        QString error;
        ASSERT_TRUE(out.open(&error)) << error.toStdString();
        if (!c.arrived.isEmpty())
            ASSERT_EQ(out.device()->write(c.arrived), c.arrived.size());
        if (c.before == Before::AppearsMeanwhile)
            ASSERT_TRUE(writeFile(target, "the user's"));
        EXPECT_EQ(out.keepIncomplete(), c.kept);
        switch (c.before) {
        case Before::Nothing:
            EXPECT_EQ(QFileInfo::exists(target), c.kept > 0);
            if (c.kept > 0) {
                EXPECT_EQ(readFile(target), c.arrived);
                EXPECT_EQ(modeOf(target) & 0777, 0666 & ~[] { const mode_t m = ::umask(0); ::umask(m); return m; }());
            }
            break;
        case Before::File:
            EXPECT_EQ(readFile(target), "precious");
            break;
        case Before::Link:
            EXPECT_TRUE(QFileInfo(target).isSymLink());
            EXPECT_EQ(readFile(other), "elsewhere");
            break;
        case Before::AppearsMeanwhile:
            EXPECT_EQ(readFile(target), "the user's");
            break;
        }
        // No temporary file stays beside it, whatever happened.
        const QStringList names = namesIn(dir.path());
        EXPECT_EQ(names.size(), QFileInfo::exists(target) || QFileInfo(target).isSymLink() ? 2 : 1)
            << names.join(u' ').toStdString();
    }
}
