// The direct route against real servers on 127.0.0.1: pyftpdlib and vsftpd.

#include "FtpTestServers.h"
#include "TestFiles.h"

#include "ftp/direct/DirectSession.h"
#include "ftp/direct/RemoteName.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

using namespace zephra::ftp::direct;
using namespace zephra::test;

namespace {

QStringList namesOf(const QList<DirectEntry>& entries)
{
    QStringList names;
    for (const DirectEntry& e : entries)
        names << e.name;
    names.sort();
    return names;
}

const DirectEntry* find(const QList<DirectEntry>& entries, const QString& name)
{
    for (const DirectEntry& e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

QString remotePath(const FtpTestServer& server, const QString& name) { return server.rootDir() + QLatin1Char('/') + name; }

// pyftpdlib logs every login; vsftpd logs nothing (the starter's probe connects but never logs in).
int loginCount(const FtpTestServer& server) { return int(server.log().count(QStringLiteral("' logged in."))); }

DirectResult openOn(DirectSession& s, const FtpTestServer& server)
{
    return s.open(QStringLiteral("127.0.0.1"), server.port(), server.user(), server.password());
}

#define EXPECT_OK(expr)                                                                      \
    do {                                                                                     \
        const DirectResult r_ = (expr);                                                      \
        EXPECT_TRUE(r_.ok()) << #expr << ": " << errorName(r_.error).toStdString() << " "    \
                             << r_.message.toStdString();                                    \
    } while (0)

}  // namespace

TEST(RemoteName, BuildsNamesFromTheServerDirectory)
{
    struct Row { const char* serverPath; const char* expected; };
    const Row rows[] = {
        {"", "f x.txt"},            // nothing chosen yet: the login directory
        {"/", "f x.txt"},           // the ".." node: the login directory too
        {"pub", "pub/f x.txt"},
        {"/pub", "/pub/f x.txt"},
        {"/pub/", "/pub/f x.txt"},  // no second slash
        {"a b/c d", "a b/c d/f x.txt"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(remoteName(QString::fromUtf8(row.serverPath), QStringLiteral("f x.txt")),
                  QString::fromUtf8(row.expected)) << row.serverPath;
    EXPECT_EQ(listingDirectory(QStringLiteral("/")), QString());
    EXPECT_EQ(listingDirectory(QString()), QString());
    EXPECT_EQ(listingDirectory(QStringLiteral("pub")), QStringLiteral("pub"));
}

// ---- refused before or while connecting --------------------------------------------------------

TEST(DirectOpen, RefusesBadInputBeforeConnecting)
{
    DirectSession s;
    for (int port : {0, -1, 65536, 70000}) {
        const DirectResult r = s.open(QStringLiteral("127.0.0.1"), port, QStringLiteral("u"), QStringLiteral("p"));
        EXPECT_EQ(r.error, DirectError::InvalidArgument) << port;
        EXPECT_TRUE(r.message.contains(QStringLiteral("1 to 65535"))) << r.message.toStdString();
    }
    EXPECT_EQ(s.open(QString(), 21, {}, {}).error, DirectError::InvalidArgument);
    EXPECT_EQ(s.open(QStringLiteral("host/x"), 21, {}, {}).error, DirectError::InvalidArgument);
    EXPECT_EQ(s.open(QStringLiteral("127.0.0.1"), 21, QStringLiteral("u\r\nDELE x"), {}).error,
              DirectError::InvalidArgument);
    EXPECT_FALSE(s.isOpen());
    QList<DirectEntry> entries;
    EXPECT_EQ(s.list(QString(), &entries).error, DirectError::NotOpen);
    EXPECT_EQ(s.makeDirectory(QStringLiteral("x")).error, DirectError::NotOpen);
}

TEST(DirectOpen, FailuresComeSoonWithTheirReason)
{
    // Guards a hang: a server that accepts but never greets must not block the session for ever.
    QTcpServer silent;  // the kernel completes the handshake; nobody ever answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int closed = probe.serverPort();
    probe.close();  // a port nothing listens on
    struct Row {
        const char* name;
        QString host;
        int port;
        int replyTimeoutMs;  // 0: the default 20 s, so only a cancel can end it soon
        int cancelAfterMs;   // -1: no cancel
        DirectError error;
        QString named;       // the message names it
    };
    const Row rows[] = {
        {"closed port", "127.0.0.1", closed, 0, -1, DirectError::ConnectFailed, QString::number(closed)},
        {"silent server", "127.0.0.1", silent.serverPort(), 1000, -1, DirectError::TimedOut, {}},
        {"cancelled", "127.0.0.1", silent.serverPort(), 0, 300, DirectError::Cancelled, {}},
        {"unknown host", "no-such-host.invalid", 21, 0, -1, DirectError::HostNotFound, "no-such-host.invalid"},
    };
    for (const Row& row : rows) {
        DirectOptions o;
        if (row.replyTimeoutMs > 0)
            o.replyTimeoutMs = row.replyTimeoutMs;
        DirectSession s(o);
        std::thread canceller([&] {
            if (row.cancelAfterMs >= 0) {
                QThread::msleep(row.cancelAfterMs);
                s.cancel();
            }
        });
        QElapsedTimer t;
        t.start();
        const DirectResult r = s.open(row.host, row.port, QStringLiteral("u"), QStringLiteral("p"));
        canceller.join();
        EXPECT_EQ(r.error, row.error) << row.name << ": " << r.message.toStdString();
        EXPECT_LT(t.elapsed(), 8000) << row.name;
        EXPECT_TRUE(r.message.contains(row.named)) << row.name << ": " << r.message.toStdString();
        EXPECT_FALSE(s.isOpen()) << row.name;
    }
}

// ---- against pyftpdlib and vsftpd --------------------------------------------------------------

class DirectRealServer : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        server = zephra::test::makeFtpTestServer(QString::fromUtf8(GetParam()));
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        ASSERT_TRUE(local.isValid());
    }

    void open(DirectSession& s)
    {
        const DirectResult r = openOn(s, *server);
        ASSERT_TRUE(r.ok()) << r.message.toStdString() << "\n" << server->log().toStdString();
    }

    bool isPyftpdlib() const { return server->name() == QLatin1String("pyftpdlib"); }
    QString path(const QString& name) const { return remotePath(*server, name); }
    QString localPath(const QString& name) const { return local.path() + QLatin1Char('/') + name; }

    std::unique_ptr<FtpTestServer> server;
    QTemporaryDir local;
};

TEST_P(DirectRealServer, RefusesABadLoginThenOpensAtOnceAndListsNamesWithBlanks)
{
    QDir().mkpath(path(QStringLiteral("a dir  with blanks")));
    ASSERT_TRUE(writeFile(path(QStringLiteral(" lead and trail.txt")), "12345"));
    ASSERT_TRUE(writeFile(path(QStringLiteral("plain")), QByteArray()));
    DirectSession s;
    DirectResult r = s.open(QStringLiteral("127.0.0.1"), server->port(), server->badUser(), QStringLiteral("pw"));
    EXPECT_EQ(r.error, DirectError::LoginRefused) << r.message.toStdString();
    EXPECT_EQ(r.replyCode, 530);
    EXPECT_TRUE(r.message.contains(QStringLiteral("530"))) << r.message.toStdString();
    EXPECT_FALSE(s.isOpen());
    if (isPyftpdlib()) {  // vsftpd takes any password for anonymous
        r = s.open(QStringLiteral("127.0.0.1"), server->port(), server->user(), QStringLiteral("wrong"));
        EXPECT_EQ(r.error, DirectError::LoginRefused) << r.message.toStdString();
    }
    // The same session object opens fine afterwards, logged in by open() itself.
    open(s);
    if (isPyftpdlib()) {
        EXPECT_EQ(loginCount(*server), 1);
    }
    QList<DirectEntry> entries;
    EXPECT_OK(s.list(QString(), &entries));
    EXPECT_EQ(namesOf(entries), (QStringList{" lead and trail.txt", "a dir  with blanks", "plain"}));
    const DirectEntry* dir = find(entries, QStringLiteral("a dir  with blanks"));
    const DirectEntry* file = find(entries, QStringLiteral(" lead and trail.txt"));
    ASSERT_TRUE(dir && file);
    EXPECT_TRUE(dir->isDirectory);
    EXPECT_FALSE(file->isDirectory);
    EXPECT_EQ(file->size, 5);
    EXPECT_FALSE(file->dateText.isEmpty());
}

TEST_P(DirectRealServer, RoundTripsFilesInBinaryOverExistingOnes)
{
    DirectSession s;
    open(s);
    const QByteArray big = pattern(3 * 1024 * 1024 + 123, 7) + "\r\n\n\r";  // binary: line ends stay
    for (const auto& [name, data] : {std::pair{QStringLiteral("empty file"), QByteArray()},
                                     std::pair{QStringLiteral("big one.bin"), big}}) {
        // Longer files in the way on both sides: replaced, not merely overwritten from the start.
        ASSERT_TRUE(writeFile(path(name), "an older, longer server file"));
        ASSERT_TRUE(writeFile(localPath(name), data));
        EXPECT_OK(s.put(localPath(name), name));
        EXPECT_EQ(readFile(path(name)), data) << name.toStdString();
        const QString back = localPath(name + QStringLiteral(".back"));
        ASSERT_TRUE(writeFile(back, "an older, longer local file"));
        EXPECT_OK(s.get(name, back));
        EXPECT_EQ(readFile(back), data) << name.toStdString();
    }
    // No part file stays on the server, no temporary file beside the local target.
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("big one.bin.zephra-part"))));
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files).size(), 4);
}

TEST_P(DirectRealServer, StreamsBothWays)
{
    DirectSession s;
    open(s);
    const QByteArray data = pattern(1024 * 1024 + 5, 11);
    qsizetype sent = 0;
    const Producer producer = [&](char* buffer, qint64 maxSize) {
        const qint64 n = std::min<qint64>(std::min<qint64>(maxSize, 1000), data.size() - sent);  // odd chunks
        memcpy(buffer, data.constData() + sent, size_t(n));
        sent += n;
        return n;
    };
    EXPECT_OK(s.putFrom(producer, -1, QStringLiteral("streamed")));
    EXPECT_EQ(readFile(path(QStringLiteral("streamed"))), data);

    QByteArray got;
    qint64 lastDone = -1, lastTotal = -1;
    s.setProgressHandler([&](qint64 done, qint64 total) { lastDone = done; lastTotal = total; });
    EXPECT_OK(s.getTo(QStringLiteral("streamed"), [&](const char* p, qint64 n) { got.append(p, n); return true; }));
    EXPECT_EQ(got, data);
    EXPECT_EQ(lastDone, data.size());
    EXPECT_EQ(lastTotal, data.size());

    // A producer failing half-way: reported as a local failure; the server's file stays whole.
    qsizetype given = 0;
    const Producer broken = [&](char* buffer, qint64 maxSize) -> qint64 {
        if (given > 100000)
            return -1;
        const qint64 n = std::min<qint64>(maxSize, 50000);
        memset(buffer, 'x', size_t(n));
        given += n;
        return n;
    };
    const DirectResult r = s.putFrom(broken, -1, QStringLiteral("streamed"));
    EXPECT_EQ(r.error, DirectError::LocalFile) << r.message.toStdString();
    EXPECT_EQ(readFile(path(QStringLiteral("streamed"))), data);
}

TEST_P(DirectRealServer, DirectoryOperationsAndTheirFailures)
{
    ASSERT_TRUE(writeFile(path(QStringLiteral("doomed file")), "x"));
    DirectSession s;
    open(s);
    EXPECT_OK(s.makeDirectory(QStringLiteral("new dir")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("new dir"))).isDir());
    EXPECT_OK(s.rename(QStringLiteral("new dir"), QStringLiteral("renamed dir")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("renamed dir"))).isDir());
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("new dir"))));
    EXPECT_OK(s.removeDirectory(QStringLiteral("renamed dir")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("renamed dir"))));
    EXPECT_OK(s.remove(QStringLiteral("doomed file")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("doomed file"))));

    // Each failure carries the server's reply.
    QDir().mkpath(path(QStringLiteral("exists")));
    ASSERT_TRUE(writeFile(path(QStringLiteral("exists/inside")), "keep"));
    const struct { const char* what; DirectResult r; } failures[] = {
        {"mkdir over an existing directory", s.makeDirectory(QStringLiteral("exists"))},
        {"rmdir of a missing directory", s.removeDirectory(QStringLiteral("missing"))},
        {"rmdir of a directory with files", s.removeDirectory(QStringLiteral("exists"))},
        {"rename of a missing entry", s.rename(QStringLiteral("missing"), QStringLiteral("other"))},
        {"delete of a missing file", s.remove(QStringLiteral("missing"))},
        {"put into a missing directory", s.put(path(QStringLiteral("exists/inside")), QStringLiteral("missing/f"))},
    };
    for (const auto& f : failures) {
        EXPECT_EQ(f.r.error, DirectError::ServerRefused) << f.what << ": " << f.r.message.toStdString();
        EXPECT_GE(f.r.replyCode, 400) << f.what;
        EXPECT_FALSE(f.r.serverText.isEmpty()) << f.what;
        EXPECT_TRUE(f.r.message.contains(f.r.serverText)) << f.what;
    }
    EXPECT_EQ(readFile(path(QStringLiteral("exists/inside"))), "keep");
    QList<DirectEntry> entries;
    DirectResult r = s.list(QStringLiteral("missing"), &entries);
    if (isPyftpdlib()) {  // vsftpd answers LIST of a missing directory with an empty listing
        EXPECT_EQ(r.error, DirectError::ServerRefused) << r.message.toStdString();
        EXPECT_TRUE(r.message.contains(QStringLiteral("550"))) << r.message.toStdString();
    }
    // A failed download leaves the local file alone; a missing local directory is a local failure.
    ASSERT_TRUE(writeFile(localPath(QStringLiteral("precious")), "precious local bytes"));
    r = s.get(QStringLiteral("no such file"), localPath(QStringLiteral("precious")));
    EXPECT_EQ(r.error, DirectError::NotFound) << r.message.toStdString();
    EXPECT_TRUE(r.message.contains(QStringLiteral("no such file")));
    EXPECT_EQ(readFile(localPath(QStringLiteral("precious"))), "precious local bytes");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files), QStringList{QStringLiteral("precious")});
    EXPECT_EQ(s.get(QStringLiteral("exists/inside"), localPath(QStringLiteral("no dir/x"))).error, DirectError::LocalFile);
    // Names that would smuggle a second command are refused before sending.
    EXPECT_EQ(s.remove(QStringLiteral("a\r\nDELE exists/inside")).error, DirectError::InvalidArgument);
    EXPECT_EQ(s.makeDirectory(QString()).error, DirectError::InvalidArgument);
    EXPECT_TRUE(s.isOpen());
}

TEST_P(DirectRealServer, ReachesNestedDirectoriesByFullPath)
{
    // Guards the fault of addressing only the clicked node: three levels below the login directory.
    DirectSession s;
    open(s);
    QString dir;
    for (const QString& part : {QStringLiteral("a b"), QStringLiteral("c d"), QStringLiteral("e f")}) {
        dir = remoteName(dir, part);
        EXPECT_OK(s.makeDirectory(dir));
    }
    EXPECT_EQ(dir, QStringLiteral("a b/c d/e f"));
    ASSERT_TRUE(writeFile(localPath(QStringLiteral("x")), "deep"));
    EXPECT_OK(s.put(localPath(QStringLiteral("x")), remoteName(dir, QStringLiteral("x y"))));
    EXPECT_EQ(readFile(path(QStringLiteral("a b/c d/e f/x y"))), "deep");

    QList<DirectEntry> entries;
    EXPECT_OK(s.list(dir, &entries));
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("x y")});
    // Absolute paths: pyftpdlib puts the session at "/", vsftpd (not chrooted) at the served path.
    const QString login = s.loginDirectory();
    const QString top = (login.endsWith(QLatin1Char('/')) ? login : login + QLatin1Char('/')) + QStringLiteral("a b");
    EXPECT_OK(s.list(top + QStringLiteral("/c d/"), &entries));  // with a trailing slash
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("e f")});
    EXPECT_OK(s.list(s.loginDirectory(), &entries));
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("a b")});
    EXPECT_OK(s.rename(remoteName(dir, QStringLiteral("x y")), remoteName(top, QStringLiteral("moved"))));
    EXPECT_EQ(readFile(path(QStringLiteral("a b/moved"))), "deep");
    EXPECT_OK(s.get(remoteName(top + QLatin1Char('/'), QStringLiteral("moved")), localPath(QStringLiteral("moved"))));
    EXPECT_EQ(readFile(localPath(QStringLiteral("moved"))), "deep");
    // The server's current directory never changed: a relative name still starts at the top.
    EXPECT_OK(s.makeDirectory(QStringLiteral("top")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("top"))).isDir());
}

INSTANTIATE_TEST_SUITE_P(Servers, DirectRealServer, ::testing::Values("pyftpdlib", "vsftpd"),
                         [](const auto& info) { return std::string(info.param); });

TEST(DirectTranscript, OneLoginActiveBinaryAndQuit)
{
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    const int sessionsBefore = int(server.log().count(QStringLiteral("FTP session opened")));  // the start probe
    QTemporaryDir local;
    ASSERT_TRUE(writeFile(local.path() + QStringLiteral("/f"), "data"));
    DirectSession s;
    ASSERT_TRUE(openOn(s, server).ok());
    QList<DirectEntry> entries;
    EXPECT_OK(s.put(local.path() + QStringLiteral("/f"), QStringLiteral("f")));
    EXPECT_OK(s.list(QString(), &entries));
    EXPECT_OK(s.get(QStringLiteral("f"), local.path() + QStringLiteral("/g")));
    EXPECT_OK(s.makeDirectory(QStringLiteral("d")));
    EXPECT_OK(s.rename(QStringLiteral("f"), QStringLiteral("d/f")));
    EXPECT_OK(s.remove(QStringLiteral("d/f")));
    EXPECT_OK(s.removeDirectory(QStringLiteral("d")));
    EXPECT_EQ(s.connectionsOpened(), 1);
    s.close();
    EXPECT_FALSE(s.isOpen());
    ASSERT_TRUE(server.waitForLog(QStringLiteral("<- QUIT"), 1, 3000)) << server.log().toStdString();
    const QString log = server.log();
    EXPECT_EQ(log.count(QStringLiteral("FTP session opened")) - sessionsBefore, 1);
    EXPECT_EQ(log.count(QStringLiteral("<- USER")), 1);
    EXPECT_EQ(loginCount(server), 1);
    EXPECT_EQ(log.count(QStringLiteral("<- EPRT")) + log.count(QStringLiteral("<- PORT")), 3);  // put, list, get
    EXPECT_FALSE(log.contains(QStringLiteral("PASV")));  // neither PASV nor EPSV
    EXPECT_FALSE(log.contains(QStringLiteral("<- CWD")));  // full paths; the directory never changes
    EXPECT_TRUE(log.contains(QStringLiteral("<- TYPE I")));
    const qsizetype stor = log.indexOf(QStringLiteral("<- STOR f.zephra-part"));
    const qsizetype rename = log.indexOf(QStringLiteral("<- RNTO f"));
    EXPECT_TRUE(stor >= 0 && rename > stor) << "uploads land under a temporary name, then replace the target";
}

// ---- cancellation and servers that go away ------------------------------------------------------

TEST(DirectCancel, MidTransferKeepsFilesAndSession)
{
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    QTemporaryDir local;
    const QString target = local.path() + QStringLiteral("/kept");
    ASSERT_TRUE(writeFile(target, "the user's own file"));
    const QByteArray big = pattern(16 * 1024 * 1024, 3);
    ASSERT_TRUE(writeFile(remotePath(server, QStringLiteral("big")), big));
    ASSERT_TRUE(writeFile(remotePath(server, QStringLiteral("remote kept")), "the server's own file"));
    ASSERT_TRUE(writeFile(local.path() + QStringLiteral("/upload"), big));

    DirectSession s;
    ASSERT_TRUE(openOn(s, server).ok());
    std::atomic<bool> moving{false};
    s.setProgressHandler([&](qint64 done, qint64) {
        if (done > 0) {
            moving = true;
            QThread::msleep(5);  // slow the transfer down so the cancel lands mid-way
        }
    });
    const auto cancelWhenMoving = [&] {
        for (int i = 0; i < 1000 && !moving; ++i)
            QThread::msleep(5);
        s.cancel();
    };

    std::thread canceller(cancelWhenMoving);
    QElapsedTimer t;
    t.start();
    DirectResult r = s.get(QStringLiteral("big"), target);
    canceller.join();
    EXPECT_EQ(r.error, DirectError::Cancelled) << r.message.toStdString();
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(readFile(target), "the user's own file");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files).size(), 2);  // no temporary file left
    QList<DirectEntry> entries;
    EXPECT_EQ(s.list(QString(), &entries).error, DirectError::Cancelled) << "the cancel request sticks until reset";

    s.resetCancel();
    moving = false;
    std::thread canceller2(cancelWhenMoving);
    r = s.put(local.path() + QStringLiteral("/upload"), QStringLiteral("remote kept"));
    canceller2.join();
    EXPECT_EQ(r.error, DirectError::Cancelled) << r.message.toStdString();
    EXPECT_EQ(readFile(remotePath(server, QStringLiteral("remote kept"))), "the server's own file");
    EXPECT_TRUE(QFile::exists(remotePath(server, QStringLiteral("remote kept.zephra-part"))));

    // Usable again: the next operations log in anew by themselves.
    s.resetCancel();
    s.setProgressHandler({});
    EXPECT_OK(s.list(QString(), &entries));
    EXPECT_TRUE(find(entries, QStringLiteral("big")));
    EXPECT_FALSE(find(entries, QStringLiteral("remote kept.zephra-part"))) << "the broken-off part file went first";
    EXPECT_FALSE(QFile::exists(remotePath(server, QStringLiteral("remote kept.zephra-part"))));
    EXPECT_OK(s.get(QStringLiteral("big"), target));
    EXPECT_EQ(readFile(target), big);
}

TEST(DirectServerGone, IdleDropReconnectsAndClosesCleanly)
{
    PyftpdlibServer server(1);
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    DirectSession s;
    ASSERT_TRUE(openOn(s, server).ok());
    // The start probe's session closed first; then ours, timed out.
    const QString closed = QStringLiteral("FTP session closed");
    ASSERT_TRUE(server.waitForLog(QStringLiteral("Control connection timed out"), 1)) << server.log().toStdString();
    ASSERT_TRUE(server.waitForLog(closed, 2));

    QList<DirectEntry> entries;
    EXPECT_OK(s.list(QString(), &entries));  // logs in again by itself
    EXPECT_EQ(s.connectionsOpened(), 2);
    EXPECT_EQ(loginCount(server), 2);

    // Let the server drop the second connection as well, then close on it.
    ASSERT_TRUE(server.waitForLog(closed, 3));
    QElapsedTimer t;
    t.start();
    s.close();  // the server already dropped it: no error, no wait
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(s.isOpen());
}

TEST(DirectServerGone, StalledDownloadTimesOutAndKeepsTheLocalFile)
{
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    ASSERT_TRUE(writeFile(remotePath(server, QStringLiteral("big")), QByteArray(64 * 1024 * 1024, 'z')));
    QTemporaryDir local;
    const QString target = local.path() + QStringLiteral("/big");
    ASSERT_TRUE(writeFile(target, "keep me"));
    DirectOptions o;
    o.stallTimeoutMs = 2000;
    DirectSession s(o);
    ASSERT_TRUE(openOn(s, server).ok());
    std::atomic<bool> moving{false};
    s.setProgressHandler([&](qint64 done, qint64) {
        if (done > 0)
            moving = true;
    });
    std::thread freezer([&] {
        for (int i = 0; i < 1000 && !moving; ++i)
            QThread::msleep(2);
        ::kill(pid_t(server.processId()), SIGSTOP);  // the server stops sending mid-file
    });
    QElapsedTimer t;
    t.start();
    const DirectResult r = s.get(QStringLiteral("big"), target);
    freezer.join();
    ::kill(pid_t(server.processId()), SIGCONT);
    EXPECT_EQ(r.error, DirectError::TimedOut) << r.message.toStdString();
    EXPECT_LT(t.elapsed(), 6000) << "stall time-out 2 s";
    EXPECT_EQ(readFile(target), "keep me");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files), QStringList{QStringLiteral("big")});
}

TEST(DirectServerGone, CloseReturnsSoonFromAHungOrVanishedServer)
{
    // Guards a frozen window at disconnect: QUIT to a server that no longer answers, or is gone.
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    DirectSession hung, gone;
    ASSERT_TRUE(openOn(hung, server).ok());
    ASSERT_TRUE(openOn(gone, server).ok());
    ASSERT_EQ(::kill(pid_t(server.processId()), SIGSTOP), 0);
    QElapsedTimer t;
    t.start();
    hung.close();
    EXPECT_LT(t.elapsed(), 5000);
    ::kill(pid_t(server.processId()), SIGCONT);
    EXPECT_FALSE(hung.isOpen());

    server.stop();
    QList<DirectEntry> entries;
    const DirectResult r = gone.list(QString(), &entries);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.message.isEmpty());
    t.start();
    gone.close();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(gone.isOpen());
}
