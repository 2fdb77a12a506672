// zephraftp-cli put --encrypt and get --decrypt, run as a program against vsftpd on loopback,
// on both routes: the server holds exactly what "encrypt" writes, the round trip gives the file
// back, and a bad key or a failed transfer says why and loses nothing.
#include "FtpTestServers.h"
#include "RunProgram.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifndef ZEPHRA_CLI_PATH
#error "ZEPHRA_CLI_PATH must name the zephraftp-cli executable"
#endif

namespace {

using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;

using Outcome = zephra::test::ProgramOutcome;

// key.dat records are 58 bytes: the name space-padded to 40, the key space-padded to 18.
QByteArray keyRecord(const QByteArray& name, const QByteArray& key)
{
    return name.leftJustified(40, ' ') + key.leftJustified(18, ' ');
}

class CliEncrypted : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        QString reason;
        server = zephra::test::sharedFtpTestServer(QStringLiteral("vsftpd"), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        dir = QStringLiteral("enc %1").arg(++counter);
        ASSERT_TRUE(QDir().mkpath(server->rootDir() + '/' + dir));
        ASSERT_TRUE(QDir().mkpath(local.filePath(QStringLiteral("tmp"))));
    }

    // Runs the program with the route of the test; its temporary directory is watched. The
    // servers are plain: --tls off, or every run warns that the login went in plain.
    Outcome run(const QStringList& arguments)
    {
        QProcessEnvironment env = server->cliEnvironment();
        env.insert(QStringLiteral("TMPDIR"), local.filePath(QStringLiteral("tmp")));
        return zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH),
                                        QStringList{QStringLiteral("--route"), QString::fromLatin1(GetParam()), QStringLiteral("--tls"), QStringLiteral("off")} + arguments,
                                        env);
    }

    QString url(const QString& name) const { return server->urlWithoutPassword(dir + '/' + name); }
    // A file holding the key, so that no key stands on the command line.
    QString keyFile(const QString& key)
    {
        const QString file = keys.filePath(QStringLiteral("key-%1.txt").arg(key));
        writeFile(file, key.toUtf8() + '\n');
        return file;
    }
    QString remote(const QString& name) const { return server->rootDir() + '/' + dir + '/' + name; }
    QString path(const QString& name) const { return local.filePath(name); }
    QStringList remoteFiles() const { return QDir(server->rootDir() + '/' + dir).entryList(QDir::Files | QDir::Hidden); }
    // What the program left in the local directory and its temporary directory.
    QStringList leftovers() const
    {
        return QDir(local.path()).entryList({QStringLiteral(".*zephra*")}, QDir::Files | QDir::Hidden)
               + QDir(path(QStringLiteral("tmp"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    zephra::test::FtpTestServer* server = nullptr;
    QTemporaryDir local;
    QTemporaryDir keys;  // key files, apart from what the program may leave in local
    QString dir;
    static inline int counter = 0;
};

TEST_P(CliEncrypted, ServerHoldsTheEncryptOutputAndTheRoundTripGivesTheFileBack)
{
    const QByteArray original = pattern(3 * 1024 * 1024 + 77);
    const QString plain = path(QStringLiteral("plain file.bin"));
    ASSERT_TRUE(writeFile(plain, original));
    Outcome o = run({"encrypt", "--key-file", keyFile("123456789"), plain, path(QStringLiteral("reference.bin"))});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    const QByteArray reference = readFile(path(QStringLiteral("reference.bin")));

    // An existing server file is replaced as a whole, under its own name and nothing else.
    ASSERT_TRUE(writeFile(remote(QStringLiteral("up.bin")), pattern(5 * 1024 * 1024)));
    o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), plain, url(QStringLiteral("up.bin"))});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(readFile(remote(QStringLiteral("up.bin"))) == reference);
    EXPECT_EQ(remoteFiles(), QStringList{QStringLiteral("up.bin")});

    // The same key from the key store decrypts it.
    const QString home = path(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(home));
    ASSERT_TRUE(writeFile(home + QStringLiteral("/key.dat"), keyRecord("Office", "987654321") + keyRecord("work", "123456789")));
    const QString back = path(QStringLiteral("back.bin"));
    ASSERT_TRUE(writeFile(back, "an older, different file that is longer than nothing"));
    o = run({"get", "--decrypt", "--key-name", "work", "--home", home, url(QStringLiteral("up.bin")), back});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(readFile(back) == original);

    // An empty file goes both ways too.
    ASSERT_TRUE(writeFile(plain, QByteArray()));
    o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), plain, url(QStringLiteral("empty.bin"))});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(readFile(remote(QStringLiteral("empty.bin"))), QByteArray());
    o = run({"get", "--decrypt", "--key-file", keyFile("123456789"), url(QStringLiteral("empty.bin")), back});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(readFile(back), QByteArray());
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

TEST_P(CliEncrypted, BadKeysAreRefusedBeforeAnythingMoves)
{
    ASSERT_TRUE(writeFile(path(QStringLiteral("a.txt")), "plain text"));
    ASSERT_TRUE(writeFile(remote(QStringLiteral("a.txt")), "server copy"));
    ASSERT_TRUE(writeFile(path(QStringLiteral("keep.txt")), "local copy"));
    const QString home = path(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(home));
    ASSERT_TRUE(writeFile(home + QStringLiteral("/key.dat"), keyRecord("work", "123456789")));

    struct Bad {
        QStringList arguments;
        const char* says;
        int status;  // 1 a key that cannot be used, 2 usage
    };
    const Bad bad[] = {
        {{"put", "--encrypt", "--key-file", keyFile("12ab"), path("a.txt"), url("a.txt")}, "only the digits", 1},
        {{"get", "--decrypt", "--key-file", keyFile("0012"), url("a.txt"), path("keep.txt")}, "cannot make a keyspace", 1},
        {{"put", "--encrypt", "--key-name", "absent", "--home", home, path("a.txt"), url("a.txt")}, "no key named \"absent\"", 1},
        {{"get", "--decrypt", "--key-name", "absent", "--home", home, url("a.txt"), path("keep.txt")}, "no key named \"absent\"", 1},
        {{"put", "--encrypt", path("a.txt"), url("a.txt")}, "needs --key KEY or --key-name NAME", 2},
        {{"put", "--key-file", keyFile("123"), path("a.txt"), url("a.txt")}, "for --encrypt only", 2},
        {{"get", "--encrypt", "--key-file", keyFile("123"), url("a.txt"), path("keep.txt")}, "unknown option --encrypt", 2},
        {{"put", "--encrypt", "--key-file", keyFile("123"), "--key-name", "work", "--home", home, path("a.txt"), url("a.txt")}, "only one of", 2},
        {{"put", "--encrypt", "--key-file", path("no-such-key-file"), path("a.txt"), url("a.txt")}, "cannot read", 3},
    };
    for (const Bad& b : bad) {
        const Outcome o = run(b.arguments);
        EXPECT_EQ(o.status, b.status) << b.arguments.join(' ').toStdString();
        EXPECT_TRUE(o.err.startsWith(QStringLiteral("zephraftp-cli: ")) && o.err.count('\n') == 1) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains(QLatin1String(b.says))) << o.err.toStdString();
    }
    EXPECT_EQ(readFile(remote(QStringLiteral("a.txt"))), "server copy");
    EXPECT_EQ(readFile(path(QStringLiteral("keep.txt"))), "local copy");
    EXPECT_EQ(remoteFiles(), QStringList{QStringLiteral("a.txt")});
}

// put --encrypt FILE... URL/ and get --decrypt URL... DIR/ give every file back.
TEST_P(CliEncrypted, SeveralFilesRoundTrip)
{
    ASSERT_TRUE(QDir().mkpath(server->rootDir() + '/' + dir + QStringLiteral("/many")));
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("back"))));
    const QList<QByteArray> contents = {"one", QByteArray(70000, 'z'), ""};
    QStringList files;
    for (qsizetype i = 0; i < contents.size(); ++i) {
        files << path(QStringLiteral("f%1.txt").arg(i));
        ASSERT_TRUE(writeFile(files.last(), contents[i]));
    }
    Outcome o = run(QStringList{"put", "--encrypt", "--key-file", keyFile("123456789")} + files + QStringList{url("many/")});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    QStringList urls;
    for (qsizetype i = 0; i < contents.size(); ++i)
        urls << url(QStringLiteral("many/f%1.txt").arg(i));
    o = run(QStringList{"get", "--decrypt", "--key-file", keyFile("123456789")} + urls + QStringList{path("back") + '/'});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    for (qsizetype i = 0; i < contents.size(); ++i) {
        EXPECT_EQ(readFile(path(QStringLiteral("back/f%1.txt").arg(i))), contents[i]) << i;
        if (!contents[i].isEmpty()) {
            EXPECT_NE(readFile(remote(QStringLiteral("many/f%1.txt").arg(i))), contents[i]) << "sent encrypted: " << i;
        }
    }
}

// put -r --encrypt and get -r --decrypt: the tree comes back as it was, and the server holds
// only ciphertext.
TEST_P(CliEncrypted, TreeRoundTrip)
{
    const QString tree = path(QStringLiteral("t"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/inner")));
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/a.txt"), "alpha"));
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/inner/b.bin"), QByteArray(50000, 'b')));
    Outcome o = run({"put", "-r", "--encrypt", "--key-file", keyFile("123456789"), tree, url(QString()) + '/'});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_NE(readFile(remote(QStringLiteral("t/inner/b.bin"))), QByteArray(50000, 'b'));
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("back"))));
    o = run({"get", "-r", "--decrypt", "--key-file", keyFile("123456789"), url(QStringLiteral("t")), path(QStringLiteral("back")) + '/'});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(readFile(path(QStringLiteral("back/t/a.txt"))), "alpha");
    EXPECT_EQ(readFile(path(QStringLiteral("back/t/inner/b.bin"))), QByteArray(50000, 'b'));
}

TEST_P(CliEncrypted, FailedTransfersLoseNothing)
{
    const QString keep = path(QStringLiteral("keep.txt"));
    ASSERT_TRUE(writeFile(keep, "local copy"));
    Outcome o = run({"get", "--decrypt", "--key-file", keyFile("123456789"), url(QStringLiteral("missing.bin")), keep});
    EXPECT_EQ(o.status, 6) << "the server refused the command";
    EXPECT_TRUE(o.err.startsWith(QStringLiteral("zephraftp-cli: get: "))) << o.err.toStdString();
    EXPECT_EQ(readFile(keep), "local copy");

    // A local file that does not exist leaves the server's file as it was.
    ASSERT_TRUE(writeFile(remote(QStringLiteral("a.txt")), "server copy"));
    o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), path(QStringLiteral("absent.txt")), url(QStringLiteral("a.txt"))});
    EXPECT_EQ(o.status, 3) << "a local file error";
    EXPECT_TRUE(o.err.contains(QStringLiteral("absent.txt"))) << o.err.toStdString();
    // A server that refuses the upload (no such directory) stores nothing, and says why.
    o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), keep, url(QStringLiteral("no/such/dir/a.txt"))});
    EXPECT_EQ(o.status, 6) << "the server refused the command";
    EXPECT_TRUE(o.err.startsWith(QStringLiteral("zephraftp-cli: put: ")) && o.err.count('\n') == 1) << o.err.toStdString();
    EXPECT_FALSE(o.err.contains(QStringLiteral("copy"))) << o.err.toStdString();
    EXPECT_EQ(readFile(remote(QStringLiteral("a.txt"))), "server copy");
    EXPECT_EQ(remoteFiles(), QStringList{QStringLiteral("a.txt")});
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Routes, CliEncrypted, ::testing::Values("engine", "direct"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
