// The engine against the scripted fake server: framing, reply matching, time-outs, hostile
// replies and data-connection ordering, checked by exact command transcripts and error texts.
#include "FakeFtpServer.h"
#include "ftp/Connection.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

using namespace zephra::ftp;
using zephra::test::FakeFtpServer;
using Response = FakeFtpServer::Response;
using DataPlan = FakeFtpServer::DataPlan;

namespace {

QByteArray pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 7) & 0xff);
    return bytes;
}

class FakeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        connection.setTimeOut(3000);
        local = QDir(workDir.path()).filePath(QStringLiteral("local.bin"));
    }

    // Runs one operation and returns its one result (bounded wait).
    Result run(const std::function<void()>& operation, int timeoutMs = 15000)
    {
        QSignalSpy spy(&connection, &Connection::finished);
        operation();
        if (spy.isEmpty() && !spy.wait(timeoutMs))
            return Result{ErrorKind::ProtocolError, 0, {}, QStringLiteral("no result in time")};
        EXPECT_EQ(spy.count(), 1);
        return spy.takeFirst().at(0).value<Result>();
    }

    Result login()
    {
        return run([&] { connection.Connect(server.host(), QString::number(server.port()), server.user(), server.password()); });
    }

    void putRemote(const QString& name, const QByteArray& bytes)
    {
        QFile file(server.rootDir() + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList commandsAfterLogin() const { return server.commands().mid(2); }

    // Nothing but the target itself in the local directory: no temporary file left behind.
    QStringList localEntries() const { return QDir(workDir.path()).entryList(QDir::Files | QDir::Hidden); }

    FakeFtpServer server;
    Connection connection;
    QTemporaryDir workDir;
    QString local;
};

// ---- control connection --------------------------------------------------------------------

TEST_F(FakeServerTest, LoginTranscriptAndPasswordNeverLogged)
{
    const Result result = login();
    ASSERT_TRUE(result.ok()) << result.description.toStdString();
    EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret"}));
    EXPECT_TRUE(connection.isLoggedIn());
    EXPECT_TRUE(connection.LogData().contains("PASS ****\r\n"));
    EXPECT_FALSE(connection.LogData().contains("secret"));
    EXPECT_TRUE(connection.LogData().contains("220 Fake ready\r\n"));
}

TEST_F(FakeServerTest, RepliesSplitAcrossArrivalsAndJoinedWithinOne)
{
    // Guards against judging each TCP arrival by itself: every byte arrives alone.
    server.setGreeting(Response{"220-Welcome\r\n220 Ready\r\n", 0, true});
    server.script("USER", Response{"331 Password please\r\n", 0, true});
    ASSERT_TRUE(login().ok());
    EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret"}));
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("a"); }).ok());
}

TEST_F(FakeServerTest, MultiLineReplyCountsOnceAtItsLastLineForEveryCode)
{
    // Guards against ending a wait at the first line and letting the last line end the next wait.
    server.setGreeting(Response{"220-Welcome\r\n  to the fake\r\n220 Ready\r\n"});
    server.script("PASS", Response{"230-Motd line\r\n230-more\r\n230 Logged in\r\n"});
    ASSERT_TRUE(login().ok());
    server.script("TYPE", Response{"200-Type set\r\n200 to I\r\n"});
    server.script("MKD", Response{"550-Can't\r\n200 inner line of the same reply\r\n550 really not\r\n"});
    server.script("CWD", Response{"211-Status\r\n211 End\r\n"});
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());
    const Result mkd = run([&] { connection.MakeDirectory("x"); });
    EXPECT_EQ(mkd.replyCode, 550);
    EXPECT_EQ(mkd.serverText, "550 really not");
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("d"); }).ok());
    EXPECT_TRUE(run([&] { connection.RemoveDirectory("missing"); }).replyCode == 550);
    EXPECT_EQ(commandsAfterLogin(), QStringList({"TYPE I", "MKD x", "CWD d", "RMD missing"}));
}

TEST_F(FakeServerTest, GarbageLinesAndPreliminaryRepliesDoNotEndAWait)
{
    server.setGreeting(Response{"120 Ready in a minute\r\nnot a reply\r\n\r\n220 Now\r\n"});
    ASSERT_TRUE(login().ok());
    server.script("CWD", Response{"hello there\r\n12 short\r\n250 Done\r\n"});
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"); }).ok());
}

TEST_F(FakeServerTest, HugeLineIsAProtocolErrorAndClosesTheSession)
{
    ASSERT_TRUE(login().ok());
    server.script("CWD", Response{"250 " + QByteArray(70 * 1024, 'x') + "\r\n"});
    const Result result = run([&] { connection.ChangeDirectory("x"); });
    EXPECT_EQ(result.kind, ErrorKind::ProtocolError);
    EXPECT_EQ(connection.state(), Connection::State::Disconnected);
    EXPECT_TRUE(server.waitForAllClosed());
}

TEST_F(FakeServerTest, ReplyTimeOutClosesTheControlConnection)
{
    ASSERT_TRUE(login().ok());
    connection.setTimeOut(300);
    server.script("CWD", Response{"250 Too late\r\n", 1500});
    const Result result = run([&] { connection.ChangeDirectory("slow"); });
    EXPECT_EQ(result.kind, ErrorKind::TimeOut);
    EXPECT_EQ(result.description, "The servers response has timed out.");
    EXPECT_EQ(Result::source(), "FTP Command");
    EXPECT_FALSE(connection.isLoggedIn());
    EXPECT_TRUE(server.waitForAllClosed());
    // The late reply can not be taken for the answer to anything else.
    EXPECT_EQ(run([&] { connection.MakeDirectory("x"); }).kind, ErrorKind::NotConnected);
}

TEST_F(FakeServerTest, SilentServerFailsConnectWithTheTimeOutText)
{
    server.setGreeting(Response{""});
    connection.setTimeOut(300);
    const Result result = login();
    EXPECT_EQ(result.description, "The servers response has timed out.");
    EXPECT_FALSE(connection.isLoggedIn());
    EXPECT_TRUE(server.commands().isEmpty());
}

TEST_F(FakeServerTest, RefusedLoginIsAnError)
{
    server.script("PASS", Response{"530 Login incorrect.\r\n"});
    Result result = login();
    EXPECT_EQ(result.kind, ErrorKind::Reply);
    EXPECT_EQ(result.description, "User not logged in correct.");
    EXPECT_FALSE(connection.isLoggedIn());
    EXPECT_EQ(connection.state(), Connection::State::Disconnected);

    server.script("USER", Response{"530 This FTP server is anonymous only.\r\n"});
    result = login();
    EXPECT_EQ(result.replyCode, 530);
    EXPECT_FALSE(connection.isLoggedIn());

    server.setGreeting(Response{"421 Too many users\r\n"});
    result = login();
    EXPECT_EQ(result.description, "Service not available, your connection has been terminated.");
}

TEST_F(FakeServerTest, RefusedRenameSkipsRnto)
{
    ASSERT_TRUE(login().ok());
    const Result refused = run([&] { connection.Rename("missing", "new"); });
    EXPECT_EQ(refused.replyCode, 550);
    putRemote("old", "x");
    EXPECT_TRUE(run([&] { connection.Rename("old", "new name"); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"RNFR missing", "RNFR old", "RNTO new name"}));
    EXPECT_TRUE(QFile::exists(server.rootDir() + "/new name"));
}

TEST_F(FakeServerTest, LineBreaksInNamesAreRefusedUnsent)
{
    ASSERT_TRUE(login().ok());
    EXPECT_EQ(run([&] { connection.MakeDirectory("a\r\nDELE b"); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.Rename("a", "b\nc"); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.GetFile("x\ry", local); }).kind, ErrorKind::InvalidName);
    EXPECT_TRUE(run([&] { connection.TransferType(2); }).ok());
    EXPECT_TRUE(run([&] { connection.TransferType(1); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"TYPE A"}));
}

TEST_F(FakeServerTest, BusyAndNotConnected)
{
    EXPECT_EQ(run([&] { connection.ChangeDirectory("x"); }).kind, ErrorKind::NotConnected);
    ASSERT_TRUE(login().ok());
    server.script("CWD", Response{"250 ok\r\n", 200});
    QSignalSpy spy(&connection, &Connection::finished);
    connection.ChangeDirectory("x");
    connection.MakeDirectory("y");
    ASSERT_TRUE(spy.wait(5000));
    if (spy.count() < 2) {
        ASSERT_TRUE(spy.wait(5000));
    }
    EXPECT_EQ(spy.at(0).at(0).value<Result>().kind, ErrorKind::Busy);
    EXPECT_TRUE(spy.at(1).at(0).value<Result>().ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"CWD x"}));
}

TEST_F(FakeServerTest, ServerClosingTheControlConnectionEndsTheSession)
{
    ASSERT_TRUE(login().ok());
    server.script("CWD", Response{"", 0, false, true});
    const Result result = run([&] { connection.ChangeDirectory("x"); });
    EXPECT_EQ(result.description, "Disconnected...");
    EXPECT_FALSE(connection.isLoggedIn());
}

TEST_F(FakeServerTest, LogKeepsItsLimitDroppingTheOldestText)
{
    connection.setMaxLogSize(40);
    ASSERT_TRUE(login().ok());
    EXPECT_LE(connection.LogData().size(), 40);
    EXPECT_TRUE(connection.LogData().endsWith("230 Logged in.\r\n"));
}

// ---- data connections ----------------------------------------------------------------------

TEST_F(FakeServerTest, ListingAndDownloadPassiveTranscript)
{
    ASSERT_TRUE(login().ok());
    putRemote("a.bin", pattern(5000));
    QBuffer listing;
    listing.open(QIODevice::WriteOnly);
    ASSERT_TRUE(run([&] { connection.ListContents(&listing); }).ok());
    EXPECT_TRUE(listing.data().endsWith(" a.bin\r\n"));
    ASSERT_TRUE(run([&] { connection.GetFile("a.bin", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(5000));
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "LIST", "PASV", "RETR a.bin"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    // No data connection is left open.
    EXPECT_TRUE(server.waitForOpenConnections(1));
}

TEST_F(FakeServerTest, DownloadStatesAndSignalsInOrder)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(1000));
    QList<Connection::State> states;
    QObject::connect(&connection, &Connection::stateChanged, &connection,
                     [&](Connection::State state) { states.append(state); });
    QSignalSpy progress(&connection, &Connection::transferProgress);
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    using S = Connection::State;
    EXPECT_EQ(states, QList<S>({S::AwaitingPasvReply, S::AwaitingDataConnection, S::AwaitingTransferStart,
                                S::Transferring, S::Idle}));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().at(0).toLongLong(), 1000);
}

TEST_F(FakeServerTest, ListingIntoAFileIsAtomicToo)
{
    ASSERT_TRUE(login().ok());
    {
        QFile existing(local);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("old listing");
    }
    server.script("LIST", Response{"450 Busy\r\n"});
    EXPECT_EQ(run([&] { connection.ListContents(local); }).replyCode, 450);
    EXPECT_EQ(readFile(local), "old listing");
    server.setListing("d x\r\n- y\r\n");
    ASSERT_TRUE(run([&] { connection.ListContents(local); }).ok());
    EXPECT_EQ(readFile(local), "d x\r\n- y\r\n");
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
}

TEST_F(FakeServerTest, FullLocalDiskEndsTheDownloadAndTheSessionGoesOn)
{
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        GTEST_SKIP() << "no /dev/full here";
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(500000));
    const Result result = run([&] { connection.GetFile("a", &full); });
    EXPECT_EQ(result.kind, ErrorKind::LocalFile);
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"); }).ok());
}

TEST_F(FakeServerTest, HostilePassiveHostIsIgnored)
{
    // The reply names another host; the data connection still goes to the server we talk to.
    server.setPasvHost("10,0,0,7");
    ASSERT_TRUE(login().ok());
    putRemote("a", "hello");
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), "hello");
    EXPECT_EQ(server.dataConnectionsAccepted(), 1);
}

TEST_F(FakeServerTest, UnusablePassiveReplyFailsAndTheSessionGoesOn)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "hello");
    server.script("PASV", Response{"227 Entering Passive Mode (127,0,0,1,999,1)\r\n"});
    server.script("PASV", Response{"500 PASV not understood\r\n"});
    Result result = run([&] { connection.GetFile("a", local); });
    EXPECT_EQ(result.description, "Can't open data connection with the server.");
    result = run([&] { connection.GetFile("a", local); });
    EXPECT_EQ(result.replyCode, 500);
    EXPECT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "PASV", "PASV", "RETR a"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
}

TEST_F(FakeServerTest, CompletionReplyIsActedOnOnlyAfterTheDataClose)
{
    // Guards against finishing at the 226 while data is still on its way.
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(300000));
    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforeClose, "150 Here\r\n", "226 Done\r\n", -1, 400});
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(300000));

    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforePreliminary});
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(300000));
    // The session is still in step.
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"); }).ok());
}

TEST_F(FakeServerTest, DroppedDownloadKeepsTheExistingLocalFile)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(100000));
    {
        QFile existing(local);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("precious");
    }
    DataPlan dropped;
    dropped.dropAfter = 1000;
    dropped.final = "426 Connection closed; transfer aborted.\r\n";
    server.planData("RETR", dropped);
    Result result = run([&] { connection.GetFile("a", local); });
    EXPECT_EQ(result.description, "Connection closed; transfer aborted.");
    EXPECT_EQ(readFile(local), "precious");

    // A server that claims success after sending less than it announced.
    DataPlan shortened;
    shortened.dropAfter = 1000;
    shortened.announceSize = true;
    server.planData("RETR", shortened);
    result = run([&] { connection.GetFile("a", local); });
    EXPECT_EQ(result.kind, ErrorKind::TransferAborted);
    EXPECT_EQ(readFile(local), "precious");

    // A refused download leaves it too.
    result = run([&] { connection.GetFile("missing", local); });
    EXPECT_EQ(result.replyCode, 550);
    EXPECT_EQ(readFile(local), "precious");
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    EXPECT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(100000));
}

TEST_F(FakeServerTest, StalledDataTimesOutAndTheSessionResynchronises)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "data");
    connection.setTimeOut(400);
    DataPlan stalled;
    stalled.stall = true;
    server.planData("RETR", stalled);
    const Result result = run([&] { connection.GetFile("a", local); });
    EXPECT_EQ(result.description, "The servers response has timed out.");
    EXPECT_FALSE(QFile::exists(local));
    EXPECT_TRUE(localEntries().isEmpty());
    connection.setTimeOut(3000);
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "RETR a", "ABOR", "NOOP", "TYPE I"}));
}

TEST_F(FakeServerTest, CancelledDownloadLeavesTheEngineUsable)
{
    ASSERT_TRUE(login().ok());
    putRemote("big", pattern(32 * 1024 * 1024));
    QSignalSpy finished(&connection, &Connection::finished);
    QObject::connect(&connection, &Connection::transferProgress, &connection, [&](qint64 bytes, qint64) {
        if (bytes > 0)
            connection.cancel();
    });
    connection.GetFile("big", local);
    ASSERT_TRUE(finished.wait(15000));
    EXPECT_EQ(finished.at(0).at(0).value<Result>().kind, ErrorKind::Cancelled);
    EXPECT_FALSE(QFile::exists(local));
    QObject::disconnect(&connection, &Connection::transferProgress, nullptr, nullptr);
    putRemote("small", "ok");
    EXPECT_TRUE(run([&] { connection.GetFile("small", local); }).ok());
    EXPECT_EQ(readFile(local), "ok");
}

TEST_F(FakeServerTest, CancelledUploadIsAnsweredBeforeTheNextCommand)
{
    // Guards the stalled download after a cancelled upload on pyftpdlib: ABOR sent before the
    // server had taken up the data connection ("150 ... About to open data connection.") left
    // the upload pending there, and the next data connection was handed to it.
    ASSERT_TRUE(login().ok());
    const QByteArray bytes = pattern(8 * 1024 * 1024);
    {
        QFile file(local);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    DataPlan late;
    late.preliminary = "150 File status okay. About to open data connection.\r\n";
    late.takeUpDelayMs = 300;
    server.planData("STOR", late);
    const auto guard = QObject::connect(&connection, &Connection::transferProgress, &connection,
                                        [&](qint64, qint64) { connection.cancel(); });
    EXPECT_EQ(run([&] { connection.PutFile("up", local); }).kind, ErrorKind::Cancelled);
    QObject::disconnect(guard);
    // The server took up the closed connection and got a beginning of the file, nothing else.
    const QByteArray received = readFile(server.rootDir() + "/up");
    EXPECT_TRUE(bytes.startsWith(received));
    putRemote("small", "ok");
    EXPECT_TRUE(run([&] { connection.GetFile("small", local); }).ok());
    EXPECT_EQ(readFile(local), "ok");
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "STOR up", "PASV", "RETR small"}));
}

TEST_F(FakeServerTest, CancelledCommandEndsAtOnceAndItsLateReplyIsPassedOver)
{
    ASSERT_TRUE(login().ok());
    server.script("MKD", Response{"257 Created, late.\r\n", 600});
    server.script("CWD", Response{"550 No such directory.\r\n"});
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(run([&] {
                  connection.MakeDirectory("slow");
                  connection.cancel();
              }).kind,
              ErrorKind::Cancelled);
    EXPECT_LT(clock.elapsed(), 400);
    // The next command gets its own answer, not the late 257.
    EXPECT_EQ(run([&] { connection.ChangeDirectory("x"); }).replyCode, 550);
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"MKD slow", "CWD x", "TYPE I"}));
}

TEST_F(FakeServerTest, UploadSizesFromFileAndFromProducer)
{
    ASSERT_TRUE(login().ok());
    for (qint64 size : {0, 1, 3072, 3073, 5000, 700000}) {
        const QByteArray bytes = pattern(size);
        QFile file(local);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        const QString name = QStringLiteral("up%1").arg(size);
        ASSERT_TRUE(run([&] { connection.PutFile(name, local); }).ok()) << size;
        EXPECT_EQ(readFile(server.rootDir() + "/" + name), bytes) << size;

        QBuffer producer;
        producer.setData(bytes);
        producer.open(QIODevice::ReadOnly);
        ASSERT_TRUE(run([&] { connection.PutFile(name + "p", &producer); }).ok()) << size;
        EXPECT_EQ(readFile(server.rootDir() + "/" + name + "p"), bytes) << size;
    }
}

TEST_F(FakeServerTest, UploadOfAMissingLocalFileSendsNothing)
{
    ASSERT_TRUE(login().ok());
    const Result result = run([&] { connection.PutFile("x", workDir.path() + "/missing"); });
    EXPECT_EQ(result.kind, ErrorKind::LocalFile);
    EXPECT_TRUE(commandsAfterLogin().isEmpty());
    EXPECT_FALSE(QFile::exists(server.rootDir() + "/x"));
}

TEST_F(FakeServerTest, ActiveModeSendsTheControlAddressAndTurnsStrangersAway)
{
    connection.setConnectionMode(" port ");
    EXPECT_EQ(connection.ConnectionMode(), "PORT");
    server.setActiveStrangerAddress(QHostAddress("127.0.0.2"));
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(20000));
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(20000));
    const QStringList commands = commandsAfterLogin();
    ASSERT_EQ(commands.size(), 2);
    EXPECT_TRUE(commands[0].startsWith("PORT 127,0,0,1,"));
    EXPECT_EQ(server.lastPortAddress(), QHostAddress("127.0.0.1"));
    EXPECT_EQ(commands[1], "RETR a");
}

TEST_F(FakeServerTest, DisconnectClosesEverything)
{
    ASSERT_TRUE(login().ok());
    EXPECT_TRUE(run([&] { connection.Disconnect(); }).ok());
    ASSERT_TRUE(server.waitForCommands(3));
    EXPECT_EQ(server.commands().last(), "QUIT");
    EXPECT_TRUE(server.waitForAllClosed());
    EXPECT_EQ(connection.state(), Connection::State::Disconnected);
}

}  // namespace
