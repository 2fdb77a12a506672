#include "keys/KeyFileOps.h"

#include "TestBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>  // link()

using namespace zephra::keys;
using namespace zephra::testbytes;

class KeyFileOpsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir(root.path()).mkpath(QStringLiteral("app"));
        QDir(root.path()).mkpath(QStringLiteral("stick"));
    }
    QTemporaryDir root;
    QString appDir = root.filePath(QStringLiteral("app")) + u'/';
    QString stick = root.filePath(QStringLiteral("stick")) + u'/';
    QByteArray store = keyRecord("Office", "123456789123456789") + keyRecord("home", "987654321");
};

TEST_F(KeyFileOpsTest, TransferAndRestoreCopyTheStoreByteForByte)
{
    ASSERT_TRUE(writeFile(appDir + "key.dat", store));
    ASSERT_TRUE(writeFile(stick + "key.dat", "an older copy"));
    ASSERT_TRUE(transferStore(appDir, stick).ok);
    EXPECT_EQ(readFile(stick + "key.dat"), store);

    ASSERT_TRUE(writeFile(appDir + "key.dat", keyRecord("other", "1")));
    ASSERT_TRUE(restoreStore(stick, appDir).ok);
    EXPECT_EQ(readFile(appDir + "key.dat"), store);
    EXPECT_EQ(int(QFile::permissions(appDir + "key.dat") & 0x0077), 0);
}

TEST_F(KeyFileOpsTest, FailedCopiesSayWhyAndChangeNothing)
{
    StoreStatus s = transferStore(appDir, stick);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.message.contains(QStringLiteral("no key file to transfer")));

    ASSERT_TRUE(writeFile(appDir + "key.dat", store));
    s = transferStore(appDir, appDir);
    EXPECT_FALSE(s.ok) << "source and destination are one file";
    EXPECT_EQ(readFile(appDir + "key.dat"), store);

    s = transferStore(appDir, root.filePath(QStringLiteral("missing")));
    EXPECT_FALSE(s.ok);

    s = restoreStore(stick, appDir);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.message.contains(QStringLiteral("no key file in")));

    ASSERT_TRUE(writeFile(stick + "key.dat", "not a key store"));
    s = restoreStore(stick, appDir);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.message.contains(QStringLiteral("not a key file")));
    EXPECT_EQ(readFile(appDir + "key.dat"), store);

    EXPECT_FALSE(restoreStore(appDir, appDir).ok);
    EXPECT_EQ(readFile(appDir + "key.dat"), store);
}

TEST_F(KeyFileOpsTest, AnUnwritableDestinationFailsCleanly)
{
    ASSERT_TRUE(writeFile(appDir + "key.dat", store));
    // A directory where the copy should go cannot be written, not even by root.
    ASSERT_TRUE(QDir(stick).mkdir(QStringLiteral("key.dat")));
    const StoreStatus s = transferStore(appDir, stick);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.message.contains(QStringLiteral("not transferred")));
    EXPECT_EQ(readFile(appDir + "key.dat"), store);
    EXPECT_TRUE(QFileInfo(stick + "key.dat").isDir());
    EXPECT_TRUE(QDir(stick).entryList(QDir::Files | QDir::Hidden).isEmpty()) << "no temporary file left behind";
}

// Guards the described re-create-and-write deletion, which never reached the old data blocks:
// a hard link still sees the file's own blocks, and they must hold no key any more.
TEST_F(KeyFileOpsTest, DeleteOverwritesTheFileItselfThenRemovesIt)
{
    ASSERT_TRUE(writeFile(appDir + "key.dat", store));
    const QString link = root.filePath(QStringLiteral("same-blocks"));
    ASSERT_EQ(::link(QFile::encodeName(appDir + "key.dat").constData(), QFile::encodeName(link).constData()), 0);

    ASSERT_TRUE(deleteStore(appDir).ok);
    EXPECT_FALSE(QFileInfo::exists(appDir + "key.dat"));
    EXPECT_EQ(readFile(link), QByteArray(store.size(), '@'));
    EXPECT_TRUE(deleteStore(appDir).ok) << "deleting a missing store succeeds";
}
