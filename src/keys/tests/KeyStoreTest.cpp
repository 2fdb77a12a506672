#include "keys/KeyStore.h"

#include "TestBytes.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra::keys;
using namespace zephra::testbytes;

class KeyStoreTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString appDir = dir.path() + u'/';
    KeyStore store{appDir};
    QString keyFile = appDir + QStringLiteral("key.dat");
};

TEST(KeyRecord, GoldenBytes)
{
    const QByteArray golden = QByteArray("Office") + QByteArray(34, ' ') + QByteArray("123456789123456789");
    ASSERT_EQ(golden.size(), 58);
    QString error;
    EXPECT_EQ(KeyRecord({QStringLiteral("Office"), QStringLiteral("123456789123456789")}).write(&error), golden);

    const auto read = KeyRecord::read(keyRecord("  Caf\xE9 ", " 1234 "));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->name, QStringLiteral("Café"));
    EXPECT_EQ(read->key, QStringLiteral("1234"));
    EXPECT_FALSE(KeyRecord::read(golden.left(57)).has_value());
}

TEST(KeyRecord, RefusesWhatTheFieldCannotHold)
{
    QString error;
    EXPECT_FALSE(KeyRecord({QString(41, u'n'), QStringLiteral("1")}).write(&error).has_value());
    EXPECT_TRUE(error.contains(QStringLiteral("longer than 40")));
    EXPECT_FALSE(KeyRecord({QStringLiteral("ok"), QString(19, u'1')}).write(&error).has_value());
    EXPECT_FALSE(KeyRecord({QStringLiteral("Dvořák"), QStringLiteral("1")}).write(&error).has_value());
    EXPECT_TRUE(error.contains(QStringLiteral("ř")));
}

TEST_F(KeyStoreTest, ListsAndLooksUpHandBuiltRecords)
{
    EXPECT_FALSE(findKeyByName(appDir, QStringLiteral("x")).has_value());
    EXPECT_FALSE(QFileInfo::exists(keyFile)) << "a look-up creates no store";
    ASSERT_TRUE(writeFile(keyFile, keyRecord("alpha", "111") + keyRecord("Beta", "222") + keyRecord("", "333")
                                       + keyRecord("alpha", "444")));
    const auto listing = store.names();
    EXPECT_TRUE(listing.error.isEmpty());
    EXPECT_EQ(listing.names, QStringList({"alpha", "Beta", "", "alpha"}));
    EXPECT_EQ(store.keyFor(QStringLiteral("alpha")), QStringLiteral("111")) << "first record of a name wins";
    EXPECT_FALSE(store.keyFor(QStringLiteral("beta")).has_value()) << "lookup is case-sensitive";
    EXPECT_EQ(findKeyByName(dir.path(), QStringLiteral("Beta")), QStringLiteral("222"));
    EXPECT_EQ(findKeyByName(appDir, QStringLiteral("Beta")), QStringLiteral("222"));
    EXPECT_FALSE(findKeyByName(appDir, QStringLiteral("gamma")).has_value());
}

TEST_F(KeyStoreTest, SaveAppendsThenOverwritesInPlaceIgnoringCase)
{
    ASSERT_TRUE(store.save(QStringLiteral("Office"), QStringLiteral("123")).ok);
    ASSERT_TRUE(store.save(QStringLiteral("home"), QStringLiteral("456")).ok);
    EXPECT_EQ(readFile(keyFile), keyRecord("Office", "123") + keyRecord("home", "456"));

    ASSERT_TRUE(store.save(QStringLiteral("OFFICE"), QStringLiteral("789")).ok);
    EXPECT_EQ(readFile(keyFile), keyRecord("OFFICE", "789") + keyRecord("home", "456"));
    EXPECT_TRUE(QFile::permissions(keyFile).testFlag(QFileDevice::ReadOwner));
    EXPECT_EQ(int(QFile::permissions(keyFile) & 0x0077), 0);
}

TEST_F(KeyStoreTest, RemoveDropsEveryRecordOfTheNameOnly)
{
    ASSERT_TRUE(writeFile(keyFile, keyRecord("a", "1") + keyRecord("b", "2") + keyRecord("a", "3")
                                       + keyRecord("A", "4")));
    ASSERT_TRUE(store.remove(QStringLiteral("a")).ok);
    EXPECT_EQ(readFile(keyFile), keyRecord("b", "2") + keyRecord("A", "4"));
    EXPECT_FALSE(QFileInfo::exists(store.tmpPath()));
}

// Guards the reuse of a key.tmp left by an interrupted removal (its tail survived the rewrite).
TEST_F(KeyStoreTest, RemoveDiscardsAStaleTempFile)
{
    ASSERT_TRUE(writeFile(store.tmpPath(), QByteArray(58 * 5, 'X')));
    ASSERT_TRUE(writeFile(keyFile, keyRecord("a", "1") + keyRecord("b", "2")));
    ASSERT_TRUE(store.remove(QStringLiteral("a")).ok);
    EXPECT_EQ(readFile(keyFile), keyRecord("b", "2"));
}

TEST_F(KeyStoreTest, DamagedStoreIsReportedAndNeverRewritten)
{
    const QByteArray damaged = keyRecord("a", "1") + QByteArray("partial");
    ASSERT_TRUE(writeFile(keyFile, damaged));
    const auto listing = store.names();
    EXPECT_EQ(listing.names, QStringList({"a"}));
    EXPECT_TRUE(listing.error.contains(QStringLiteral("damaged")));
    const StoreStatus saved = store.save(QStringLiteral("b"), QStringLiteral("2"));
    EXPECT_FALSE(saved.ok);
    EXPECT_FALSE(store.remove(QStringLiteral("a")).ok);
    EXPECT_EQ(readFile(keyFile), damaged);
}
