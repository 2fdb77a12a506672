// Transfer commands run over both routes against real servers on 127.0.0.1: what lands on the
// server and on disk, failures in the middle of a selection, cancel, hostile names, upload-only
// drop boxes, and what the user set on a replaced file on either side.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

bool setMode(const QString& path, mode_t mode) { return ::chmod(QFile::encodeName(path).constData(), mode) == 0; }

// Files whose names are bytes that are not UTF-8 (QFile would read them as UTF-8 and lose them).
bool writeRaw(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QByteArray readRaw(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    QByteArray bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, n);
    ::close(fd);
    return bytes;
}

bool existsRaw(const QByteArray& path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

struct Param {
    const char* server;
    bool engine;
    bool dropBox = false;
};

std::string paramName(const ::testing::TestParamInfo<Param>& info)
{
    return std::string(info.param.server) + (info.param.dropBox ? "_dropbox" : "") +
           (info.param.engine ? "_engine" : "_direct");
}

// vsftpd's drop box has a small disk: a file stops growing at this size, so an upload fails
// halfway. (pyftpdlib's gets none: its session breaks on the write error, "OSError: [Errno 27]
// File too large" raised again from its own close().)
constexpr qint64 kDropBoxFileLimit = 1024 * 1024;

class TransferRunTest : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_keyDir.isValid() && m_local.isValid() && m_other.isValid());
        test::FtpServerSetup setup;
        if (GetParam().dropBox) {
            setup.uploadOnly = true;
            if (QLatin1String(GetParam().server) == QLatin1String("vsftpd"))
                setup.fileSizeLimit = kDropBoxFileLimit;
        }
        m_server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server), setup);
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
            m_loginDirectory = m_connection.currentDirectory();
            m_route = makeEngineRoute(m_connection, m_loginDirectory);
        } else {
            ftp::direct::DirectOptions options;
            options.replyTimeoutMs = options.stallTimeoutMs = 10000;
            m_worker = std::make_unique<ftp::direct::DirectWorker>(options);
            QSignalSpy opened(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->open(m_server->host(), m_server->port(), m_server->user(), m_server->password());
            ASSERT_TRUE(!opened.isEmpty() || opened.wait(15000));  // the worker may finish before the wait begins
            ASSERT_TRUE(opened.at(0).at(1).value<ftp::direct::DirectResult>().ok());
            QSignalSpy asked(m_worker.get(), &ftp::direct::DirectWorker::finished);
            m_worker->run([this](ftp::direct::DirectSession& session) {
                m_loginDirectory = session.loginDirectory();
                return ftp::direct::DirectResult{};
            });
            ASSERT_TRUE(!asked.isEmpty() || asked.wait(15000));
            m_route = makeDirectRoute(*m_worker, m_loginDirectory);
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

    // A route of the session's kind made for directory.
    std::unique_ptr<RemoteRoute> routeFor(const QByteArray& directory)
    {
        return GetParam().engine ? makeEngineRoute(m_connection, directory) : makeDirectRoute(*m_worker, directory);
    }
    // Runs one operation of route to its end (bounded).
    Outcome runOn(RemoteRoute& route, const std::function<void()>& operation)
    {
        QSignalSpy finished(&route, &RemoteRoute::finished);
        operation();
        EXPECT_TRUE(finished.wait(30000));
        return finished.isEmpty() ? Outcome::failure("did not finish") : finished.at(0).at(0).value<Outcome>();
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
    QByteArray m_loginDirectory;  // absolute, as the server said it at login
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
    EXPECT_TRUE(up.failures.isEmpty()) << up.report("Upload").toStdString();
    // The server holds what arrived under the file's own name (or, when the cancel came before
    // it took the STOR, its old copy), and the report says so.
    const QByteArray onServer = readFile(remote("big.bin"));
    EXPECT_TRUE(onServer == "server's old copy" || ciphertextOf(local("big.bin")).startsWith(onServer));
    ASSERT_EQ(up.leftBehind.size(), 1);
    EXPECT_EQ(up.leftBehind[0].name, "big.bin");
    EXPECT_TRUE(up.leftBehind[0].reason.contains("copy of big.bin")) << up.leftBehind[0].reason.toStdString();
    EXPECT_TRUE(up.report("Upload").contains("copy of big.bin")) << up.report("Upload").toStdString();
    EXPECT_FALSE(QFile::exists(remote("after.txt")));

    // The session is usable (pyftpdlib would hand the next data connection to an upload cancelled
    // before it took up its own), and nothing but the files' own names is ever written.
    const RunSummary next = run({{Kind::Upload, "after.txt", local("after.txt")}});
    EXPECT_TRUE(next.ok()) << next.report("Upload").toStdString();
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"after.txt", "big.bin"}));
    if (m_server->name() == QLatin1String("pyftpdlib")) {
        EXPECT_FALSE(m_server->log().contains("<- RNFR") || m_server->log().contains("<- DELE"));
    }

    // A cancelled download leaves the local file as it was, and no temporary file beside it.
    ASSERT_TRUE(writeFile(remote("big.bin"), ciphertextOf(local("big.bin"))));
    ASSERT_TRUE(writeFile(m_other.filePath("big.bin"), "local copy"));
    const RunSummary down = run({{Kind::DownloadDecrypted, "big.bin", m_other.filePath("big.bin")}}, 0);
    EXPECT_TRUE(down.cancelled);
    EXPECT_EQ(readFile(m_other.filePath("big.bin")), "local copy");
    EXPECT_EQ(entries(m_other.path()), QStringList{"big.bin"});
}

// Guards faults 2 and 7: a replaced server file lost its mode to the upload's rename (0600 became
// 0644); an engine download over a 0600 file left it 0644, and a direct download onto a symbolic
// link wrote through the link.
TEST_P(TransferRunTest, ReplacedFilesKeepWhatTheUserSetOnThemOnBothSides)
{
    const QByteArray text = pattern(200 * 1024 + 1, 4);
    const QByteArray secret = pattern(1024 * 1024 + 3, 5);
    ASSERT_TRUE(writeFile(local("mine.txt"), text));
    ASSERT_TRUE(writeFile(local("mine.bin"), secret));
    for (const char* name : {"private.txt", "private.bin"}) {
        ASSERT_TRUE(writeFile(remote(name), "the server's old copy"));
        ASSERT_TRUE(setMode(remote(name), 0600));
    }
    const RunSummary up = run({{Kind::Upload, "private.txt", local("mine.txt")},
                               {Kind::UploadEncrypted, "private.bin", local("mine.bin")}});
    EXPECT_TRUE(up.ok()) << up.report("Upload").toStdString();
    EXPECT_EQ(readFile(remote("private.txt")), text);
    EXPECT_EQ(readFile(remote("private.bin")), ciphertextOf(local("mine.bin")));
    EXPECT_EQ(modeOf(remote("private.txt")) & 07777, mode_t(0600));
    EXPECT_EQ(modeOf(remote("private.bin")) & 07777, mode_t(0600));
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"private.bin", "private.txt"}));

    // Locally: a private file stays private, and a link is replaced, never written through.
    ASSERT_TRUE(writeFile(m_other.filePath("private.txt"), "the local old copy"));
    ASSERT_TRUE(setMode(m_other.filePath("private.txt"), 0600));
    ASSERT_TRUE(writeFile(m_other.filePath("elsewhere.txt"), "where the link leads"));
    ASSERT_TRUE(QFile::link(m_other.filePath("elsewhere.txt"), m_other.filePath("link.bin")));
    ASSERT_TRUE(QFile::link(m_other.filePath("elsewhere.txt"), m_other.filePath("link.txt")));
    const RunSummary down = run({{Kind::Download, "private.txt", m_other.filePath("private.txt")},
                                 {Kind::DownloadDecrypted, "private.bin", m_other.filePath("link.bin")},
                                 {Kind::Download, "private.txt", m_other.filePath("link.txt")}});
    EXPECT_TRUE(down.ok()) << down.report("Download").toStdString();
    EXPECT_EQ(readFile(m_other.filePath("private.txt")), text);
    EXPECT_EQ(modeOf(m_other.filePath("private.txt")) & 07777, mode_t(0600));
    EXPECT_TRUE(S_ISREG(modeOf(m_other.filePath("link.bin"))));
    EXPECT_TRUE(S_ISREG(modeOf(m_other.filePath("link.txt"))));
    EXPECT_EQ(readFile(m_other.filePath("link.bin")), secret);
    EXPECT_EQ(readFile(m_other.filePath("link.txt")), text);
    EXPECT_EQ(readFile(m_other.filePath("elsewhere.txt")), "where the link leads");
    EXPECT_EQ(entries(m_other.path()), (QStringList{"elsewhere.txt", "link.bin", "link.txt", "private.txt"}));
}

// Guards fault 1 (a command acted on the directory the engine had moved to, not the one shown:
// "DELE important.txt" deleted /sub/important.txt) and fault 4 (names that are not UTF-8 were
// re-encoded and refused with 550).
TEST_P(TransferRunTest, ARouteActsInItsOwnDirectoryOnTheServersBytes)
{
    const QByteArray root = QFile::encodeName(m_server->rootDir());
    for (const char* dir : {"/sub", "/other"}) {
        ASSERT_TRUE(QDir().mkpath(m_server->rootDir() + QLatin1String(dir)));
        ASSERT_TRUE(writeRaw(root + dir + "/important.txt", QByteArray("keep ") + dir));
    }
    ASSERT_TRUE(writeFile(local("up.txt"), "uploaded"));
    ASSERT_TRUE(m_loginDirectory.startsWith('/'));
    const QByteArray login = m_loginDirectory == "/" ? QByteArray() : m_loginDirectory;

    // The session is somewhere else (the window moved on, or a change there was cancelled).
    if (GetParam().engine) {
        ASSERT_TRUE(await([&] { m_connection.ChangeDirectory(login + "/other"); }));
    } else {
        QSignalSpy listed(m_worker.get(), &ftp::direct::DirectWorker::finished);
        m_worker->list(login + "/other");
        ASSERT_TRUE(!listed.isEmpty() || listed.wait(15000));
        ASSERT_TRUE(listed.at(0).at(1).value<ftp::direct::DirectResult>().ok());
    }
    const std::unique_ptr<RemoteRoute> sub = routeFor(login + "/sub");
    EXPECT_TRUE(runOn(*sub, [&] { sub->remove("important.txt"); }).ok);
    EXPECT_FALSE(existsRaw(root + "/sub/important.txt"));
    EXPECT_EQ(readRaw(root + "/other/important.txt"), "keep /other");

    Outcome o = runOn(*sub, [&] { sub->upload(local("up.txt"), "up.txt"); });
    EXPECT_TRUE(o.ok) << o.text().toStdString();
    EXPECT_EQ(readRaw(root + "/sub/up.txt"), "uploaded");

    // A name that is not UTF-8 goes out as its bytes. (pyftpdlib reads every command as UTF-8,
    // so it cannot serve such names at all.)
    if (m_server->name() == QLatin1String("vsftpd")) {
        const QByteArray latin1 = "caf\xe9.txt";  // "café.txt" as Latin-1
        ASSERT_TRUE(writeRaw(root + "/sub/" + latin1, "bytes of the Latin-1 name"));
        o = runOn(*sub, [&] { sub->download(latin1, local("cafe.txt")); });
        EXPECT_TRUE(o.ok) << o.text().toStdString();
        EXPECT_EQ(readFile(local("cafe.txt")), "bytes of the Latin-1 name");
        o = runOn(*sub, [&] { sub->rename(latin1, "caf\xe9 renamed.txt"); });
        EXPECT_TRUE(o.ok) << o.text().toStdString();
        EXPECT_TRUE(existsRaw(root + "/sub/caf\xe9 renamed.txt"));
    }

    // A directory that is gone: the operation fails and nothing is stored anywhere else.
    const std::unique_ptr<RemoteRoute> gone = routeFor(login + "/gone");
    o = runOn(*gone, [&] { gone->upload(local("up.txt"), "lost.txt"); });
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.text().contains("copy")) << o.text().toStdString();
    for (const char* dir : {"", "/sub", "/other"})
        EXPECT_FALSE(existsRaw(root + dir + "/lost.txt")) << dir;
}

INSTANTIATE_TEST_SUITE_P(Routes, TransferRunTest,
                         ::testing::Values(Param{"vsftpd", true}, Param{"vsftpd", false},
                                           Param{"pyftpdlib", true}, Param{"pyftpdlib", false}),
                         paramName);

// Upload-only drop boxes (no rename, no delete) on a small disk.
class DropBoxTest : public TransferRunTest {};

// Guards fault 2: uploads went to NAME.zephra-part and were renamed when complete; a drop box
// refuses the rename ("550 Permission denied."), so every upload failed and left a part file
// nobody could remove.
TEST_P(DropBoxTest, UploadsGoToTheFilesOwnNameAndAFailedOneSaysWhatTheServerHolds)
{
    const QByteArray small = pattern(70 * 1024 + 9, 1);
    ASSERT_TRUE(writeFile(local("plain.txt"), small));
    const RunSummary up = run({{Kind::Upload, "plain.txt", local("plain.txt")},
                               {Kind::UploadEncrypted, "secret.bin", local("plain.txt")}});
    EXPECT_TRUE(up.ok()) << up.report("Upload").toStdString();
    EXPECT_EQ(readFile(remote("plain.txt")), small);
    EXPECT_EQ(readFile(remote("secret.bin")), ciphertextOf(local("plain.txt")));
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"plain.txt", "secret.bin"}));
    if (m_server->name() == QLatin1String("pyftpdlib")) {
        const QString log = m_server->log();
        EXPECT_TRUE(log.contains("<- STOR plain.txt") && log.contains("<- STOR secret.bin")) << log.right(3000).toStdString();
        EXPECT_FALSE(log.contains("<- RNFR") || log.contains("<- DELE")) << log.right(3000).toStdString();
        return;
    }

    // vsftpd's disk fills up halfway: the server keeps what arrived under the file's own name,
    // nothing deletes it, and the report says how much of it was sent.
    const QByteArray huge = pattern(3 * kDropBoxFileLimit, 2);
    ASSERT_TRUE(writeFile(local("huge.iso"), huge));
    const RunSummary full = run({{Kind::Upload, "huge.iso", local("huge.iso")},
                                 {Kind::UploadEncrypted, "huge.enc", local("huge.iso")}});
    ASSERT_EQ(full.failures.size(), 2) << full.report("Upload").toStdString();
    const QByteArray hugeCipher = ciphertextOf(local("huge.iso"));
    const QRegularExpression says(
        QStringLiteral("The server now holds an incomplete copy of (\\S+) \\((\\d+) of (\\d+) bytes sent\\)\\.$"));
    for (const auto& [failure, whole] : {std::pair{full.failures[0], huge}, std::pair{full.failures[1], hugeCipher}}) {
        SCOPED_TRACE(failure.name.toStdString());
        const QByteArray arrived = readFile(remote(failure.name));
        EXPECT_GT(arrived.size(), 0);
        EXPECT_LE(arrived.size(), kDropBoxFileLimit);
        EXPECT_TRUE(whole.startsWith(arrived));
        const QRegularExpressionMatch match = says.match(failure.reason);
        ASSERT_TRUE(match.hasMatch()) << failure.reason.toStdString();
        EXPECT_EQ(match.captured(1), failure.name);
        EXPECT_GE(match.captured(2).toLongLong(), arrived.size());
        EXPECT_EQ(match.captured(3).toLongLong(), whole.size());
    }
    EXPECT_EQ(entries(m_server->rootDir()), (QStringList{"huge.enc", "huge.iso", "plain.txt", "secret.bin"}));

    // vsftpd will not store over a name it already holds ("553 Could not create file."):
    // refused before any data moved, so nothing is said about a copy.
    const RunSummary again = run({{Kind::Upload, "plain.txt", local("huge.iso")}});
    ASSERT_EQ(again.failures.size(), 1);
    EXPECT_FALSE(again.failures[0].reason.contains("copy")) << again.failures[0].reason.toStdString();
    EXPECT_EQ(readFile(remote("plain.txt")), small);
}

INSTANTIATE_TEST_SUITE_P(Routes, DropBoxTest,
                         ::testing::Values(Param{"vsftpd", true, true}, Param{"vsftpd", false, true},
                                           Param{"pyftpdlib", true, true}, Param{"pyftpdlib", false, true}),
                         paramName);
