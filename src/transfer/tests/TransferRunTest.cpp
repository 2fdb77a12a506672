// Transfer commands run over both routes against real servers on 127.0.0.1: what lands on the
// server and on disk, failures in the middle of a selection, cancel, and hostile names.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include "FtpTestServers.h"
#include "crypto/Engine.h"
#include "ftp/Connection.h"
#include "ftp/direct/DirectWorker.h"
#include "transfer/TransferRun.h"

using namespace zephra;
using namespace zephra::transfer;
using Kind = TransferItem::Kind;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray pattern(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed);
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

// Names left in a directory, for "nothing else was written" checks.
QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

struct Param {
    const char* server;
    bool engine;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + (info.param.engine ? "_engine" : "_direct");
}

class TransferRunTest : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_keyDir.isValid() && m_local.isValid() && m_other.isValid());
        m_server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!m_server->start())
            GTEST_SKIP() << m_server->errorString().toStdString();
        m_engine = std::make_unique<crypto::Engine>(m_keyDir.path().toStdString());
        ASSERT_TRUE(m_engine->createKeyspace("3141592653589793238462643383279").ok());
        std::unique_ptr<crypto::Cipher> cipher;
        ASSERT_TRUE(m_engine->loadCipher(cipher).ok());
        m_cipher = std::move(cipher);

        if (GetParam().engine) {
            m_connection.setTimeOut(10000);
            ASSERT_TRUE(await([&] { m_connection.Connect(m_server->host(), QString::number(m_server->port()),
                                                         m_server->user(), m_server->password()); }));
            ASSERT_TRUE(await([&] { m_connection.TransferType(0); }));
            m_route = makeEngineRoute(m_connection);
        } else {
            ftp::direct::DirectOptions options;
            options.replyTimeoutMs = options.stallTimeoutMs = 10000;
            m_worker = std::make_unique<ftp::direct::DirectWorker>(options);
            QSignalSpy opened(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->open(m_server->host(), m_server->port(), m_server->user(), m_server->password());
            ASSERT_TRUE(opened.wait(15000));
            ASSERT_TRUE(opened.at(0).at(1).value<ftp::direct::DirectResult>().ok());
            m_route = makeDirectRoute(*m_worker, QString());
        }
    }

    bool await(const std::function<void()>& operation)
    {
        QSignalSpy spy(&m_connection, &ftp::Connection::finished);
        operation();
        return spy.wait(15000) && spy.at(0).at(0).value<ftp::Result>().ok();
    }

    // Runs the items to their end (bounded); cancelAfterBytes >= 0 cancels at the first report of
    // at least that much (0: as soon as the transfer reports, before a loopback server is done).
    RunSummary run(QList<TransferItem> items, qint64 cancelAfterBytes = -1, QStringList* statuses = nullptr)
    {
        TransferRun run(*m_route, std::move(items), m_cipher);
        QObject::connect(&run, &TransferRun::statusText, [&](const QString& text) {
            if (statuses)
                statuses->append(text);
        });
        // The route's own reports, every block: the run's are a few a second.
        QObject::connect(m_route.get(), &RemoteRoute::progress, &run, [&](qint64 done, qint64) {
            if (cancelAfterBytes >= 0 && done >= cancelAfterBytes)
                run.cancel();
        });
        QSignalSpy finished(&run, &TransferRun::finished);
        run.start();
        EXPECT_TRUE(finished.wait(120000));
        return finished.isEmpty() ? RunSummary{} : finished.at(0).at(0).value<RunSummary>();
    }

    QString local(const QString& name) const { return m_local.filePath(name); }
    QString remote(const QString& name) const { return m_server->rootDir() + u'/' + name; }

    QByteArray ciphertextOf(const QString& path)
    {
        const QString out = m_keyDir.filePath(QStringLiteral("expected.bin"));
        EXPECT_TRUE(m_engine->encryptFile(path.toStdString(), out.toStdString()).ok());
        const QByteArray bytes = readFile(out);
        QFile::remove(out);
        return bytes;
    }

    QTemporaryDir m_keyDir, m_local, m_other;
    std::unique_ptr<test::FtpTestServer> m_server;
    std::unique_ptr<crypto::Engine> m_engine;
    std::shared_ptr<const crypto::Cipher> m_cipher;
    ftp::Connection m_connection;
    std::unique_ptr<ftp::direct::DirectWorker> m_worker;
    std::unique_ptr<RemoteRoute> m_route;
};

}  // namespace

TEST_P(TransferRunTest, EncryptedRoundTripPutsOnlyTheEnginesCiphertextOnTheServer)
{
    const QStringList names{QStringLiteral("empty.txt"), QStringLiteral("one byte"), QStringLiteral("big file.bin")};
    const QList<QByteArray> contents{QByteArray(), QByteArray("x"), pattern(9 * 1024 * 1024 + 7, 1)};
    QList<TransferItem> uploads;
    for (int i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(writeFile(local(names[i]), contents[i]));
        uploads.append({Kind::UploadEncrypted, names[i], local(names[i])});
    }
    // The server's older copy is replaced as a whole.
    ASSERT_TRUE(writeFile(remote(names[2]), pattern(20 * 1024 * 1024, 9)));

    QStringList statuses;
    const RunSummary up = run(uploads, -1, &statuses);
    EXPECT_TRUE(up.ok()) << up.report("Upload").toStdString();
    EXPECT_EQ(up.succeeded, 3);
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray onServer = readFile(remote(names[i]));
        EXPECT_EQ(onServer, ciphertextOf(local(names[i]))) << names[i].toStdString();
        if (!contents[i].isEmpty())
            EXPECT_NE(onServer, contents[i]);
    }
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"big file.bin", "empty.txt", "one byte"}));
    EXPECT_EQ(statuses.mid(0, 3), (QStringList{"Encrypting empty.txt", "Sending empty.txt", "Encrypting one byte"}));
    EXPECT_EQ(statuses.last(), "Ready...");

    // An existing local file of the same name is replaced only by the complete plaintext.
    ASSERT_TRUE(writeFile(m_other.filePath(names[2]), "old"));
    QList<TransferItem> downloads;
    for (const QString& name : names)
        downloads.append({Kind::DownloadDecrypted, name, m_other.filePath(name)});
    statuses.clear();
    const RunSummary down = run(downloads, -1, &statuses);
    EXPECT_TRUE(down.ok()) << down.report("Download").toStdString();
    for (int i = 0; i < names.size(); ++i)
        EXPECT_EQ(readFile(m_other.filePath(names[i])), contents[i]) << names[i].toStdString();
    EXPECT_EQ(entries(m_other.path()), (QStringList{"big file.bin", "empty.txt", "one byte"}));
    EXPECT_EQ(statuses.mid(0, 2), (QStringList{"Receiving empty.txt", "Decrypting empty.txt"}));
}

TEST_P(TransferRunTest, AFailingFileInTheMiddleIsReportedAndTheOthersArrive)
{
    ASSERT_TRUE(writeFile(local("a.txt"), "first"));
    ASSERT_TRUE(writeFile(local("c.txt"), "third"));
    // b.txt was selected but is gone by the time it is sent.
    const RunSummary up = run({{Kind::Upload, "a.txt", local("a.txt")},
                               {Kind::UploadEncrypted, "b.txt", local("b.txt")},
                               {Kind::Upload, "c.txt", local("c.txt")}});
    EXPECT_EQ(up.succeeded, 2);
    ASSERT_EQ(up.failures.size(), 1);
    EXPECT_EQ(up.failures[0].name, "b.txt");
    EXPECT_TRUE(up.report("Upload").contains("b.txt:")) << up.report("Upload").toStdString();
    EXPECT_EQ(readFile(remote("a.txt")), "first");
    EXPECT_EQ(readFile(remote("c.txt")), "third");
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"a.txt", "c.txt"}));  // nothing sent for b.txt

    // A download that fails never touches the local file of that name.
    ASSERT_TRUE(writeFile(m_other.filePath("missing.txt"), "keep me"));
    ASSERT_TRUE(writeFile(m_other.filePath("gone.txt"), "keep me too"));
    const RunSummary down = run({{Kind::Download, "a.txt", m_other.filePath("a.txt")},
                                 {Kind::Download, "missing.txt", m_other.filePath("missing.txt")},
                                 {Kind::DownloadDecrypted, "gone.txt", m_other.filePath("gone.txt")},
                                 {Kind::Download, "c.txt", m_other.filePath("c.txt")}});
    EXPECT_EQ(down.succeeded, 2);
    EXPECT_EQ(down.failures.size(), 2);
    EXPECT_EQ(readFile(m_other.filePath("missing.txt")), "keep me");
    EXPECT_EQ(readFile(m_other.filePath("gone.txt")), "keep me too");
    EXPECT_EQ(readFile(m_other.filePath("c.txt")), "third");
    EXPECT_EQ(entries(m_other.path()), (QStringList{"a.txt", "c.txt", "gone.txt", "missing.txt"}));
}

// Guards against a hostile listing writing outside the chosen local directory.
TEST_P(TransferRunTest, ServerNamesThatCannotBeLocalFileNamesAreRefused)
{
    const RunSummary down = run({{Kind::Download, "../escape.txt", m_other.filePath("../escape.txt")},
                                 {Kind::DownloadDecrypted, "..", m_other.filePath("..")}});
    EXPECT_EQ(down.failures.size(), 2);
    EXPECT_TRUE(down.failures[0].reason.contains("local file name"));
    EXPECT_TRUE(entries(m_other.path()).isEmpty());
}

TEST_P(TransferRunTest, DirectoryAndFileOperations)
{
    ASSERT_TRUE(writeFile(remote("old.txt"), "o"));
    ASSERT_TRUE(writeFile(remote("gone.txt"), "g"));
    ASSERT_TRUE(QDir(m_server->rootDir()).mkdir("emptydir"));
    QStringList statuses;
    const RunSummary summary = run({{Kind::MakeDirectory, "new dir"},
                                    {Kind::Rename, "old.txt", {}, "new: name.txt"},
                                    {Kind::Remove, "gone.txt"},
                                    {Kind::RemoveDirectory, "emptydir"},
                                    {Kind::RemoveDirectory, "no such dir"}},
                                   -1, &statuses);
    EXPECT_EQ(summary.succeeded, 4);
    ASSERT_EQ(summary.failures.size(), 1);
    EXPECT_EQ(summary.failures[0].name, "no such dir");
    EXPECT_TRUE(QFileInfo(remote("new dir")).isDir());
    EXPECT_EQ(readFile(remote("new: name.txt")), "o");
    EXPECT_FALSE(QFile::exists(remote("old.txt")));
    EXPECT_FALSE(QFile::exists(remote("gone.txt")));
    EXPECT_FALSE(QFile::exists(remote("emptydir")));
    EXPECT_TRUE(statuses.contains("Deleting gone.txt"));
}

TEST_P(TransferRunTest, CancelInALargeFileLosesNothingAndTheSessionGoesOn)
{
    const QByteArray big = pattern(96 * 1024 * 1024, 3);
    ASSERT_TRUE(writeFile(local("big.bin"), big));
    ASSERT_TRUE(writeFile(local("after.txt"), "after"));
    ASSERT_TRUE(writeFile(remote("big.bin"), "server's old copy"));

    const RunSummary up = run({{Kind::UploadEncrypted, "big.bin", local("big.bin")},
                               {Kind::Upload, "after.txt", local("after.txt")}},
                              0);
    EXPECT_TRUE(up.cancelled);
    EXPECT_EQ(up.skipped, 1);
    EXPECT_TRUE(up.failures.isEmpty());
    EXPECT_EQ(readFile(remote("big.bin")), "server's old copy");
    EXPECT_FALSE(QFile::exists(remote("after.txt")));

    // The session is usable (pyftpdlib would hand the next data connection to an upload cancelled
    // before it took up its own); the cancelled upload's part file is gone after the next operation.
    const RunSummary next = run({{Kind::Upload, "after.txt", local("after.txt")}});
    EXPECT_TRUE(next.ok()) << next.report("Upload").toStdString();
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"after.txt", "big.bin"}));

    // A cancelled download leaves the local file as it was, and no temporary file beside it.
    ASSERT_TRUE(writeFile(remote("big.bin"), ciphertextOf(local("big.bin"))));
    ASSERT_TRUE(writeFile(m_other.filePath("big.bin"), "local copy"));
    const RunSummary down = run({{Kind::DownloadDecrypted, "big.bin", m_other.filePath("big.bin")}}, 0);
    EXPECT_TRUE(down.cancelled);
    EXPECT_EQ(readFile(m_other.filePath("big.bin")), "local copy");
    EXPECT_EQ(entries(m_other.path()), QStringList{"big.bin"});
}

INSTANTIATE_TEST_SUITE_P(Routes, TransferRunTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false},
                                           Param{"pyftpdlib", true}, Param{"pyftpdlib", false}),
                         paramName);
