// The profiles' TLS choices (tls.dat) and the trusted certificates (trusted-certs.dat): what is
// written comes back, the files are owner-only, and a file that cannot be read is never
// written over.
#include "app/CertificateTrustStore.h"
#include "app/ProfileTlsStore.h"
#include "../../../tests/support/TestFiles.h"  // this program links no test support library

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace zephra;
using namespace zephra::app;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QFileDevice::Permissions unixMode(const QString& path)
{
    // ReadUser/WriteUser repeat the owner's bits: compare the owner, group and other bits only.
    return QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

class TlsStoresTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString appDir = dir.path() + u'/';
};

struct NamedChoice {
    QString name;
    ftp::TlsMode mode;
};

}  // namespace

TEST_F(TlsStoresTest, EveryNameKeepsItsOwnChoiceAndRemoveDropsOnlyItsLine)
{
    const QList<NamedChoice> rows = {
        {QStringLiteral("Work"), ftp::TlsMode::Require},
        {QStringLiteral("Home server"), ftp::TlsMode::Plain},            // a blank inside the name
        {QStringLiteral("100% sure"), ftp::TlsMode::IfOffered},          // the escape character itself
        {QStringLiteral("Dvořák café"), ftp::TlsMode::Require},          // beyond Latin-1
        {QStringLiteral("two\nlines\r"), ftp::TlsMode::Plain},           // would split a line
        {QStringLiteral("#hash"), ftp::TlsMode::Plain},                  // looks like a comment
    };
    const ProfileTlsStore store(appDir);
    for (const NamedChoice& row : rows)
        ASSERT_TRUE(store.setChoice(row.name, row.mode).ok) << row.name.toStdString();
    for (const NamedChoice& row : rows) {
        const ProfileTlsStore::Choice got = store.choice(row.name);
        EXPECT_TRUE(got.error.isEmpty());
        EXPECT_EQ(got.mode, row.mode) << row.name.toStdString();
    }
    // A profile saved before the file existed, or never given a choice, gets the default.
    EXPECT_EQ(store.choice(QStringLiteral("Unknown")).mode, ftp::TlsMode::IfOffered);
    EXPECT_EQ(store.choice(QStringLiteral("work")).mode, ftp::TlsMode::IfOffered);  // case counts, as in connect.dat

    ASSERT_TRUE(store.remove(QStringLiteral("Work")).ok);
    ASSERT_TRUE(store.remove(QStringLiteral("never stored")).ok);
    EXPECT_EQ(store.choice(QStringLiteral("Work")).mode, ftp::TlsMode::IfOffered);
    EXPECT_EQ(store.choice(QStringLiteral("Home server")).mode, ftp::TlsMode::Plain);
    EXPECT_EQ(unixMode(store.path()), kOwnerOnly);
}

TEST_F(TlsStoresTest, BothFilesAreOwnerOnlyWhateverTheUmaskAndAnEarlierModeWere)
{
    // Guards the temporary file QSaveFile makes: created with the umask unless narrowed.
    const mode_t old = ::umask(0);
    const ProfileTlsStore tls(appDir);
    const CertificateTrustStore trust(appDir);
    ASSERT_TRUE(tls.setChoice(QStringLiteral("A"), ftp::TlsMode::Require).ok);
    ASSERT_TRUE(trust.trust(QStringLiteral("h"), 21, QByteArray(32, '\x01')).ok);
    EXPECT_EQ(unixMode(tls.path()), kOwnerOnly);
    EXPECT_EQ(unixMode(trust.path()), kOwnerOnly);

    // A file someone made readable is narrowed on the next write, not copied as it is.
    QFile::setPermissions(tls.path(), kOwnerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    ASSERT_TRUE(tls.setChoice(QStringLiteral("B"), ftp::TlsMode::Plain).ok);
    ::umask(old);
    EXPECT_EQ(unixMode(tls.path()), kOwnerOnly);
}

TEST_F(TlsStoresTest, AChoiceThatCannotBeReadIsNeverWeakerThanRequire)
{
    writeFile(appDir + QLatin1String(ProfileTlsStore::kFileName),
              "# a comment\nrequire A\nplain B\nstrict-tls C\n\nbroken-line\r\nif-offered D\r\n");
    const ProfileTlsStore store(appDir);
    EXPECT_EQ(store.choice(QStringLiteral("A")).mode, ftp::TlsMode::Require);
    EXPECT_EQ(store.choice(QStringLiteral("B")).mode, ftp::TlsMode::Plain);
    EXPECT_EQ(store.choice(QStringLiteral("C")).mode, ftp::TlsMode::Require);  // a word from a newer file
    EXPECT_EQ(store.choice(QStringLiteral("D")).mode, ftp::TlsMode::IfOffered);  // CR LF line ends
}

TEST_F(TlsStoresTest, AFileThatCannotBeReadIsReportedAndNotWrittenOver)
{
    // Made unreadable by mode bits where that works (not for root), else by being a directory.
    const ProfileTlsStore tls(appDir);
    const CertificateTrustStore trust(appDir);
    writeFile(tls.path(), "require A\n");
    QFile::setPermissions(tls.path(), {});
    const bool byMode = !QFile(tls.path()).open(QIODevice::ReadOnly);
    if (!byMode) {
        QFile::remove(tls.path());
        ASSERT_TRUE(QDir().mkdir(tls.path()));
    }
    ASSERT_TRUE(QDir().mkdir(trust.path()));

    const ProfileTlsStore::Choice choice = tls.choice(QStringLiteral("A"));
    EXPECT_FALSE(choice.error.isEmpty());
    EXPECT_FALSE(tls.setChoice(QStringLiteral("B"), ftp::TlsMode::Plain).ok);
    EXPECT_FALSE(tls.remove(QStringLiteral("A")).ok);
    EXPECT_FALSE(trust.trusted(QStringLiteral("h"), 21).error.isEmpty());
    EXPECT_FALSE(trust.trust(QStringLiteral("h"), 21, QByteArray(32, '\x03')).ok);
    if (byMode) {
        QFile::setPermissions(tls.path(), kOwnerOnly);
        EXPECT_EQ(readFile(tls.path()), "require A\n");
    }
}

TEST_F(TlsStoresTest, TrustIsPerHostAndPortAndANewCertificateReplacesOnlyItsServer)
{
    const CertificateTrustStore store(appDir);
    const QByteArray a(32, '\xA1'), b(32, '\xB2'), c(32, '\xC3');
    ASSERT_TRUE(store.trust(QStringLiteral("FTP.Example.org"), 21, a).ok);
    ASSERT_TRUE(store.trust(QStringLiteral("ftp.example.org"), 990, b).ok);
    ASSERT_TRUE(store.trust(QStringLiteral("::1"), 21, c).ok);

    struct Row {
        QString host;
        int port;
        QByteArray expected;
    };
    const QList<Row> rows = {
        {QStringLiteral("ftp.example.org"), 21, a},   // host names compare without case
        {QStringLiteral("ftp.example.org"), 990, b},  // another port is another server
        {QStringLiteral("ftp.example.org"), 2121, {}},
        {QStringLiteral("::1"), 21, c},
        {QStringLiteral("[::1]"), 21, c},
        {QStringLiteral("127.0.0.1"), 21, {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(store.trusted(row.host, row.port).sha256, row.expected) << row.host.toStdString() << ':' << row.port;

    ASSERT_TRUE(store.trust(QStringLiteral("ftp.example.org"), 21, c).ok);
    EXPECT_EQ(store.trusted(QStringLiteral("ftp.example.org"), 21).sha256, c);
    EXPECT_EQ(store.trusted(QStringLiteral("ftp.example.org"), 990).sha256, b);
    // The file is what a person can read and edit: fingerprint as certificate tools print it.
    EXPECT_TRUE(readFile(store.path()).contains(c.toHex(':').toUpper() + " [::1]:21\n"));
}

TEST_F(TlsStoresTest, ALineEditedIntoNonsenseTrustsNothing)
{
    const QByteArray good = QByteArray(32, '\x11').toHex(':');
    writeFile(appDir + QLatin1String(CertificateTrustStore::kFileName),
              "AB:CD h1:21\n" + good + "\nnot-hex h3:21\n" + good.toUpper() + "  h4:21  \r\n");
    const CertificateTrustStore store(appDir);
    EXPECT_TRUE(store.trusted(QStringLiteral("h1"), 21).sha256.isEmpty());  // too short
    EXPECT_TRUE(store.trusted(QStringLiteral("h3"), 21).sha256.isEmpty());
    EXPECT_EQ(store.trusted(QStringLiteral("h4"), 21).sha256, QByteArray(32, '\x11'));
}
