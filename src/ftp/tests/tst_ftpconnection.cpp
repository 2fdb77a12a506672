// The engine against the scripted fake server: framing, reply matching, time-outs, hostile
// replies, cancels and data-connection ordering, checked by exact command transcripts and texts.
#include "FakeFtpServer.h"
#include "TestFiles.h"
#include "ftp/Connection.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace zephra::ftp;
using namespace zephra::test;
using Response = FakeFtpServer::Response;
using DataPlan = FakeFtpServer::DataPlan;
using S = Connection::State;

namespace {

// Runs one operation and returns its one result (bounded wait).
Result run(Connection& connection, const std::function<void()>& operation)
{
    QSignalSpy spy(&connection, &Connection::finished);
    operation();
    if (spy.isEmpty() && !spy.wait(15000))
        return Result{ErrorKind::ProtocolError, 0, {}, QStringLiteral("no result in time")};
    EXPECT_EQ(spy.count(), 1);
    return spy.takeFirst().at(0).value<Result>();
}

Result login(Connection& connection, const FakeFtpServer& server)
{
    return run(connection, [&] {
        connection.Connect(server.host(), QString::number(server.port()), server.user(), server.password());
    });
}

class FakeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        connection.setTimeOut(3000);
        local = QDir(workDir.path()).filePath(QStringLiteral("local.bin"));
    }

    Result run(const std::function<void()>& operation) { return ::run(connection, operation); }
    Result login() { return ::login(connection, server); }
    void putRemote(const QString& name, const QByteArray& bytes) { ASSERT_TRUE(writeFile(server.rootDir() + '/' + name, bytes)); }
    QStringList commandsAfterLogin() const { return server.commands().mid(2); }
    // Nothing but the target itself in the local directory: no temporary file left behind.
    QStringList localEntries() const { return QDir(workDir.path()).entryList(QDir::Files | QDir::Hidden); }
    // Calls cancel() from the first progress report on.
    QMetaObject::Connection cancelOnProgress()
    {
        return QObject::connect(&connection, &Connection::transferProgress, &connection,
                                [this](qint64, qint64) { connection.cancel(); });
    }

    FakeFtpServer server;
    Connection connection;
    QTemporaryDir workDir;
    QString local;
};

// ---- control connection --------------------------------------------------------------------

TEST(ReplyFraming, EachReplyEndsExactlyOneWait)
{
    // Guards judging each TCP arrival by itself, ending a wait at the first line of a multi-line
    // reply (its last line then ends the next wait), and waits that never end.
    struct Row {
        const char* name;
        Response greeting;
        const char* verb;  // the scripted command: USER, PASS, or CWD after the login
        Response response;
        int timeOut;
        ErrorKind kind;
        int code;
        const char* text;  // the description, or the server's text for reply errors
        bool loggedIn;     // afterwards: the session goes on and the next command gets its own reply
    };
    const Response ready{"220 Fake ready\r\n"};
    const Row rows[] = {
        {"byte by byte", {"220-Welcome\r\n  to the fake\r\n220 Ready\r\n", 0, true}, "CWD",
         {"250-first\r\n250 last\r\n", 0, true}, 3000, ErrorKind::None, 0, "", true},
        {"multi-line login", ready, "PASS", {"230-Motd line\r\n230-more\r\n230 Logged in\r\n"}, 3000,
         ErrorKind::None, 0, "", true},
        {"multi-line error", ready, "CWD", {"550-Can't\r\n200 inner line of the same reply\r\n550 really not\r\n"},
         3000, ErrorKind::Reply, 550, "550 really not", true},
        {"multi-line other code", ready, "CWD", {"211-Status\r\n211 End\r\n"}, 3000, ErrorKind::None, 0, "", true},
        {"garbage and 1xx", {"120 Ready in a minute\r\nnot a reply\r\n\r\n220 Now\r\n"}, "CWD",
         {"hello there\r\n12 short\r\n150 wait\r\n250 Done\r\n"}, 3000, ErrorKind::None, 0, "", true},
        {"huge line", ready, "CWD", {"250 " + QByteArray(70 * 1024, 'x') + "\r\n"}, 3000, ErrorKind::ProtocolError,
         0, "The server's reply can not be understood: a reply line is longer than 64 KiB", false},
        {"server closes", ready, "CWD", {"", 0, false, true}, 3000, ErrorKind::ServerClosed, 0, "Disconnected...", false},
        // A late reply could no longer be matched to its command: the session ends.
        {"reply too late", ready, "CWD", {"250 Too late\r\n", 1500}, 300, ErrorKind::TimeOut, 0,
         "The servers response has timed out.", false},
        {"no greeting", {""}, "CWD", {}, 300, ErrorKind::TimeOut, 0, "The servers response has timed out.", false},
        {"too many users", {"421 Too many users\r\n"}, "CWD", {}, 3000, ErrorKind::Reply, 421,
         "Service not available, your connection has been terminated.", false},
        {"wrong password", ready, "PASS", {"530 Login incorrect.\r\n"}, 3000, ErrorKind::Reply, 530,
         "User not logged in correct.", false},
        {"user refused", ready, "USER", {"530 This FTP server is anonymous only.\r\n"}, 3000, ErrorKind::Reply, 530,
         "User not logged in correct.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        Connection connection;
        connection.setTimeOut(row.timeOut);
        server.setGreeting(row.greeting);
        server.script(QString::fromLatin1(row.verb), row.response);
        Result result = login(connection, server);
        if (result.ok() && QLatin1String(row.verb) == QLatin1String("CWD"))
            result = run(connection, [&] { connection.ChangeDirectory("x"); });
        EXPECT_EQ(result.kind, row.kind);
        EXPECT_EQ(result.replyCode, row.code);
        EXPECT_EQ(result.kind == ErrorKind::Reply && row.code != 421 && row.code != 530 ? result.serverText
                                                                                        : result.description,
                  QString::fromLatin1(row.text));
        EXPECT_EQ(connection.isLoggedIn(), row.loggedIn);
        if (row.loggedIn) {
            EXPECT_TRUE(run(connection, [&] { connection.TransferType(0); }).ok());
            EXPECT_EQ(server.commands().last(), "TYPE I");
        } else {
            EXPECT_EQ(connection.state(), S::Disconnected);
            EXPECT_TRUE(server.waitForAllClosed());
            EXPECT_EQ(run(connection, [&] { connection.MakeDirectory("x"); }).kind, ErrorKind::NotConnected);
        }
    }
}

TEST_F(FakeServerTest, LoginTranscriptAndALogThatNeverHoldsThePassword)
{
    QString everything;
    QObject::connect(&connection, &Connection::logAppended, &connection, [&](const QString& text) { everything += text; });
    connection.setMaxLogSize(60);
    const Result result = login();
    ASSERT_TRUE(result.ok()) << result.description.toStdString();
    EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret"}));
    EXPECT_TRUE(connection.isLoggedIn());
    EXPECT_TRUE(everything.contains("PASS ****\r\n"));
    EXPECT_FALSE(everything.contains("secret"));
    // The oldest text went first, as much as each new entry needed.
    EXPECT_EQ(connection.LogData(), "331 Password required.\r\nPASS ****\r\n230 Logged in.\r\n");
}

TEST_F(FakeServerTest, RenameNamesBusyAndNotConnected)
{
    EXPECT_EQ(run([&] { connection.ChangeDirectory("x"); }).kind, ErrorKind::NotConnected);
    ASSERT_TRUE(login().ok());
    // A refused RNFR sends no RNTO.
    EXPECT_EQ(run([&] { connection.Rename("missing", "new"); }).replyCode, 550);
    putRemote("old", "x");
    EXPECT_TRUE(run([&] { connection.Rename("old", "new name"); }).ok());
    EXPECT_TRUE(QFile::exists(server.rootDir() + "/new name"));
    // A line break in a name would smuggle in a second command: refused unsent.
    EXPECT_EQ(run([&] { connection.MakeDirectory("a\r\nDELE b"); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.Rename("a", "b\nc"); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.GetFile("x\ry", local); }).kind, ErrorKind::InvalidName);
    EXPECT_TRUE(run([&] { connection.TransferType(2); }).ok());  // sends nothing
    EXPECT_TRUE(run([&] { connection.TransferType(1); }).ok());
    // A second operation while one runs is turned away; the first one still ends well.
    server.script("CWD", Response{"250 ok\r\n", 200});
    QSignalSpy spy(&connection, &Connection::finished);
    connection.ChangeDirectory("x");
    connection.MakeDirectory("y");
    for (int i = 0; i < 2 && spy.count() < 2; ++i)
        spy.wait(5000);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).value<Result>().kind, ErrorKind::Busy);
    EXPECT_TRUE(spy.at(1).at(0).value<Result>().ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"RNFR missing", "RNFR old", "RNTO new name", "TYPE A", "CWD x"}));
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

TEST_F(FakeServerTest, DisconnectClosesEverything)
{
    ASSERT_TRUE(login().ok());
    EXPECT_TRUE(run([&] { connection.Disconnect(); }).ok());
    ASSERT_TRUE(server.waitForCommands(3));
    EXPECT_EQ(server.commands().last(), "QUIT");
    EXPECT_TRUE(server.waitForAllClosed());
    EXPECT_EQ(connection.state(), S::Disconnected);
}

// ---- data connections ----------------------------------------------------------------------

TEST_F(FakeServerTest, ListingAndDownloadTranscriptStatesAndSignals)
{
    ASSERT_TRUE(login().ok());
    putRemote("a.bin", pattern(5000));
    QBuffer listing;
    listing.open(QIODevice::WriteOnly);
    ASSERT_TRUE(run([&] { connection.ListContents(&listing); }).ok());
    EXPECT_TRUE(listing.data().endsWith(" a.bin\r\n"));

    QList<S> states;
    QObject::connect(&connection, &Connection::stateChanged, &connection, [&](S state) { states.append(state); });
    QSignalSpy progress(&connection, &Connection::transferProgress);
    ASSERT_TRUE(run([&] { connection.GetFile("a.bin", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(5000));
    EXPECT_EQ(states, QList<S>({S::AwaitingPasvReply, S::AwaitingDataConnection, S::AwaitingTransferStart,
                                S::Transferring, S::Idle}));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().at(0).toLongLong(), 5000);
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "LIST", "PASV", "RETR a.bin"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    EXPECT_TRUE(server.waitForOpenConnections(1));  // no data connection is left open
}

TEST_F(FakeServerTest, FailedDownloadsAndListingsKeepTheExistingLocalFile)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(100000));
    ASSERT_TRUE(writeFile(local, "precious"));
    DataPlan dropped;
    dropped.dropAfter = 1000;
    dropped.final = "426 Connection closed; transfer aborted.\r\n";
    DataPlan shortened;  // claims success after sending less than it announced
    shortened.dropAfter = 1000;
    shortened.announceSize = true;
    server.planData("RETR", dropped);
    server.planData("RETR", shortened);
    server.script("LIST", Response{"450 Busy\r\n"});
    EXPECT_EQ(run([&] { connection.GetFile("a", local); }).description, "Connection closed; transfer aborted.");
    EXPECT_EQ(run([&] { connection.GetFile("a", local); }).kind, ErrorKind::TransferAborted);
    EXPECT_EQ(run([&] { connection.GetFile("missing", local); }).replyCode, 550);
    EXPECT_EQ(run([&] { connection.ListContents(local); }).replyCode, 450);
    EXPECT_EQ(readFile(local), "precious");
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    server.setListing("d x\r\n- y\r\n");
    ASSERT_TRUE(run([&] { connection.ListContents(local); }).ok());
    EXPECT_EQ(readFile(local), "d x\r\n- y\r\n");
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), pattern(100000));
}

TEST_F(FakeServerTest, FullLocalDiskEndsTheDownloadAndTheSessionGoesOn)
{
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        GTEST_SKIP() << "no /dev/full here";
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(500000));
    EXPECT_EQ(run([&] { connection.GetFile("a", &full); }).kind, ErrorKind::LocalFile);
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"); }).ok());
}

TEST_F(FakeServerTest, HostileOrUnusablePassiveRepliesAndTheSessionGoesOn)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "hello");
    server.script("PASV", Response{"227 Entering Passive Mode (127,0,0,1,999,1)\r\n"});
    server.script("PASV", Response{"500 PASV not understood\r\n"});
    EXPECT_EQ(run([&] { connection.GetFile("a", local); }).description, "Can't open data connection with the server.");
    EXPECT_EQ(run([&] { connection.GetFile("a", local); }).replyCode, 500);
    // The reply names another host; the data connection still goes to the server we talk to.
    server.setPasvHost("10,0,0,7");
    ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok());
    EXPECT_EQ(readFile(local), "hello");
    EXPECT_EQ(server.dataConnectionsAccepted(), 1);
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "PASV", "PASV", "RETR a"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
}

TEST_F(FakeServerTest, CompletionReplyIsActedOnOnlyAfterTheDataClose)
{
    // Guards against finishing at the 226 while data is still on its way.
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(300000));
    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforeClose, "150 Here\r\n", "226 Done\r\n", -1, 400});
    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforePreliminary});
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(run([&] { connection.GetFile("a", local); }).ok()) << i;
        EXPECT_EQ(readFile(local), pattern(300000)) << i;
    }
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"); }).ok());  // still in step
}

TEST_F(FakeServerTest, StalledDataTimesOutAndTheSessionResynchronises)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "data");
    connection.setTimeOut(400);
    DataPlan stalled;
    stalled.stall = true;
    server.planData("RETR", stalled);
    EXPECT_EQ(run([&] { connection.GetFile("a", local); }).description, "The servers response has timed out.");
    EXPECT_TRUE(localEntries().isEmpty());
    connection.setTimeOut(3000);
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());
    // No answer about the transfer after the data close: ABOR ends it, NOOP's 200 marks the end.
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "RETR a", "ABOR", "NOOP", "TYPE I"}));
}

TEST_F(FakeServerTest, CancelledDownloadLeavesTheEngineUsable)
{
    ASSERT_TRUE(login().ok());
    putRemote("big", pattern(32 * 1024 * 1024));
    const auto guard = cancelOnProgress();
    EXPECT_EQ(run([&] { connection.GetFile("big", local); }).kind, ErrorKind::Cancelled);
    QObject::disconnect(guard);
    EXPECT_FALSE(QFile::exists(local));
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
    ASSERT_TRUE(writeFile(local, bytes));
    DataPlan late;
    late.preliminary = "150 File status okay. About to open data connection.\r\n";
    late.takeUpDelayMs = 300;
    server.planData("STOR", late);
    const auto guard = cancelOnProgress();
    EXPECT_EQ(run([&] { connection.PutFile("up", local); }).kind, ErrorKind::Cancelled);
    QObject::disconnect(guard);
    // The server took up the closed connection and got a beginning of the file, nothing else.
    EXPECT_TRUE(bytes.startsWith(readFile(server.rootDir() + "/up")));
    putRemote("small", "ok");
    EXPECT_TRUE(run([&] { connection.GetFile("small", local); }).ok());
    EXPECT_EQ(readFile(local), "ok");
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "STOR up", "PASV", "RETR small"}));
}

TEST_F(FakeServerTest, UploadSizesFromFileAndFromProducer)
{
    ASSERT_TRUE(login().ok());
    // A missing local file sends nothing: no empty file on the server.
    EXPECT_EQ(run([&] { connection.PutFile("x", workDir.path() + "/missing"); }).kind, ErrorKind::LocalFile);
    EXPECT_TRUE(commandsAfterLogin().isEmpty());
    for (qint64 size : {0, 1, 3072, 3073, 5000, 700000}) {
        const QByteArray bytes = pattern(size);
        ASSERT_TRUE(writeFile(local, bytes));
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

}  // namespace
