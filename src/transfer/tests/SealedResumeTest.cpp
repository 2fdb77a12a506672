// Resuming sealed transfers over both routes against vsftpd and pyftpdlib (and the scripted
// server, which shows the REST offsets): a route reads a server file's first bytes and the
// session goes on; a sealed upload cut anywhere and resumed leaves the bytes of a whole upload
// under the header already sent; a resumed decrypted download restarts at a chunk boundary and
// gives the whole plaintext; a wrong key or a server copy that is not sealed sends or writes
// nothing, and the local start is never touched.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "RouteSession.h"
#include "TestFiles.h"
#include "crypto/Engine.h"
#include "crypto/sealed/KeyRing.h"
#include "ftp/Connection.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/SealedTransfer.h"
#include "transfer/TransferRun.h"

using namespace zephra;
using namespace zephra::transfer;
namespace sealed = zephra::crypto::sealed;
using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;
using Kind = TransferItem::Kind;

namespace {

constexpr qint64 kChunk = qint64(sealed::kChunkSize);
constexpr qint64 kSealedChunk = qint64(sealed::kSealedChunkSize);
constexpr qint64 kHeader = qint64(sealed::kHeaderSize);
constexpr auto kKeyText = "3141592653589793238462643383279";

struct Param {
    const char* server;  // "vsftpd", "pyftpdlib" or "fake"
    bool engine;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + (info.param.engine ? "_engine" : "_direct");
}

class SealedResumeTest : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_local.isValid() && m_scratch.isValid());
        if (!m_session.start(GetParam().server, GetParam().engine))
            GTEST_SKIP() << m_session.skipReason().toStdString();
        ASSERT_FALSE(HasFailure());
        m_route = &m_session.route();
        m_fake = m_session.fake();
        std::unique_ptr<crypto::Cipher> rotor;
        ASSERT_TRUE(crypto::Engine::makeCipher(kKeyText, rotor).ok());
        m_cipher = std::move(rotor);
        ASSERT_TRUE(sealed::KeyRing::create(kKeyText, m_keys).ok());
        ASSERT_TRUE(m_keys->prepare().ok());
        m_route->setSealedOptions({m_keys, true});
    }

    bool isFake() const { return QLatin1String(GetParam().server) == QLatin1String("fake"); }
    QString remote(const QString& name) const { return m_session.remote(name); }
    QString local(const QString& name) const { return m_local.filePath(name); }

    RunSummary run(const TransferItem& item)
    {
        TransferRun run(*m_route, {item}, m_cipher);
        QSignalSpy finished(&run, &TransferRun::finished);
        run.start();
        EXPECT_TRUE(finished.wait(120000));
        return finished.isEmpty() ? RunSummary{} : finished.at(0).at(0).value<RunSummary>();
    }

    std::pair<Outcome, QByteArray> peek(const QByteArray& name, qint64 n)
    {
        QSignalSpy peeked(m_route, &RemoteRoute::peeked);
        m_route->peek(name, n);
        EXPECT_TRUE(peeked.wait(30000));
        if (peeked.isEmpty())
            return {Outcome::failure(QStringLiteral("no end")), {}};
        return {peeked.at(0).at(0).value<Outcome>(), peeked.at(0).at(1).toByteArray()};
    }

    // The whole sealed file of plain under keys (a fresh salt), as a whole upload sends it.
    QByteArray sealWhole(const QByteArray& plain, std::shared_ptr<sealed::KeyRing> keys)
    {
        const QString in = m_scratch.filePath(QStringLiteral("to-seal"));
        EXPECT_TRUE(writeFile(in, plain));
        SealingReader reader(std::move(keys));
        QString error;
        EXPECT_TRUE(reader.open(in, &error)) << error.toStdString();
        QByteArray out;
        QByteArray buffer(1 << 20, '\0');
        for (int guard = 0; guard < 10000; ++guard) {
            const qint64 n = reader.read(buffer.data(), buffer.size());
            EXPECT_GE(n, 0) << reader.errorString().toStdString();
            if (n <= 0)
                break;
            out.append(buffer.constData(), n);
        }
        return out;
    }

    // The plaintext of a sealed file, opened as a whole download would (empty when it fails).
    QByteArray openWhole(const QByteArray& sealedBytes)
    {
        OpeningWriter writer(*m_cipher, m_keys);
        const QString out = m_scratch.filePath(QStringLiteral("opened"));
        QFile::remove(out);
        QString error;
        if (!writer.open(out, &error) || !writer.write(sealedBytes.constData(), sealedBytes.size()) || !writer.commit(&error))
            return {};
        return readFile(out);
    }

    QStringList restCommands() const
    {
        QStringList rest;
        if (m_fake)
            for (const QString& c : m_fake->commands())
                if (c.startsWith(QLatin1String("REST ")) || c.startsWith(QLatin1String("APPE ")))
                    rest << c;
        return rest;
    }

    QTemporaryDir m_local, m_scratch;
    test::RouteSession m_session;
    test::FakeFtpServer* m_fake = nullptr;  // the scripted server, when it is the one
    std::shared_ptr<const crypto::Cipher> m_cipher;
    std::shared_ptr<sealed::KeyRing> m_keys;
    RemoteRoute* m_route = nullptr;
};

}  // namespace

// A peek gives the first bytes (all of a shorter file), stops the transfer, and the session
// goes on: the next download after it is whole.
TEST_P(SealedResumeTest, APeekReadsTheFirstBytesAndTheSessionGoesOn)
{
    const QByteArray big = pattern(3 * 1024 * 1024 + 5, 1);
    ASSERT_TRUE(writeFile(remote("big.bin"), big));
    ASSERT_TRUE(writeFile(remote("short.bin"), "short"));
    ASSERT_TRUE(writeFile(remote("empty.bin"), ""));
    const struct {
        const char* name;
        QByteArray expected;
    } cases[] = {{"big.bin", big.left(kHeader)}, {"short.bin", "short"}, {"empty.bin", ""}, {"big.bin", big.left(kHeader)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [outcome, bytes] = peek(c.name, kHeader);
        EXPECT_TRUE(outcome.ok) << outcome.text().toStdString();
        EXPECT_EQ(bytes, c.expected);
    }
    const auto [missing, none] = peek("missing.bin", kHeader);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(none.isEmpty());

    const RunSummary after = run({Kind::Download, "big.bin", local("big.bin")});
    EXPECT_TRUE(after.ok()) << after.report("Download").toStdString();
    EXPECT_TRUE(readFile(local("big.bin")) == big);
}

// Cuts inside the header (sent again whole), on it, inside chunks, on chunk boundaries and one
// byte short of the end: the server ends with the very bytes of a whole upload under the header
// it held, which open to the file. Guards a fault of the first version: resent from the chunk
// boundary with APPE, the bytes past it were there twice.
TEST_P(SealedResumeTest, ASealedUploadCutAnywhereIsCompletedByAResume)
{
    const QByteArray plain = pattern(3 * kChunk + 500, 2);
    ASSERT_TRUE(writeFile(local("up.bin"), plain));
    const QByteArray whole = sealWhole(plain, m_keys);
    ASSERT_EQ(whole.size(), qint64(sealed::sealedSize(quint64(plain.size()))));
    const QList<qint64> cuts{1, kHeader, kHeader + 100, kHeader + kSealedChunk, kHeader + 2 * kSealedChunk + 7,
                             whole.size() - 1};
    for (const qint64 cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_TRUE(writeFile(remote("up.bin"), whole.left(cut)));
        TransferItem item{Kind::UploadEncrypted, "up.bin", local("up.bin")};
        item.offset = cut;
        const RunSummary summary = run(item);
        EXPECT_TRUE(summary.ok()) << summary.report("Resume").toStdString();
        const QByteArray onServer = readFile(remote("up.bin"));
        if (cut < kHeader) {
            // Not even the header was there: a whole upload under a new salt.
            EXPECT_EQ(onServer.size(), whole.size());
        } else {
            EXPECT_TRUE(onServer == whole) << "differs from the whole upload under the same header";
        }
        EXPECT_TRUE(openWhole(onServer) == plain);
    }
    if (m_fake && GetParam().engine) {
        // Each resume goes on where the server's copy ends (resealing from the chunk boundary
        // before it and leaving out what the server holds), as a plain resume does.
        const QStringList rest = restCommands();
        for (const qint64 cut : cuts.mid(1))
            EXPECT_TRUE(rest.contains(QStringLiteral("REST %1").arg(cut))) << cut << rest.join(" | ").toStdString();
    }
}

// The server's copy is sealed under another key, or is not sealed at all: the resume is
// refused with the reason and the copy stays as it was.
TEST_P(SealedResumeTest, ASealedUploadIsNotResumedOverAForeignCopy)
{
    const QByteArray plain = pattern(2 * kChunk + 9, 3);
    ASSERT_TRUE(writeFile(local("up.bin"), plain));
    std::shared_ptr<sealed::KeyRing> other;
    ASSERT_TRUE(sealed::KeyRing::create("2718281828459045235360287471352", other).ok());
    const QByteArray foreign = sealWhole(plain, other).left(kHeader + kSealedChunk + 3);
    QByteArray rotorBytes = plain.left(kHeader + 1000);
    m_cipher->process(crypto::Direction::Encrypt, 0, reinterpret_cast<std::uint8_t*>(rotorBytes.data()),
                      reinterpret_cast<std::uint8_t*>(rotorBytes.data()), std::size_t(rotorBytes.size()));
    const struct {
        const char* what;
        QByteArray onServer;
        const char* reason;
    } cases[] = {{"another key", foreign, "sealed with another key"}, {"compatible format", rotorBytes, "not the start of a sealed file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writeFile(remote("up.bin"), c.onServer));
        TransferItem item{Kind::UploadEncrypted, "up.bin", local("up.bin")};
        item.offset = c.onServer.size();
        const RunSummary summary = run(item);
        ASSERT_EQ(summary.failures.size(), 1);
        EXPECT_TRUE(summary.failures[0].reason.contains(QLatin1String(c.reason))) << summary.failures[0].reason.toStdString();
        EXPECT_TRUE(readFile(remote("up.bin")) == c.onServer);
    }
    if (m_fake) {
        for (const QString& c : m_fake->commands())
            EXPECT_FALSE(c.startsWith(QLatin1String("STOR ")) || c.startsWith(QLatin1String("APPE "))) << c.toStdString();
    }
}

// The local file holds a start of the plaintext, inside a chunk or on its boundary: the resume
// restarts at the chunk that holds the first missing byte and the local file ends whole. A
// compatible file with the sealed keys at hand resumes with the rotor cipher at that byte.
TEST_P(SealedResumeTest, AResumedDecryptedDownloadRestartsAtAChunkBoundary)
{
    const QByteArray plain = pattern(3 * kChunk + 321, 4);
    ASSERT_TRUE(writeFile(remote("down.bin"), sealWhole(plain, m_keys)));
    QByteArray rotorBytes = plain;
    m_cipher->process(crypto::Direction::Encrypt, 0, reinterpret_cast<std::uint8_t*>(rotorBytes.data()),
                      reinterpret_cast<std::uint8_t*>(rotorBytes.data()), std::size_t(rotorBytes.size()));
    ASSERT_TRUE(writeFile(remote("rotor.bin"), rotorBytes));
    const QList<qint64> offsets{1, 100, kChunk, kChunk + 1, 2 * kChunk + 3, plain.size() - 1};
    for (const char* name : {"down.bin", "rotor.bin"}) {
        for (const qint64 offset : offsets) {
            SCOPED_TRACE(std::string(name) + " from " + std::to_string(offset));
            ASSERT_TRUE(writeFile(local(name), plain.left(offset)));
            TransferItem item{Kind::DownloadDecrypted, QString::fromLatin1(name), local(name)};
            item.offset = offset;
            const RunSummary summary = run(item);
            EXPECT_TRUE(summary.ok()) << summary.report("Resume").toStdString();
            EXPECT_TRUE(readFile(local(name)) == plain) << "local copy differs";
        }
    }
    if (m_fake) {
        const QStringList rest = restCommands();
        for (const qint64 offset : offsets) {
            const qint64 boundary = kHeader + (offset / kChunk) * kSealedChunk;
            EXPECT_TRUE(rest.contains(QStringLiteral("REST %1").arg(boundary))) << offset << rest.join(" | ").toStdString();
            EXPECT_TRUE(rest.contains(QStringLiteral("REST %1").arg(offset))) << offset << rest.join(" | ").toStdString();
        }
    }
}

// A sealed file of another key, or one damaged past the local start: the resume fails with the
// reason and the local file's first bytes stay exactly as they were.
TEST_P(SealedResumeTest, AFailedSealedResumeNeverTouchesTheLocalStart)
{
    const QByteArray plain = pattern(3 * kChunk + 77, 5);
    const QByteArray start = plain.left(kChunk + 1000);
    std::shared_ptr<sealed::KeyRing> other;
    ASSERT_TRUE(sealed::KeyRing::create("2718281828459045235360287471352", other).ok());
    QByteArray damaged = sealWhole(plain, m_keys);
    damaged[kHeader + 2 * kSealedChunk + 50] = char(damaged[kHeader + 2 * kSealedChunk + 50] ^ 1);
    const struct {
        const char* what;
        QByteArray onServer;
        const char* reason;
    } cases[] = {{"another key", sealWhole(plain, other), "another key"}, {"damaged", damaged, "damaged"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(writeFile(remote("f.bin"), c.onServer));
        ASSERT_TRUE(writeFile(local("f.bin"), start));
        TransferItem item{Kind::DownloadDecrypted, "f.bin", local("f.bin")};
        item.offset = start.size();
        const RunSummary summary = run(item);
        ASSERT_EQ(summary.failures.size(), 1);
        EXPECT_TRUE(summary.failures[0].reason.contains(QLatin1String(c.reason), Qt::CaseInsensitive))
            << summary.failures[0].reason.toStdString();
        const QByteArray now = readFile(local("f.bin"));
        // Only authentic plaintext goes after the start: the chunk before the damaged one.
        EXPECT_TRUE(now.startsWith(start) && plain.startsWith(now)) << now.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, SealedResumeTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false}, Param{"pyftpdlib", true},
                                           Param{"pyftpdlib", false}, Param{"fake", true}, Param{"fake", false}),
                         paramName);
