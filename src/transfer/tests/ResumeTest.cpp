// Resumed transfers over both routes: vsftpd and pyftpdlib on 127.0.0.1, and the scripted server
// for a server that refuses REST before STOR. A resumed transfer must give exactly the bytes a
// whole one gives, plain and encrypted, from any offset; a failed one never touches the bytes
// that were there.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "RouteSession.h"
#include "TestFiles.h"
#include "crypto/Engine.h"
#include "ftp/Connection.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/TransferRun.h"

using namespace zephra;
using namespace zephra::transfer;
using Kind = TransferItem::Kind;
using zephra::test::pattern;
using zephra::test::readFile;
using zephra::test::writeFile;

namespace {

struct Param {
    const char* server;  // "vsftpd", "pyftpdlib" or "fake"
    bool engine;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + (info.param.engine ? "_engine" : "_direct");
}

class ResumeTest : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_keyDir.isValid() && m_local.isValid());
        if (!m_session.start(GetParam().server, GetParam().engine))
            GTEST_SKIP() << m_session.skipReason().toStdString();
        ASSERT_FALSE(HasFailure());
        m_route = &m_session.route();
        m_fake = m_session.fake();
        m_engine = std::make_unique<crypto::Engine>(m_keyDir.path().toStdString());
        ASSERT_TRUE(m_engine->createKeyspace("3141592653589793238462643383279").ok());
        std::unique_ptr<crypto::Cipher> cipher;
        ASSERT_TRUE(m_engine->loadCipher(cipher).ok());
        m_cipher = std::move(cipher);
    }

    bool isFake() const { return QLatin1String(GetParam().server) == QLatin1String("fake"); }
    QString remote(const QString& name) const { return m_session.remote(name); }
    QString local(const QString& name) const { return m_local.filePath(name); }

    // Runs the items to their end (bounded); cancelAfterBytes >= 0 cancels at the first report
    // of at least that much.
    RunSummary run(QList<TransferItem> items, qint64 cancelAfterBytes = -1)
    {
        TransferRun run(*m_route, std::move(items), m_cipher);
        QObject::connect(m_route, &RemoteRoute::progress, &run, [&](qint64 done, qint64) {
            if (cancelAfterBytes >= 0 && done >= cancelAfterBytes)
                run.cancel();
        });
        QSignalSpy finished(&run, &TransferRun::finished);
        run.start();
        EXPECT_TRUE(finished.wait(120000));
        return finished.isEmpty() ? RunSummary{} : finished.at(0).at(0).value<RunSummary>();
    }

    QByteArray ciphertextOf(const QByteArray& plain)
    {
        const QString in = m_keyDir.filePath(QStringLiteral("plain.bin"));
        const QString out = m_keyDir.filePath(QStringLiteral("cipher.bin"));
        EXPECT_TRUE(writeFile(in, plain));
        EXPECT_TRUE(m_engine->encryptFile(in.toStdString(), out.toStdString()).ok());
        const QByteArray bytes = readFile(out);
        QFile::remove(in);
        QFile::remove(out);
        return bytes;
    }

    QTemporaryDir m_keyDir, m_local;
    test::RouteSession m_session;
    test::FakeFtpServer* m_fake = nullptr;  // the scripted server, when it is the one
    std::unique_ptr<crypto::Engine> m_engine;
    std::shared_ptr<const crypto::Cipher> m_cipher;
    RemoteRoute* m_route = nullptr;
};

}  // namespace

// The partial copies are written as a cut transfer leaves them; offsets inside the first cipher
// block, on its boundary (the cipher threads work in 1 MiB blocks) and past it.
TEST_P(ResumeTest, ResumingFromAnyOffsetGivesTheBytesOfAWholeTransfer)
{
    const QByteArray plain = pattern(2 * 1024 * 1024 + 777, 3);
    const QByteArray cipher = ciphertextOf(plain);
    ASSERT_EQ(cipher.size(), plain.size());
    ASSERT_NE(cipher, plain);
    const QList<qint64> offsets{1, 4099, 1024 * 1024, 2 * 1024 * 1024 + 5};
    struct Case {
        Kind kind;
        const char* name;
    };
    const Case cases[] = {{Kind::Download, "down.bin"}, {Kind::DownloadDecrypted, "down-decrypted.bin"},
                          {Kind::Upload, "up.bin"}, {Kind::UploadEncrypted, "up-encrypted.bin"}};
    for (const Case& c : cases) {
        for (const qint64 offset : offsets) {
            SCOPED_TRACE(std::string(c.name) + " from " + std::to_string(offset));
            const QString name = QString::fromLatin1(c.name);
            const bool upload = c.kind == Kind::Upload || c.kind == Kind::UploadEncrypted;
            // What the target holds already (a plaintext start locally, the sent bytes on the server).
            const QByteArray whole = c.kind == Kind::UploadEncrypted ? cipher : plain;
            const QByteArray onServer = c.kind == Kind::DownloadDecrypted ? cipher : plain;
            if (upload) {
                ASSERT_TRUE(writeFile(local(name), plain));
                ASSERT_TRUE(writeFile(remote(name), whole.left(offset)));
            } else {
                ASSERT_TRUE(writeFile(remote(name), onServer));
                ASSERT_TRUE(writeFile(local(name), plain.left(offset)));
            }
            TransferItem item{c.kind, name, local(name)};
            item.size = plain.size();
            item.offset = offset;
            const RunSummary summary = run({item});
            EXPECT_TRUE(summary.ok()) << summary.report("Resume").toStdString();
            if (upload)
                EXPECT_TRUE(readFile(remote(name)) == whole) << "server copy differs";
            else
                EXPECT_TRUE(readFile(local(name)) == plain) << "local copy differs";
        }
    }
    if (m_fake) {
        // REST goes right before the transfer command (RFC 3659), never before PASV.
        const QStringList sent = m_fake->commands();
        for (qsizetype i = 0; i < sent.size(); ++i)
            if (sent[i].startsWith("REST "))
                EXPECT_TRUE(i + 1 < sent.size() && (sent[i + 1].startsWith("RETR ") || sent[i + 1].startsWith("STOR ")))
                    << sent.join(" | ").toStdString();
    }
}

// Real cuts: an upload cancelled halfway leaves what arrived on the server; resuming from the
// server's size completes it exactly, plain and encrypted. The engine cancels inside its own
// progress report and waits for the server's answer about the broken-off upload, so the size
// measured is final; the direct route's cancel does not wait for it (its cut is the partial copy
// written above).
TEST_P(ResumeTest, AnUploadCancelledHalfwayIsCompletedByAResume)
{
    if (isFake() || !GetParam().engine)
        GTEST_SKIP() << "engine route on real servers only";
    const QByteArray plain = pattern(24 * 1024 * 1024 + 11, 5);
    ASSERT_TRUE(writeFile(local("big.bin"), plain));
    for (const Kind kind : {Kind::Upload, Kind::UploadEncrypted}) {
        SCOPED_TRACE(kind == Kind::Upload ? "plain" : "encrypted");
        QFile::remove(remote("big.bin"));
        const RunSummary cut = run({{kind, "big.bin", local("big.bin")}}, 3 * 1024 * 1024);
        ASSERT_TRUE(cut.cancelled);
        const qint64 held = QFileInfo(remote("big.bin")).size();
        ASSERT_LT(held, plain.size()) << "finished before the cancel";
        TransferItem rest{kind, "big.bin", local("big.bin")};
        rest.offset = held;
        const RunSummary resumed = run({rest});
        EXPECT_TRUE(resumed.ok()) << resumed.report("Resume").toStdString();
        EXPECT_TRUE(readFile(remote("big.bin")) == (kind == Kind::Upload ? plain : ciphertextOf(plain)))
            << "resumed from " << held;
    }
}

// A failed resume keeps the local file's first bytes exactly; one whose local file no longer
// has the size it was measured at writes nothing at all.
TEST_P(ResumeTest, AFailedResumeNeverTouchesTheBytesAlreadyThere)
{
    const QByteArray plain = pattern(300000, 7);
    ASSERT_TRUE(writeFile(remote("f.bin"), plain));
    const QByteArray start = plain.left(1000);

    ASSERT_TRUE(writeFile(local("f.bin"), start.left(900)));
    TransferItem changed{Kind::Download, "f.bin", local("f.bin")};
    changed.offset = 1000;
    RunSummary summary = run({changed});
    ASSERT_EQ(summary.failures.size(), 1);
    EXPECT_TRUE(summary.failures[0].reason.contains("900 bytes")) << summary.failures[0].reason.toStdString();
    EXPECT_EQ(readFile(local("f.bin")), start.left(900));

    // The server's file is gone: the resume fails, the first bytes stay.
    ASSERT_TRUE(writeFile(local("f.bin"), start));
    QFile::remove(remote("f.bin"));
    for (const Kind kind : {Kind::Download, Kind::DownloadDecrypted}) {
        TransferItem item{kind, "f.bin", local("f.bin")};
        item.offset = start.size();
        summary = run({item});
        EXPECT_EQ(summary.failures.size(), 1);
        EXPECT_EQ(readFile(local("f.bin")), start);
    }
    if (!m_fake)
        return;
    // The data connection breaks halfway: what arrived continues the file, the start is intact.
    ASSERT_TRUE(writeFile(remote("f.bin"), plain));
    m_fake->planData("RETR", {.dropAfter = 5000});
    TransferItem broken{Kind::Download, "f.bin", local("f.bin")};
    broken.offset = start.size();
    summary = run({broken});
    EXPECT_EQ(summary.failures.size(), 1);
    const QByteArray now = readFile(local("f.bin"));
    EXPECT_TRUE(now.startsWith(start) && plain.startsWith(now)) << now.size();
}

// A download that breaks off keeps what arrived of a file that was not there, under its name,
// so it can be resumed; a file that was there stays exactly as it was. Plain and decrypted: the
// cipher writes the plaintext of what arrived in order, so a resume from its size continues it.
TEST_P(ResumeTest, ABrokenOffDownloadOfANewFileKeepsWhatArrivedForAResume)
{
    if (!m_fake)
        GTEST_SKIP() << "the scripted server breaks the data connection at a byte count";
    const QByteArray plain = pattern(300000, 11);
    const QByteArray cipher = ciphertextOf(plain);
    for (const Kind kind : {Kind::Download, Kind::DownloadDecrypted}) {
        SCOPED_TRACE(kind == Kind::Download ? "plain" : "decrypted");
        const bool decrypting = kind == Kind::DownloadDecrypted;
        ASSERT_TRUE(writeFile(remote("new.bin"), decrypting ? cipher : plain));
        QFile::remove(local("new.bin"));
        m_fake->planData("RETR", {.dropAfter = 70000});
        RunSummary summary = run({TransferItem{kind, "new.bin", local("new.bin")}});
        ASSERT_EQ(summary.failures.size(), 1);
        const QByteArray kept = readFile(local("new.bin"));
        ASSERT_GT(kept.size(), 0);
        ASSERT_LE(kept.size(), 70000);
        EXPECT_TRUE(plain.startsWith(kept)) << kept.size();
        EXPECT_TRUE(summary.failures[0].reason.contains("An incomplete copy of new.bin is kept"))
            << summary.failures[0].reason.toStdString();
        // Nothing hidden stays beside it.
        EXPECT_EQ(QDir(m_local.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

        TransferItem resumed{kind, "new.bin", local("new.bin")};
        resumed.offset = kept.size();
        summary = run({resumed});
        EXPECT_TRUE(summary.failures.isEmpty());
        EXPECT_EQ(readFile(local("new.bin")), plain);
    }

    // A file that was there is neither replaced nor touched by the broken download.
    ASSERT_TRUE(writeFile(remote("old.bin"), plain));
    ASSERT_TRUE(writeFile(local("old.bin"), "the user's own copy"));
    m_fake->planData("RETR", {.dropAfter = 70000});
    const RunSummary summary = run({TransferItem{Kind::Download, "old.bin", local("old.bin")}});
    ASSERT_EQ(summary.failures.size(), 1);
    EXPECT_FALSE(summary.failures[0].reason.contains("incomplete")) << summary.failures[0].reason.toStdString();
    EXPECT_EQ(readFile(local("old.bin")), "the user's own copy");
}

// A server that refuses REST before STOR ("502 REST not implemented.") gets APPE, and is not
// asked again in that session; libcurl always resumes an upload with APPE.
TEST_P(ResumeTest, AResumedUploadAppendsWhereRestIsRefused)
{
    if (!isFake())
        GTEST_SKIP() << "vsftpd and pyftpdlib both take REST before STOR";
    const QByteArray plain = pattern(50000, 9);
    const QByteArray cipher = ciphertextOf(plain);
    ASSERT_TRUE(writeFile(local("a.bin"), plain));
    m_fake->script("REST", {"502 REST not implemented.\r\n"});
    for (const Kind kind : {Kind::Upload, Kind::UploadEncrypted}) {
        const QByteArray whole = kind == Kind::Upload ? plain : cipher;
        ASSERT_TRUE(writeFile(remote("a.bin"), whole.left(12345)));
        TransferItem item{kind, "a.bin", local("a.bin")};
        item.offset = 12345;
        const RunSummary summary = run({item});
        EXPECT_TRUE(summary.ok()) << summary.report("Resume").toStdString();
        EXPECT_TRUE(readFile(remote("a.bin")) == whole);
    }
    const QStringList sent = m_fake->commands();
    EXPECT_EQ(sent.filter(QRegularExpression("^APPE ")).size(), 2) << sent.join(" | ").toStdString();
    EXPECT_EQ(sent.filter(QRegularExpression("^STOR ")).size(), 0);
    if (GetParam().engine)
        EXPECT_EQ(sent.filter(QRegularExpression("^REST ")).size(), 1) << "REST asked again after its refusal";
}

INSTANTIATE_TEST_SUITE_P(Routes, ResumeTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false}, Param{"pyftpdlib", true},
                                           Param{"pyftpdlib", false}, Param{"fake", true}, Param{"fake", false}),
                         paramName);

// Upload-only drop boxes: vsftpd refuses to write over an existing file ("553 Could not create
// file."), REST or not; pyftpdlib's lets STOR write. A resumed upload either completes the copy
// exactly or fails with the server's words, the server's copy left as it was.
class DropBoxResumeTest : public ::testing::TestWithParam<Param> {};

TEST_P(DropBoxResumeTest, AResumedUploadCompletesOrLeavesTheCopyAsItWas)
{
    test::FtpServerSetup setup;
    setup.uploadOnly = true;
    std::unique_ptr<test::FtpTestServer> server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server), setup);
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    QTemporaryDir local;
    const QByteArray plain = pattern(200000, 11);
    ASSERT_TRUE(writeFile(local.filePath("drop.bin"), plain));
    ASSERT_TRUE(writeFile(server->rootDir() + "/drop.bin", plain.left(70000)));

    ftp::Connection connection;
    std::unique_ptr<ftp::direct::DirectWorker> worker;
    std::unique_ptr<RemoteRoute> route;
    if (GetParam().engine) {
        QSignalSpy connected(&connection, &ftp::Connection::finished);
        connection.Connect(server->host(), QString::number(server->port()), server->user(), server->password());
        ASSERT_TRUE(connected.wait(15000) && connected.at(0).at(0).value<ftp::Result>().ok());
        QSignalSpy typed(&connection, &ftp::Connection::finished);
        connection.TransferType(0);
        ASSERT_TRUE(typed.wait(15000));
        route = makeEngineRoute(connection, connection.currentDirectory());
    } else {
        worker = std::make_unique<ftp::direct::DirectWorker>();
        QSignalSpy opened(worker.get(), &ftp::direct::DirectWorker::finished);
        worker->open(server->host(), server->port(), server->user(), server->password());
        ASSERT_TRUE(!opened.isEmpty() || opened.wait(15000));
        ASSERT_TRUE(opened.at(0).at(1).value<ftp::direct::DirectResult>().ok());
        route = makeDirectRoute(*worker, QByteArray());
    }
    TransferItem item{Kind::Upload, "drop.bin", local.filePath("drop.bin")};
    item.offset = 70000;
    TransferRun run(*route, {item});
    QSignalSpy finished(&run, &TransferRun::finished);
    run.start();
    ASSERT_TRUE(finished.wait(60000));
    const RunSummary summary = finished.at(0).at(0).value<RunSummary>();
    const QByteArray now = readFile(server->rootDir() + "/drop.bin");
    if (summary.ok()) {
        EXPECT_TRUE(now == plain);
    } else {
        ASSERT_EQ(summary.failures.size(), 1);
        EXPECT_TRUE(summary.failures[0].reason.contains("55")) << summary.failures[0].reason.toStdString();
        EXPECT_TRUE(now == plain.left(70000)) << now.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, DropBoxResumeTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false}, Param{"pyftpdlib", true},
                                           Param{"pyftpdlib", false}),
                         paramName);
