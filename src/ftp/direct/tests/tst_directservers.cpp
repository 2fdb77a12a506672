// The direct route where servers differ or misbehave: names that are not UTF-8, an upload-only
// drop box, the exact commands sent, a cancel mid-transfer, servers that hang or go away.

#include "DirectTestSupport.h"

#include "ftp/direct/RemoteName.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zephra::ftp::direct;
using namespace zephra::test;

TEST(DirectNames, NamesThatAreNotUtf8WorkByTheirBytes)
{
    // Guards names re-encoded from their shown text: "caf\xe9.txt" was listed as "café.txt",
    // then every command about it sent "caf\xc3\xa9.txt" and got 550.
    VsftpdServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    const QByteArray root = QFile::encodeName(server.rootDir());
    const auto onDisk = [&](const QByteArray& name) { return root + '/' + name; };
    const auto put = [](const QByteArray& path, const QByteArray& data) {
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        const bool ok = fd >= 0 && ::write(fd, data.constData(), size_t(data.size())) == data.size();
        return ::close(fd) == 0 && ok;
    };
    const auto exists = [](const QByteArray& path) { struct stat st {}; return ::stat(path.constData(), &st) == 0; };
    ASSERT_TRUE(put(onDisk("caf\xe9.txt"), "latin"));
    ASSERT_EQ(::mkdir(onDisk("r\xe9p").constData(), 0755), 0);
    ASSERT_TRUE(put(onDisk("r\xe9p/dedans"), "inside"));

    DirectSession s;
    ASSERT_TRUE(openOn(s, server).ok());
    QList<DirectEntry> entries;
    EXPECT_OK(s.list(QByteArray(), &entries));
    ASSERT_TRUE(find(entries, "caf\xe9.txt") && find(entries, "r\xe9p")) << namesOf(entries).join(u',').toStdString();
    const DirectEntry file = *find(entries, "caf\xe9.txt");
    const DirectEntry dir = *find(entries, "r\xe9p");
    EXPECT_EQ(file.name, QStringLiteral("café.txt"));  // shown decoded
    EXPECT_TRUE(dir.isDirectory);

    QTemporaryDir local;
    EXPECT_OK(s.get(file.rawName, local.path() + QStringLiteral("/cafe.txt")));
    EXPECT_EQ(readFile(local.path() + QStringLiteral("/cafe.txt")), "latin");
    const QByteArray inside = childPath(s.loginDirectory(), dir.rawName);
    EXPECT_OK(s.enterDirectory(inside));
    EXPECT_OK(s.list(inside, &entries));
    EXPECT_EQ(namesOf(entries), QStringList{QStringLiteral("dedans")});
    EXPECT_OK(s.put(local.path() + QStringLiteral("/cafe.txt"), childPath(inside, "nouveau \xe9t\xe9")));
    EXPECT_TRUE(exists(onDisk("r\xe9p/nouveau \xe9t\xe9")));
    EXPECT_OK(s.rename(file.rawName, QByteArray("th\xe9.txt")));
    EXPECT_TRUE(exists(onDisk("th\xe9.txt")));
    EXPECT_FALSE(exists(onDisk("caf\xe9.txt")));
    EXPECT_OK(s.remove(QByteArray("th\xe9.txt")));
    EXPECT_FALSE(exists(onDisk("th\xe9.txt")));
    EXPECT_OK(s.makeDirectory(childPath(inside, "d\xe9j\xe0")));
    EXPECT_TRUE(exists(onDisk("r\xe9p/d\xe9j\xe0")));
    EXPECT_OK(s.removeDirectory(childPath(inside, "d\xe9j\xe0")));
    EXPECT_FALSE(exists(onDisk("r\xe9p/d\xe9j\xe0")));
}

TEST(DirectDropBox, UploadsGoToTheFilesOwnName)
{
    // Guards uploads to "NAME.zephra-part" and a rename: a drop box refuses the rename ("550"),
    // the part file stayed and a retry failed with "553 Could not create file.". Drop boxes often
    // refuse to list as well; the session works all the same.
    struct Row { const char* kind; bool listing; };
    for (const Row row : {Row{"vsftpd", true}, Row{"vsftpd", false}, Row{"pyftpdlib", true}, Row{"pyftpdlib", false}}) {
        FtpServerSetup setup;
        setup.uploadOnly = true;
        setup.listing = row.listing;
        auto server = makeFtpTestServer(QString::fromLatin1(row.kind), setup);
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        const std::string name = std::string(row.kind) + (row.listing ? "" : " without listing");
        QTemporaryDir local;
        const QByteArray data = pattern(300 * 1000, 5);
        ASSERT_TRUE(writeFile(local.path() + QStringLiteral("/report.pdf"), data));
        DirectSession s;
        ASSERT_TRUE(openOn(s, *server).ok()) << name;
        QList<DirectEntry> entries;
        const DirectResult listed = s.list(QByteArray(), &entries);
        EXPECT_EQ(listed.ok(), row.listing) << name << ": " << listed.message.toStdString();
        EXPECT_OK(s.put(local.path() + QStringLiteral("/report.pdf"), QByteArray("report.pdf")));
        EXPECT_EQ(readFile(remotePath(*server, QStringLiteral("report.pdf"))), data) << name;
        EXPECT_EQ(QDir(server->rootDir()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("report.pdf")}) << name;
        // The drop box is what the test says it is.
        EXPECT_EQ(s.remove(QByteArray("report.pdf")).error, DirectError::ServerRefused) << name;
        EXPECT_EQ(s.rename(QByteArray("report.pdf"), QByteArray("other")).error, DirectError::ServerRefused) << name;
        EXPECT_TRUE(s.isOpen()) << name;
    }
}

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
    EXPECT_TRUE(s.serverOffersUtf8());
    EXPECT_TRUE(s.serverOffersMlsd());
    QList<DirectEntry> entries;
    EXPECT_OK(s.put(local.path() + QStringLiteral("/f"), QByteArray("f")));
    EXPECT_OK(s.list(QByteArray(), &entries));
    EXPECT_OK(s.get(QByteArray("f"), local.path() + QStringLiteral("/g")));
    EXPECT_OK(s.makeDirectory(QByteArray("d")));
    EXPECT_OK(s.rename(QByteArray("f"), QByteArray("d/f")));
    EXPECT_OK(s.remove(QByteArray("d/f")));
    EXPECT_OK(s.removeDirectory(QByteArray("d")));
    EXPECT_EQ(s.connectionsOpened(), 1);
    s.close();
    EXPECT_FALSE(s.isOpen());
    ASSERT_TRUE(server.waitForLog(QStringLiteral("<- QUIT"), 1, 3000)) << server.log().toStdString();
    const QString log = server.log();
    EXPECT_EQ(log.count(QStringLiteral("FTP session opened")) - sessionsBefore, 1);
    EXPECT_EQ(log.count(QStringLiteral("<- USER")), 1);
    EXPECT_EQ(loginCount(server), 1);
    EXPECT_EQ(log.count(QStringLiteral("<- FEAT")), 1);
    EXPECT_EQ(log.count(QStringLiteral("<- OPTS UTF8 ON")), 1);  // FEAT lists UTF8
    EXPECT_EQ(log.count(QStringLiteral("<- EPRT")) + log.count(QStringLiteral("<- PORT")), 3);  // put, list, get
    EXPECT_FALSE(log.contains(QStringLiteral("PASV")));  // neither PASV nor EPSV
    EXPECT_TRUE(log.contains(QStringLiteral("<- TYPE I")));
    EXPECT_TRUE(log.contains(QStringLiteral("<- MLSD\n")));  // FEAT offers MLST
    EXPECT_FALSE(log.contains(QStringLiteral("<- LIST")));
    // Uploads go to the file's own name; commands carry the absolute path.
    EXPECT_TRUE(log.contains(QStringLiteral("<- STOR f\n")));
    EXPECT_FALSE(log.contains(QStringLiteral("zephra-part")));
    for (const char* line : {"<- RNFR /f\n", "<- RNTO /d/f\n", "<- DELE /d/f\n", "<- MKD /d\n", "<- RMD /d\n"})
        EXPECT_TRUE(log.contains(QString::fromLatin1(line))) << line;
}

// ---- cancellation and servers that go away ------------------------------------------------------

TEST(DirectCancel, MidTransferKeepsTheLocalFileAndSaysWhatTheServerHolds)
{
    PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    QTemporaryDir local;
    const QString target = local.path() + QStringLiteral("/kept");
    ASSERT_TRUE(writeFile(target, "the user's own file"));
    const QByteArray big = pattern(16 * 1024 * 1024, 3);
    ASSERT_TRUE(writeFile(remotePath(server, QStringLiteral("big")), big));
    ASSERT_TRUE(writeFile(remotePath(server, QStringLiteral("remote")), "the server's old file"));
    ASSERT_TRUE(writeFile(local.path() + QStringLiteral("/upload"), big));

    DirectSession s;
    ASSERT_TRUE(openOn(s, server).ok());
    // The cancel comes from the progress report itself, while the transfer is still running.
    s.setProgressHandler([&](qint64 done, qint64) {
        if (done > 0)
            s.cancel();
    });
    DirectResult r = s.get(QByteArray("big"), target);
    EXPECT_EQ(r.error, DirectError::Cancelled) << r.message.toStdString();
    EXPECT_EQ(readFile(target), "the user's own file");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // no temporary file left
    QList<DirectEntry> entries;
    EXPECT_EQ(s.list(QByteArray(), &entries).error, DirectError::Cancelled) << "the cancel request sticks until reset";

    s.resetCancel();
    r = s.put(local.path() + QStringLiteral("/upload"), QByteArray("remote"));
    EXPECT_EQ(r.error, DirectError::Cancelled) << r.message.toStdString();
    EXPECT_TRUE(r.transferStarted);
    EXPECT_GT(r.bytesTransferred, 0);
    EXPECT_LT(r.bytesTransferred, big.size());
    // The server holds what arrived under the file's own name; nothing deletes it.
    expectBeginningOf(remotePath(server, QStringLiteral("remote")), big, r.bytesTransferred);

    // Usable again: the next operations log in anew by themselves.
    s.resetCancel();
    s.setProgressHandler({});
    EXPECT_OK(s.list(QByteArray(), &entries));
    EXPECT_EQ(namesOf(entries), (QStringList{QStringLiteral("big"), QStringLiteral("remote")}));
    EXPECT_OK(s.get(QByteArray("big"), target));
    EXPECT_EQ(readFile(target), big);
    EXPECT_FALSE(server.log().contains(QStringLiteral("<- DELE")));
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
    EXPECT_OK(s.list(QByteArray(), &entries));  // logs in again by itself
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
    bool frozen = false;
    s.setProgressHandler([&](qint64 done, qint64) {
        if (done > 0 && !std::exchange(frozen, true))
            ::kill(pid_t(server.processId()), SIGSTOP);  // the server stops sending mid-file
    });
    QElapsedTimer t;
    t.start();
    const DirectResult r = s.get(QByteArray("big"), target);
    ::kill(pid_t(server.processId()), SIGCONT);
    EXPECT_EQ(r.error, DirectError::TimedOut) << r.message.toStdString();
    EXPECT_LT(t.elapsed(), 6000) << "stall time-out 2 s";
    EXPECT_EQ(readFile(target), "keep me");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big")});
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
    const DirectResult r = gone.list(QByteArray(), &entries);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.message.isEmpty());
    t.start();
    gone.close();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_FALSE(gone.isOpen());
}
