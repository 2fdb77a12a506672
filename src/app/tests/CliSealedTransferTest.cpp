// zephraftp-cli put --encrypt --format sealed and get --decrypt of sealed files, run as a program
// against real servers on loopback, on both routes: the server holds only the sealed bytes, the
// round trip gives the file back, get tells the formats apart by the header, and a wrong key, a
// damaged or a cut-short server file is reported while the local file stays as it was.
#include "FtpTestServers.h"
#include "RunProgram.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <tuple>

#ifndef ZEPHRA_CLI_PATH
#error "ZEPHRA_CLI_PATH must name the zephraftp-cli executable"
#endif

namespace {

using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;
using Outcome = zephra::test::ProgramOutcome;

const QByteArray kMagic("\x89ZSF\r\n\x1a\n", 8);
constexpr qint64 kChunk = 65536;
constexpr qint64 kSeveralChunks = 3 * 1024 * 1024 + 77;
constexpr qint64 kHeader = 88;
constexpr qint64 kTag = 16;
qint64 sealedSize(qint64 plain) { return kHeader + plain + kTag * (plain / kChunk + 1); }

// (route, server)
class CliSealedTransfer : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {
protected:
    void SetUp() override
    {
        QString reason;
        server = zephra::test::sharedFtpTestServer(QString::fromLatin1(std::get<1>(GetParam())), &reason);
        if (!server)
            GTEST_SKIP() << reason.toStdString();
        dir = QStringLiteral("sealed %1").arg(++counter);
        ASSERT_TRUE(QDir().mkpath(server->rootDir() + '/' + dir));
        ASSERT_TRUE(QDir().mkpath(local.filePath(QStringLiteral("tmp"))));
    }

    Outcome run(const QStringList& arguments)
    {
        QProcessEnvironment env = server->cliEnvironment();
        env.insert(QStringLiteral("TMPDIR"), local.filePath(QStringLiteral("tmp")));
        return zephra::test::runProgram(QStringLiteral(ZEPHRA_CLI_PATH),
                                        // The servers are plain: --tls off, or every run warns.
                                        QStringList{QStringLiteral("--route"), QString::fromLatin1(std::get<0>(GetParam())),
                                                    QStringLiteral("--tls"), QStringLiteral("off")}
                                            + arguments,
                                        env);
    }
    QString keyFile(const QString& key)
    {
        const QString file = keys.filePath(QStringLiteral("key-%1.txt").arg(key));
        writeFile(file, key.toUtf8() + '\n');
        return file;
    }
    Outcome put(const QString& key, const QString& file, const QString& name, const char* format = "sealed")
    {
        return run({"put", "--encrypt", "--format", format, "--key-file", keyFile(key), file, url(name)});
    }
    Outcome get(const QString& key, const QString& name, const QString& file)
    {
        return run({"get", "--decrypt", "--key-file", keyFile(key), url(name), file});
    }
    QString url(const QString& name) const { return server->urlWithoutPassword(dir + '/' + name); }
    QString remote(const QString& name) const { return server->rootDir() + '/' + dir + '/' + name; }
    QString path(const QString& name) const { return local.filePath(name); }
    QStringList leftovers() const
    {
        return QDir(local.path()).entryList({QStringLiteral(".*zephra*")}, QDir::Files | QDir::Hidden)
               + QDir(path(QStringLiteral("tmp"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    zephra::test::FtpTestServer* server = nullptr;
    QTemporaryDir local;
    QTemporaryDir keys;
    QString dir;
    static inline int counter = 0;
};

// Sizes around the chunk boundary and a few chunks: the server holds exactly the sealed layout,
// never the plaintext, and get gives the file back.
TEST_P(CliSealedTransfer, RoundTripAndTheServerHoldsOnlySealedBytes)
{
    for (const qint64 size : {qint64(0), kChunk - 1, kChunk, kChunk + 1, kSeveralChunks}) {
        SCOPED_TRACE(size);
        const QByteArray original = pattern(size, int(size % 251));
        ASSERT_TRUE(writeFile(path(QStringLiteral("plain.bin")), original));
        Outcome o = put(QStringLiteral("123456789"), path(QStringLiteral("plain.bin")), QStringLiteral("up.bin"));
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        const QByteArray onServer = readFile(remote(QStringLiteral("up.bin")));
        EXPECT_EQ(onServer.size(), sealedSize(size));
        EXPECT_TRUE(onServer.startsWith(kMagic));
        if (size >= 64)
            EXPECT_FALSE(onServer.contains(original.mid(size / 2, 32))) << "plaintext on the server";

        const QString back = path(QStringLiteral("back.bin"));
        ASSERT_TRUE(writeFile(back, "an older local file"));
        o = get(QStringLiteral("123456789"), QStringLiteral("up.bin"), back);
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(back) == original);
        // The file command reads what the transfer wrote, and the other way round.
        o = run({"decrypt", "--key-file", keyFile("123456789"), remote(QStringLiteral("up.bin")), path(QStringLiteral("d.bin"))});
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(path(QStringLiteral("d.bin"))) == original);
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

// A sealed file that must not be written: each says why, and the local file stays as it was.
TEST_P(CliSealedTransfer, WrongKeyDamageAndTruncationReplaceNothing)
{
    const QByteArray original = pattern(200000, 7);
    ASSERT_TRUE(writeFile(path(QStringLiteral("plain.bin")), original));
    ASSERT_EQ(put(QStringLiteral("123456789"), path(QStringLiteral("plain.bin")), QStringLiteral("good.bin")).status, 0);
    const QByteArray sealed = readFile(remote(QStringLiteral("good.bin")));
    QByteArray flipped = sealed;
    flipped[kHeader + 70000] = char(flipped[kHeader + 70000] ^ 0x01);
    ASSERT_TRUE(writeFile(remote(QStringLiteral("flipped.bin")), flipped));
    QByteArray header = sealed;
    header[30] = char(header[30] ^ 0x80);  // in the salt
    ASSERT_TRUE(writeFile(remote(QStringLiteral("header.bin")), header));
    ASSERT_TRUE(writeFile(remote(QStringLiteral("cut.bin")), sealed.left(kHeader + 2 * (kChunk + kTag))));
    ASSERT_TRUE(writeFile(remote(QStringLiteral("cutinside.bin")), sealed.left(sealed.size() - 5)));
    ASSERT_TRUE(writeFile(remote(QStringLiteral("onlyhead.bin")), sealed.left(40)));

    struct Case {
        const char* name;
        const char* key;
        const char* says;
    };
    const Case cases[] = {
        {"good.bin", "987654321", "This file was sealed with another key."},
        {"flipped.bin", "123456789", "damaged"},
        {"header.bin", "123456789", "damaged"},
        {"cut.bin", "123456789", "incomplete"},
        {"cutinside.bin", "123456789", "damaged"},
        {"onlyhead.bin", "123456789", "incomplete"},
    };
    const QString keep = path(QStringLiteral("keep.bin"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeFile(keep, "the local copy"));
        const Outcome o = get(QLatin1String(c.key), QLatin1String(c.name), keep);
        EXPECT_NE(o.status, 0);
        EXPECT_TRUE(o.err.contains(QLatin1String(c.says))) << o.err.toStdString();
        EXPECT_EQ(o.err.count('\n'), 1) << o.err.toStdString();
        EXPECT_EQ(readFile(keep), "the local copy");
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

// A file of the compatible format (what put writes without --format, or with compatible)
// decrypts as before; get has no format to choose.
TEST_P(CliSealedTransfer, CompatibleFilesStillDecrypt)
{
    const QByteArray original = pattern(150000, 3);
    ASSERT_TRUE(writeFile(path(QStringLiteral("plain.bin")), original));
    Outcome o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), path(QStringLiteral("plain.bin")), url("rotor.bin")});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    o = put(QStringLiteral("123456789"), path(QStringLiteral("plain.bin")), QStringLiteral("rotor2.bin"), "compatible");
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    o = run({"encrypt", "--key-file", keyFile("123456789"), path(QStringLiteral("plain.bin")), path(QStringLiteral("ref.bin"))});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(readFile(remote(QStringLiteral("rotor.bin"))) == readFile(path(QStringLiteral("ref.bin"))));
    EXPECT_TRUE(readFile(remote(QStringLiteral("rotor2.bin"))) == readFile(path(QStringLiteral("ref.bin"))));
    // A file shorter than a header is the compatible format too.
    ASSERT_TRUE(writeFile(path(QStringLiteral("short.bin")), "short"));
    o = run({"put", "--encrypt", "--key-file", keyFile("123456789"), path(QStringLiteral("short.bin")), url("short.bin")});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    for (const char* name : {"rotor.bin", "rotor2.bin"}) {
        o = get(QStringLiteral("123456789"), QLatin1String(name), path(QStringLiteral("back.bin")));
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(path(QStringLiteral("back.bin"))) == original) << name;
    }
    o = get(QStringLiteral("123456789"), QStringLiteral("short.bin"), path(QStringLiteral("back.bin")));
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(readFile(path(QStringLiteral("back.bin"))), "short");
}

// get --continue of an encrypted file: the local file's first bytes stay and the rest comes
// checked (a sealed file from the chunk the first missing byte is in); put --continue --format
// sealed reseals from the last whole chunk on the server under its header, and refuses a copy
// sealed with another key.
TEST_P(CliSealedTransfer, ContinueKeepsTheLocalStartAndResumesSealedUploads)
{
    const QByteArray original = pattern(5 * kChunk + 321, 8);
    ASSERT_TRUE(writeFile(path(QStringLiteral("plain.bin")), original));
    ASSERT_EQ(put(QStringLiteral("123456789"), path(QStringLiteral("plain.bin")), QStringLiteral("s.bin")).status, 0);
    ASSERT_EQ(put(QStringLiteral("123456789"), path(QStringLiteral("plain.bin")), QStringLiteral("r.bin"), "compatible").status, 0);
    for (const char* name : {"s.bin", "r.bin"}) {
        SCOPED_TRACE(name);
        const QString part = path(QStringLiteral("part.bin"));
        ASSERT_TRUE(writeFile(part, original.left(2 * kChunk + 7)));
        const Outcome o = run({"get", "--continue", "--decrypt", "--key-file", keyFile("123456789"), url(QLatin1String(name)), part});
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(part) == original);
    }
    const QByteArray sent = readFile(remote(QStringLiteral("s.bin")));
    // Cut inside a chunk and one byte short of the end (longer than the plaintext itself).
    for (const qint64 cut : {sent.size() / 2, sent.size() - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(writeFile(remote(QStringLiteral("half.bin")), sent.left(cut)));
        const Outcome o = run({"put", "--continue", "--encrypt", "--format", "sealed", "--key-file", keyFile("123456789"),
                               path(QStringLiteral("plain.bin")), url(QStringLiteral("half.bin"))});
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(readFile(remote(QStringLiteral("half.bin"))) == sent) << "not the bytes of the whole upload";
    }
    ASSERT_TRUE(writeFile(remote(QStringLiteral("half.bin")), sent.left(sent.size() / 2)));
    const Outcome other = run({"put", "--continue", "--encrypt", "--format", "sealed", "--key-file", keyFile("987654321"),
                               path(QStringLiteral("plain.bin")), url(QStringLiteral("half.bin"))});
    EXPECT_NE(other.status, 0);
    EXPECT_TRUE(other.err.contains(QLatin1String("sealed with another key"))) << other.err.toStdString();
    EXPECT_TRUE(readFile(remote(QStringLiteral("half.bin"))) == sent.left(sent.size() / 2));
}

TEST_P(CliSealedTransfer, FormatOptionIsChecked)
{
    ASSERT_TRUE(writeFile(path(QStringLiteral("a.txt")), "plain"));
    const Outcome bad = run({"put", "--encrypt", "--format", "rot13", "--key-file", keyFile("123"), path("a.txt"), url("a.txt")});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(bad.err.contains(QLatin1String("compatible or sealed"))) << bad.err.toStdString();
    const Outcome plain = run({"put", "--format", "sealed", path("a.txt"), url("a.txt")});
    EXPECT_EQ(plain.status, 2);
    EXPECT_TRUE(plain.err.contains(QLatin1String("--encrypt only"))) << plain.err.toStdString();
    const Outcome get = run({"get", "--decrypt", "--format", "sealed", "--key-file", keyFile("123"), url("a.txt"), path("b.txt")});
    EXPECT_EQ(get.status, 2);
    EXPECT_FALSE(QFile::exists(remote(QStringLiteral("a.txt"))));
}

INSTANTIATE_TEST_SUITE_P(Routes, CliSealedTransfer,
                         ::testing::Combine(::testing::Values("engine", "direct"), ::testing::Values("vsftpd", "pyftpdlib")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

}  // namespace
