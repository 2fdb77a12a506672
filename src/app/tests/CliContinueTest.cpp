// zephraftp-cli get --continue and put --continue, run as a program against vsftpd and
// pyftpdlib on loopback, on both routes: a cut transfer, plain or encrypted, is completed to
// exactly the bytes a whole one gives, and the bytes already there are never changed.
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

struct Param {
    const char* server;
    const char* route;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + "_" + info.param.route;
}

class CliContinue : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        QString reason;
        server = zephra::test::sharedFtpTestServer(QString::fromLatin1(GetParam().server), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        dir = QStringLiteral("cont %1").arg(++counter);
        ASSERT_TRUE(QDir().mkpath(server->rootDir() + '/' + dir));
        writeFile(keys.filePath("key.txt"), "271828182845904523\n");
    }

    zephra::test::ProgramOutcome run(const QStringList& arguments)
    {
        return zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH),
                                        QStringList{"--route", QString::fromLatin1(GetParam().route)} + arguments,
                                        server->cliEnvironment());
    }
    QString url(const QString& name) const { return server->urlWithoutPassword(dir + '/' + name); }
    QString remote(const QString& name) const { return server->rootDir() + '/' + dir + '/' + name; }
    QString path(const QString& name) const { return local.filePath(name); }
    QByteArray ciphertextOf(const QString& file)
    {
        const QString out = keys.filePath("expected.bin");
        QFile::remove(out);
        const auto r = zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH),
                                                {"encrypt", "--key-file", keys.filePath("key.txt"), file, out});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return readFile(out);
    }

    zephra::test::FtpTestServer* server = nullptr;
    QTemporaryDir local, keys;
    QString dir;
    static inline int counter = 0;
};

TEST_P(CliContinue, CutTransfersAreCompletedToTheWholeTransfersBytes)
{
    const QByteArray plain = pattern(1536 * 1024 + 77, 4);
    writeFile(path("source.bin"), plain);
    const QByteArray cipher = ciphertextOf(path("source.bin"));
    ASSERT_EQ(cipher.size(), plain.size());
    const QStringList key{"--key-file", keys.filePath("key.txt")};
    for (const qint64 cut : {qint64(0), qint64(1), qint64(65537), qint64(1024 * 1024), qint64(plain.size())}) {
        SCOPED_TRACE(cut);
        // get: the local file holds the first bytes (of the plaintext, when decrypting).
        writeFile(remote("plain.bin"), plain);
        writeFile(remote("cipher.bin"), cipher);
        writeFile(path("got-plain.bin"), plain.left(cut));
        writeFile(path("got-decrypted.bin"), plain.left(cut));
        auto r = run({"get", "--quiet", "--continue", url("plain.bin"), path("got-plain.bin")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(readFile(path("got-plain.bin")) == plain);
        r = run(QStringList{"get", "--quiet", "--continue", "--decrypt"} + key + QStringList{url("cipher.bin"), path("got-decrypted.bin")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(readFile(path("got-decrypted.bin")) == plain);

        // put: the server's copy holds the first bytes (of the ciphertext, when encrypting).
        writeFile(remote("put-plain.bin"), plain.left(cut));
        writeFile(remote("put-cipher.bin"), cipher.left(cut));
        writeFile(path("put-plain.bin"), plain);
        writeFile(path("put-cipher.bin"), plain);
        r = run({"put", "--quiet", "--continue", path("put-plain.bin"), url("put-plain.bin")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(readFile(remote("put-plain.bin")) == plain);
        r = run(QStringList{"put", "--quiet", "--continue", "--encrypt"} + key + QStringList{path("put-cipher.bin"), url("put-cipher.bin")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(readFile(remote("put-cipher.bin")) == cipher);
    }

    // Without an existing file the whole file moves; a server copy longer than the local file is
    // refused and left alone.
    QFile::remove(remote("fresh.bin"));
    auto r = run({"put", "--quiet", "--continue", path("source.bin"), url("fresh.bin")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(readFile(remote("fresh.bin")) == plain);
    writeFile(remote("long.bin"), plain + "more");
    r = run({"put", "--quiet", "--continue", path("source.bin"), url("long.bin")});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.err.contains("longer")) << r.err.toStdString();
    EXPECT_TRUE(readFile(remote("long.bin")) == plain + "more");
}

TEST(CliContinueHelp, TheOptionIsDocumented)
{
    const auto r = zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH), {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE((r.out + r.err).contains("--continue"));
}

INSTANTIATE_TEST_SUITE_P(Servers, CliContinue,
                         ::testing::Values(Param{"vsftpd", "engine"}, Param{"vsftpd", "direct"},
                                           Param{"pyftpdlib", "engine"}, Param{"pyftpdlib", "direct"}),
                         paramName);

}  // namespace
