#include "app/ProfileStore.h"
#include "../../../tests/support/TestFiles.h"  // this program links no test support library

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace zephra::app;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

QByteArray padded(const char* text, int width)
{
    QByteArray b(text);
    return b + QByteArray(width - b.size(), ' ');
}

// One connect.dat record, laid out by hand: name 80, address 80, user 40, password 20,
// passive 1, port 4.
QByteArray profile(const char* name, const char* addr, const char* user, const char* pass, char passive,
                   const char* port)
{
    return padded(name, 80) + padded(addr, 80) + padded(user, 40) + padded(pass, 20) + QByteArray(1, passive)
        + padded(port, 4);
}

}  // namespace

TEST(ConnectionRecord, GoldenBytesBothWays)
{
    const QByteArray golden = profile("Work", "ftp.example.org", "jan", "s\xE9same", 'Y', "2121");
    ASSERT_EQ(golden.size(), 225);
    ConnectionRecord r{QStringLiteral("Work"), QStringLiteral("ftp.example.org"), QStringLiteral("jan"),
                       QStringLiteral("sésame"), true, QStringLiteral("2121")};
    QString error;
    EXPECT_EQ(r.write(&error), golden);

    const auto back = ConnectionRecord::read(profile("  Work ", "h", "u", "", 'N', "21"));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->name, QStringLiteral("Work"));
    EXPECT_EQ(back->port, QStringLiteral("21"));
    EXPECT_FALSE(back->passive);
    EXPECT_FALSE(ConnectionRecord::read(golden.left(224)).has_value());
    // Anything but "Y" is not passive.
    EXPECT_FALSE(ConnectionRecord::read(profile("a", "b", "c", "d", 'y', "21"))->passive);
}

TEST(ConnectionRecord, RefusesOverlongAndUnstorableValues)
{
    QString error;
    ConnectionRecord r{QStringLiteral("n"), QStringLiteral("h"), QStringLiteral("u"), QString(21, u'p'), false,
                       QStringLiteral("21")};
    EXPECT_FALSE(r.write(&error).has_value());
    EXPECT_TRUE(error.contains(QStringLiteral("password")));
    r.password = QStringLiteral("p");
    r.user = QStringLiteral("Łukasz");
    EXPECT_FALSE(r.write(&error).has_value());
    EXPECT_TRUE(error.contains(QStringLiteral("Ł")));
}

TEST(ConnectionRecord, OverlongValuesAreNamedAndCutToTheirFields)
{
    const ConnectionRecord fits{QString(80, u'n'), QString(80, u'a'), QString(40, u'u'), QString(20, u'p'), true,
                                QStringLiteral("21")};
    EXPECT_TRUE(fits.overlongFields().isEmpty());
    QString error;
    EXPECT_EQ(fits.cutToWidths().write(&error), fits.write(&error));

    const ConnectionRecord r{QString(81, u'n'), QStringLiteral("h"), QString(255, u'u'),
                             QStringLiteral("correct horse battery staple"), false, QStringLiteral("2121")};
    const auto overlong = r.overlongFields();
    ASSERT_EQ(overlong.size(), 3);
    const QList<std::tuple<QString, qsizetype, int>> expected = {
        {"Name", 81, 80}, {"User", 255, 40}, {"Password", 28, 20}};
    for (qsizetype i = 0; i < overlong.size(); ++i)
        EXPECT_EQ(std::make_tuple(overlong[i].field, overlong[i].length, overlong[i].width), expected[i]) << i;
    EXPECT_EQ(r.cutToWidths().write(&error),
              profile(QByteArray(80, 'n').constData(), "h", QByteArray(40, 'u').constData(), "correct horse batter",
                      'N', "2121"));
}

TEST(ProfileStore, LastRecordOfANameWinsOnSelectFirstIsOverwrittenOnSave)
{
    QTemporaryDir dir;
    ProfileStore store(dir.path() + u'/');
    writeFile(store.path(), profile("A", "one", "u1", "p1", 'N', "21") + profile("B", "two", "u2", "p2", 'Y', "22")
                                + profile("A", "three", "u3", "p3", 'Y', "23"));
    EXPECT_EQ(store.names().names, QStringList({"A", "B", "A"}));
    EXPECT_EQ(store.find(QStringLiteral("A"))->address, QStringLiteral("three"));
    EXPECT_FALSE(store.find(QStringLiteral("a")).has_value());

    ConnectionRecord r{QStringLiteral("A"), QStringLiteral("new"), QStringLiteral("u"), QStringLiteral("p"), false,
                       QStringLiteral("99")};
    ASSERT_TRUE(store.save(r).ok);
    EXPECT_EQ(readFile(store.path()), profile("A", "new", "u", "p", 'N', "99") + profile("B", "two", "u2", "p2", 'Y', "22")
                                          + profile("A", "three", "u3", "p3", 'Y', "23"));
    ASSERT_TRUE(store.remove(QStringLiteral("A")).ok);
    EXPECT_EQ(readFile(store.path()), profile("B", "two", "u2", "p2", 'Y', "22"));
    EXPECT_FALSE(QFileInfo::exists(store.tmpPath()));
}

// Guards reuse of a connect.tmp left by an interrupted removal: its old tail would survive.
TEST(ProfileStore, RemoveIgnoresALeftoverTempFile)
{
    QTemporaryDir dir;
    ProfileStore store(dir.path() + u'/');
    const QByteArray b = profile("B", "two", "u2", "p2", 'Y', "22");
    writeFile(store.path(), profile("A", "one", "u1", "p1", 'N', "21") + b);
    writeFile(store.tmpPath(), QByteArray(225 * 3, 'X'));
    ASSERT_TRUE(store.remove(QStringLiteral("A")).ok);
    EXPECT_EQ(readFile(store.path()), b);
}
