// The direct route against real servers on 127.0.0.1, pyftpdlib and vsftpd: logging in,
// listing, transfers and directory operations.

#include "DirectTestSupport.h"

#include "ftp/direct/RemoteName.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <thread>

using namespace zephra::ftp::direct;
using namespace zephra::test;

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
    EXPECT_EQ(s.list(QByteArray(), &entries).error, DirectError::NotOpen);
    EXPECT_EQ(s.makeDirectory(QByteArray("x")).error, DirectError::NotOpen);
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
    // The login directory is the server's PWD reply: pyftpdlib confines the user to "/", this
    // vsftpd does not and puts the session in the served directory.
    EXPECT_EQ(s.loginDirectory(), isPyftpdlib() ? QByteArray("/") : QFile::encodeName(server->rootDir()));
    QList<DirectEntry> entries;
    EXPECT_OK(s.list(QByteArray(), &entries));
    EXPECT_EQ(namesOf(entries), (QStringList{" lead and trail.txt", "a dir  with blanks", "plain"}));
    const DirectEntry* dir = find(entries, "a dir  with blanks");
    const DirectEntry* file = find(entries, " lead and trail.txt");
    ASSERT_TRUE(dir && file);
    EXPECT_TRUE(dir->isDirectory);
    EXPECT_FALSE(file->isDirectory);
    EXPECT_EQ(file->size, 5);
    EXPECT_FALSE(file->dateText.isEmpty());
}

TEST_P(DirectRealServer, ListsADirectoryByChangingIntoIt)
{
    // Guards "LIST <path>": servers read the argument as ls options or a pattern, so "-dashdir"
    // listed the login directory, names with brackets listed empty, and a missing directory
    // listed empty with success.
    const QByteArray names[] = {"-dashdir", "odd names", "br[a]ck", "*", "-l"};
    for (const QByteArray& name : names) {
        ASSERT_TRUE(QDir().mkpath(path(QString::fromUtf8(name))));
        ASSERT_TRUE(writeFile(path(QString::fromUtf8(name + "/inside " + name)), name));
    }
    DirectSession s;
    open(s);
    const QByteArray login = s.loginDirectory();
    for (const QByteArray& name : names) {
        // Relative to the login directory and absolute, with and without a trailing slash.
        for (const QByteArray& directory : {name, childPath(login, name), childPath(login, name) + '/'}) {
            QList<DirectEntry> entries;
            EXPECT_OK(s.list(directory, &entries));
            EXPECT_EQ(namesOf(entries), QStringList{QString::fromUtf8("inside " + name)}) << directory.toStdString();
            EXPECT_OK(s.enterDirectory(directory));
        }
    }
    // A missing directory and a file are errors, never an empty list.
    for (const QByteArray& missing : {QByteArray("missing"), childPath(login, "missing"), QByteArray("-dashdir/inside -dashdir")}) {
        QList<DirectEntry> entries;
        const DirectResult r = s.list(missing, &entries);
        EXPECT_EQ(r.error, DirectError::ServerRefused) << missing.toStdString() << ": " << r.message.toStdString();
        EXPECT_EQ(r.replyCode, 550) << missing.toStdString();
        EXPECT_TRUE(entries.isEmpty());
        EXPECT_EQ(s.enterDirectory(missing).error, DirectError::ServerRefused) << missing.toStdString();
    }
    if (isPyftpdlib()) {  // the wire: one CWD with the whole path, and a listing with no argument
        const QString log = server->log();
        EXPECT_TRUE(log.contains(QStringLiteral("<- CWD /-dashdir\n"))) << log.toStdString();
        EXPECT_FALSE(log.contains(QStringLiteral("<- LIST ")) || log.contains(QStringLiteral("<- MLSD "))) << log.toStdString();
    }
}

TEST_P(DirectRealServer, ParentsComeFromTheConfirmedPath)
{
    // Guards ".." going to the login directory instead of the parent.
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("a/b/c"))));
    DirectSession s;
    open(s);
    QByteArray current = s.loginDirectory();
    for (const QByteArray& step : {QByteArray("a"), QByteArray("b"), QByteArray("c")}) {
        current = resolveDirectory(current, step);
        EXPECT_OK(s.enterDirectory(current));
    }
    EXPECT_EQ(current, childPath(s.loginDirectory(), "a/b/c"));
    QList<DirectEntry> entries;
    for (const char* expected : {"c", "b", "a"}) {
        current = resolveDirectory(current, "..");
        EXPECT_OK(s.list(current, &entries));
        EXPECT_TRUE(find(entries, expected)) << current.toStdString() << " lists " << namesOf(entries).join(u',').toStdString();
    }
    EXPECT_EQ(current, s.loginDirectory());
    // Above the login directory: pyftpdlib's "/" is its own parent; this vsftpd shows the
    // machine's directories, where the served one appears by name.
    current = resolveDirectory(current, "..");
    EXPECT_OK(s.list(current, &entries));
    if (isPyftpdlib()) {
        EXPECT_EQ(current, "/");
        EXPECT_TRUE(find(entries, "a"));
    } else {
        EXPECT_EQ(current, QFile::encodeName(QFileInfo(server->rootDir()).path()));
        EXPECT_TRUE(find(entries, "root")) << namesOf(entries).join(u',').toStdString();
    }
}

TEST_P(DirectRealServer, RoundTripsFilesInBinaryOverExistingOnes)
{
    DirectSession s;
    open(s);
    const QByteArray big = pattern(3 * 1024 * 1024 + 123, 7) + "\r\n\n\r";  // binary: line ends stay
    for (const auto& [name, data] : {std::pair{QStringLiteral("empty file"), QByteArray()},
                                     std::pair{QStringLiteral("big one.bin"), big}}) {
        // Longer files in the way on both sides: replaced, not merely overwritten from the start.
        // A private file stays private on both sides.
        ASSERT_TRUE(writeFile(path(name), "an older, longer server file"));
        ASSERT_TRUE(QFile::setPermissions(path(name), QFile::ReadOwner | QFile::WriteOwner));
        ASSERT_TRUE(writeFile(localPath(name), data));
        EXPECT_OK(s.put(localPath(name), name.toUtf8()));
        EXPECT_EQ(readFile(path(name)), data) << name.toStdString();
        EXPECT_EQ(QFile::permissions(path(name)), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser)
            << "guards a replaced server file made world-readable";
        const QString back = localPath(name + QStringLiteral(".back"));
        ASSERT_TRUE(writeFile(back, "an older, longer local file"));
        ASSERT_TRUE(QFile::setPermissions(back, QFile::ReadOwner | QFile::WriteOwner));
        EXPECT_OK(s.get(name.toUtf8(), back));
        EXPECT_EQ(readFile(back), data) << name.toStdString();
        EXPECT_EQ(QFile::permissions(back), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }
    // Nothing beside the files on either side: no part file, no temporary file.
    EXPECT_EQ(QDir(server->rootDir()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

TEST_P(DirectRealServer, StreamsBothWaysAndABrokenUploadSaysWhatArrived)
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
    DirectResult r = s.putFrom(producer, -1, QByteArray("streamed"));
    EXPECT_TRUE(r.ok()) << r.message.toStdString();
    EXPECT_EQ(r.bytesTransferred, data.size());
    EXPECT_EQ(readFile(path(QStringLiteral("streamed"))), data);

    QByteArray got;
    qint64 lastDone = -1, lastTotal = -1;
    s.setProgressHandler([&](qint64 done, qint64 total) { lastDone = done; lastTotal = total; });
    EXPECT_OK(s.getTo(QByteArray("streamed"), [&](const char* p, qint64 n) { got.append(p, n); return true; }));
    EXPECT_EQ(got, data);
    EXPECT_EQ(lastDone, data.size());
    EXPECT_EQ(lastTotal, data.size());

    // A producer failing half-way: a local failure; the server keeps what arrived under the
    // file's own name, and the result says how much that is.
    qsizetype given = 0;
    const Producer broken = [&](char* buffer, qint64 maxSize) -> qint64 {
        if (given > 100000)
            return -1;
        const qint64 n = std::min<qint64>(maxSize, 50000);
        memset(buffer, 'x', size_t(n));
        given += n;
        return n;
    };
    r = s.putFrom(broken, -1, QByteArray("streamed"));
    EXPECT_EQ(r.error, DirectError::LocalFile) << r.message.toStdString();
    EXPECT_TRUE(r.transferStarted);
    EXPECT_GT(r.bytesTransferred, 0);
    expectBeginningOf(path(QStringLiteral("streamed")), QByteArray(given, 'x'), r.bytesTransferred);
    EXPECT_EQ(QDir(server->rootDir()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("streamed")});
    EXPECT_OK(s.getTo(QByteArray("streamed"), [](const char*, qint64) { return true; }));  // the session goes on
}

TEST_P(DirectRealServer, DirectoryOperationsAndTheirFailures)
{
    ASSERT_TRUE(writeFile(path(QStringLiteral("doomed file")), "x"));
    DirectSession s;
    open(s);
    EXPECT_OK(s.makeDirectory(QByteArray("new dir")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("new dir"))).isDir());
    EXPECT_OK(s.rename(QByteArray("new dir"), QByteArray("renamed dir")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("renamed dir"))).isDir());
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("new dir"))));
    EXPECT_OK(s.removeDirectory(QByteArray("renamed dir")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("renamed dir"))));
    EXPECT_OK(s.remove(QByteArray("doomed file")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("doomed file"))));

    // Each failure carries the server's reply.
    QDir().mkpath(path(QStringLiteral("exists")));
    ASSERT_TRUE(writeFile(path(QStringLiteral("exists/inside")), "keep"));
    const struct { const char* what; DirectResult r; } failures[] = {
        {"mkdir over an existing directory", s.makeDirectory(QByteArray("exists"))},
        {"rmdir of a missing directory", s.removeDirectory(QByteArray("missing"))},
        {"rmdir of a directory with files", s.removeDirectory(QByteArray("exists"))},
        {"rename of a missing entry", s.rename(QByteArray("missing"), QByteArray("other"))},
        {"delete of a missing file", s.remove(QByteArray("missing"))},
        {"put into a missing directory", s.put(path(QStringLiteral("exists/inside")), QByteArray("missing/f"))},
    };
    for (const auto& f : failures) {
        EXPECT_EQ(f.r.error, DirectError::ServerRefused) << f.what << ": " << f.r.message.toStdString();
        EXPECT_GE(f.r.replyCode, 400) << f.what;
        EXPECT_FALSE(f.r.serverText.isEmpty()) << f.what;
        EXPECT_TRUE(f.r.message.contains(f.r.serverText)) << f.what;
        EXPECT_FALSE(f.r.transferStarted) << f.what;
    }
    EXPECT_EQ(readFile(path(QStringLiteral("exists/inside"))), "keep");
    // A failed download leaves the local file alone; a missing local directory is a local failure.
    ASSERT_TRUE(writeFile(localPath(QStringLiteral("precious")), "precious local bytes"));
    DirectResult r = s.get(QByteArray("no such file"), localPath(QStringLiteral("precious")));
    EXPECT_EQ(r.error, DirectError::NotFound) << r.message.toStdString();
    EXPECT_TRUE(r.message.contains(QStringLiteral("no such file")));
    EXPECT_EQ(readFile(localPath(QStringLiteral("precious"))), "precious local bytes");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("precious")});
    EXPECT_EQ(s.get(QByteArray("exists/inside"), localPath(QStringLiteral("no dir/x"))).error, DirectError::LocalFile);
    // Names that would smuggle a second command are refused before sending.
    for (const QByteArray& smuggler : {QByteArray("a\r\nDELE exists/inside"), QByteArray("a\nDELE x"), QByteArray("a\0b", 3)}) {
        EXPECT_EQ(s.remove(smuggler).error, DirectError::InvalidArgument);
        EXPECT_EQ(s.get(smuggler, localPath(QStringLiteral("x"))).error, DirectError::InvalidArgument);
        QList<DirectEntry> entries;
        EXPECT_EQ(s.list(smuggler, &entries).error, DirectError::InvalidArgument);
    }
    EXPECT_EQ(s.makeDirectory(QByteArray()).error, DirectError::InvalidArgument);
    EXPECT_TRUE(s.isOpen());
    EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("exists/inside"))));
}

TEST_P(DirectRealServer, ReachesNestedDirectoriesByFullPath)
{
    // Guards the fault of addressing only the clicked node: three levels below the login directory.
    DirectSession s;
    open(s);
    QByteArray dir;
    for (const QByteArray& part : {QByteArray("a b"), QByteArray("c d"), QByteArray("e f")}) {
        dir = childPath(dir, part);
        EXPECT_OK(s.makeDirectory(dir));
    }
    EXPECT_EQ(dir, "a b/c d/e f");
    ASSERT_TRUE(writeFile(localPath(QStringLiteral("x")), "deep"));
    EXPECT_OK(s.put(localPath(QStringLiteral("x")), childPath(dir, "x y")));
    EXPECT_EQ(readFile(path(QStringLiteral("a b/c d/e f/x y"))), "deep");

    QList<DirectEntry> entries;
    EXPECT_OK(s.list(dir, &entries));
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("x y")});
    const QByteArray top = childPath(s.loginDirectory(), "a b");
    EXPECT_OK(s.list(top + "/c d/", &entries));  // with a trailing slash
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("e f")});
    EXPECT_OK(s.list(s.loginDirectory(), &entries));
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("a b")});
    EXPECT_OK(s.rename(childPath(dir, "x y"), childPath(top, "moved")));
    EXPECT_EQ(readFile(path(QStringLiteral("a b/moved"))), "deep");
    EXPECT_OK(s.get(childPath(top + '/', "moved"), localPath(QStringLiteral("moved"))));
    EXPECT_EQ(readFile(localPath(QStringLiteral("moved"))), "deep");
    // After listing deep down, a relative name still starts at the login directory.
    EXPECT_OK(s.list(childPath(top, "c d/e f"), &entries));
    EXPECT_OK(s.makeDirectory(QByteArray("top")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("top"))).isDir());
    ASSERT_TRUE(writeFile(path(QStringLiteral("top/t")), "t"));
    EXPECT_OK(s.get(QByteArray("top/t"), localPath(QStringLiteral("t"))));
    EXPECT_OK(s.list(QByteArray(), &entries));
    EXPECT_EQ(namesOf(entries), (QStringList{QStringLiteral("a b"), QStringLiteral("top")}));
}

INSTANTIATE_TEST_SUITE_P(Servers, DirectRealServer, ::testing::Values("pyftpdlib", "vsftpd"),
                         [](const auto& info) { return std::string(info.param); });
