// The engine's control connection against the scripted fake server: framing, reply matching,
// the login, directories, names, cancels of commands, checked by exact command transcripts.
#include "FakeServerTest.h"
#include "ftp/ListingLimit.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>

using namespace zephra::ftp;
using namespace zephra::test;
using namespace Qt::Literals::StringLiterals;
using zephra::test::login;
using zephra::test::run;

namespace {

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
            result = run(connection, [&] { connection.ChangeDirectory("x"_ba); });
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
            EXPECT_EQ(run(connection, [&] { connection.MakeDirectory("x"_ba); }).kind, ErrorKind::NotConnected);
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
    EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret", "FEAT", "PWD"}));
    EXPECT_TRUE(connection.isLoggedIn());
    EXPECT_TRUE(everything.contains("PASS ****\r\n"));
    EXPECT_FALSE(everything.contains("secret"));
    // The oldest text went first, as much as each new entry needed (here, part of FEAT's 502).
    EXPECT_EQ(connection.LogData(), "ot implemented.\r\nPWD\r\n257 \"/\" is the current directory.\r\n");
}

TEST(Login, AsksWhatTheServerOffersAndWhereItStands)
{
    // One engine through all rows: what a server offered is forgotten at the next login.
    struct Row {
        const char* name;
        std::optional<QList<QByteArray>> features;  // nothing: FEAT unknown (502)
        Response pwd;                               // empty: the fake's 257 "/"
        QStringList afterPass;
        ServerFeatures offered;
        QByteArray directory;
    };
    const QStringList plain{"FEAT", "PWD"};
    const Row rows[] = {
        {"vsftpd", QList<QByteArray>{"EPRT", "EPSV", "MDTM", "PASV", "REST STREAM", "SIZE", "TVFS"}, {}, plain,
         {.size = true, .restStream = true}, "/"},
        {"pyftpdlib", QList<QByteArray>{"MDTM", "MLST type*;perm*;size*;modify*;unique*;unix.mode;", "REST STREAM", "SIZE", "TVFS", "UTF8"},
         {}, {"FEAT", "OPTS UTF8 ON", "PWD"}, {.mlsd = true, .size = true, .utf8 = true, .restStream = true}, "/"},
        {"old server", std::nullopt, {}, plain, {}, "/"},
        {"quotes in the directory", std::nullopt, {"257 \"/home/a \"\"b\"\" c\" is the current directory.\r\n"}, plain, {},
         "/home/a \"b\" c"},
        {"Latin-1 directory", std::nullopt, {"257 \"/caf\xe9\" is current.\r\n"}, plain, {}, "/caf\xe9"},
        {"multi-line PWD", std::nullopt, {"257-\"/multi\" is current\r\n257 and that is all\r\n"}, plain, {}, "/multi"},
        {"PWD refused", QList<QByteArray>{"UTF8"}, {"500 PWD not understood.\r\n"}, {"FEAT", "OPTS UTF8 ON", "PWD"},
         {.utf8 = true}, ""},
        {"no quotes", std::nullopt, {"257 /home is the current directory\r\n"}, plain, {}, ""},
    };
    Connection connection;
    connection.setTimeOut(3000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        if (row.features)
            server.setFeatures(*row.features);
        if (!row.pwd.bytes.isEmpty())
            server.script("PWD", row.pwd);
        const Result result = login(connection, server);
        ASSERT_TRUE(result.ok()) << result.description.toStdString();
        EXPECT_TRUE(connection.isLoggedIn());
        EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret"}) + row.afterPass);
        EXPECT_EQ(connection.features(), row.offered);
        EXPECT_EQ(connection.currentDirectory(), row.directory);
    }
}

TEST_F(FakeServerTest, RenameNamesBusyAndNotConnected)
{
    EXPECT_EQ(run([&] { connection.ChangeDirectory("x"_ba); }).kind, ErrorKind::NotConnected);
    ASSERT_TRUE(login().ok());
    // A refused RNFR sends no RNTO.
    EXPECT_EQ(run([&] { connection.Rename("missing"_ba, "new"_ba); }).replyCode, 550);
    putRemote("old", "x");
    EXPECT_TRUE(run([&] { connection.Rename("old"_ba, "new name"_ba); }).ok());
    EXPECT_TRUE(QFile::exists(server.rootDir() + "/new name"));
    // A line break in a name would smuggle in a second command: refused unsent.
    EXPECT_EQ(run([&] { connection.MakeDirectory("a\r\nDELE b"_ba); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.Rename("a"_ba, "b\nc"_ba); }).kind, ErrorKind::InvalidName);
    EXPECT_EQ(run([&] { connection.GetFile("x\ry"_ba, local); }).kind, ErrorKind::InvalidName);
    EXPECT_TRUE(run([&] { connection.TransferType(2); }).ok());  // sends nothing
    EXPECT_TRUE(run([&] { connection.TransferType(1); }).ok());
    // A second operation while one runs is turned away; the first one still ends well.
    server.script("CWD", Response{"250 ok\r\n", 200});
    QSignalSpy spy(&connection, &Connection::finished);
    connection.ChangeDirectory("x"_ba);
    connection.MakeDirectory("y"_ba);
    for (int i = 0; i < 2 && spy.count() < 2; ++i)
        spy.wait(5000);
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).value<Result>().kind, ErrorKind::Busy);
    EXPECT_TRUE(spy.at(1).at(0).value<Result>().ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"RNFR missing", "RNFR old", "RNTO new name", "TYPE A", "CWD x", "PWD"}));
}

TEST_F(FakeServerTest, CancelledCommandEndsAtOnceAndItsLateReplyIsPassedOver)
{
    ASSERT_TRUE(login().ok());
    server.script("MKD", Response{"257 Created, late.\r\n", 600});
    server.script("CWD", Response{"550 No such directory.\r\n"});
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(run([&] {
                  connection.MakeDirectory("slow"_ba);
                  connection.cancel();
              }).kind,
              ErrorKind::Cancelled);
    EXPECT_LT(clock.elapsed(), 400);
    // The next command gets its own answer, not the late 257.
    EXPECT_EQ(run([&] { connection.ChangeDirectory("x"_ba); }).replyCode, 550);
    EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"MKD slow", "CWD x", "TYPE I"}));
}

TEST_F(FakeServerTest, TheCurrentDirectoryIsWhatPwdConfirmed)
{
    // Guards ".." going to the server's root instead of the parent, and a directory the engine
    // believed in after a change that was refused halfway or cancelled.
    ASSERT_TRUE(login().ok());
    struct Step {
        const char* name;
        std::function<void()> operation;
        QList<std::pair<QString, Response>> scripts;
        ErrorKind kind;
        QByteArray directory;     // currentDirectory() afterwards
        QList<QByteArray> sent;   // exactly these bytes went out
    };
    const auto cd = [this](const QByteArray& to) { return [this, to] { connection.ChangeDirectory(to); }; };
    const auto cdText = [this](const QString& to) { return [this, to] { connection.ChangeDirectory(to); }; };
    const auto cancelled = [this](std::function<void()> operation) {
        return [this, operation] {
            operation();
            connection.cancel();
        };
    };
    const Step steps[] = {
        {"into a child", cd("sub"), {}, ErrorKind::None, "/sub", {"CWD sub", "PWD"}},
        {"blanks", cd("deeper dir"), {}, ErrorKind::None, "/sub/deeper dir", {"CWD deeper dir", "PWD"}},
        {"parent", cd(".."), {}, ErrorKind::None, "/sub", {"CDUP", "PWD"}},
        {"parent typed", cdText(".."), {}, ErrorKind::None, "/", {"CDUP", "PWD"}},
        {"typed text is UTF-8", cdText(QString::fromUtf8("caf\xc3\xa9")), {}, ErrorKind::None, "/caf\xc3\xa9",
         {"CWD caf\xc3\xa9", "PWD"}},
        {"bytes stay bytes", cd("lat\xe9n"), {}, ErrorKind::None, "/caf\xc3\xa9/lat\xe9n", {"CWD lat\xe9n", "PWD"}},
        {"absolute", cd("/"), {}, ErrorKind::None, "/", {"CWD /", "PWD"}},
        {"CWD refused: where it was", cd("locked"), {{"CWD", {"550 Permission denied.\r\n"}}}, ErrorKind::Reply, "/",
         {"CWD locked"}},
        {"PWD refused after CWD: unknown", cd("sub"), {{"PWD", {"550 Not now.\r\n"}}}, ErrorKind::Reply, "",
         {"CWD sub", "PWD"}},
        {"confirmed again", [this] { connection.PrintDirectory(); }, {}, ErrorKind::None, "/sub", {"PWD"}},
        {"PWD without a path", cd("x"), {{"PWD", {"257 somewhere\r\n"}}}, ErrorKind::ProtocolError, "", {"CWD x", "PWD"}},
        {"back", cd("/sub"), {}, ErrorKind::None, "/sub", {"CWD /sub", "PWD"}},
        {"cancelled CWD: unknown", cancelled(cd("slow")), {{"CWD", {"250 ok, late\r\n", 300}}}, ErrorKind::Cancelled, "",
         {"CWD slow"}},
        // The late 250 is passed over, not taken for PWD's answer.
        {"where the cancelled CWD went", [this] { connection.PrintDirectory(); }, {}, ErrorKind::None, "/sub/slow", {"PWD"}},
        {"cancelled PWD: unknown", cancelled([this] { connection.PrintDirectory(); }), {{"PWD", {"257 \"/late\"\r\n", 300}}},
         ErrorKind::Cancelled, "", {"PWD"}},
        {"in step after it", cd(".."), {}, ErrorKind::None, "/sub", {"CDUP", "PWD"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        for (const auto& [verb, response] : step.scripts)
            server.script(verb, response);
        const qsizetype before = server.rawCommands().size();
        const Result result = run(step.operation);
        EXPECT_EQ(result.kind, step.kind) << result.description.toStdString();
        EXPECT_EQ(connection.currentDirectory(), step.directory);
        if (step.kind == ErrorKind::Cancelled)
            ASSERT_TRUE(server.waitForCommands(int(before + step.sent.size())));
        EXPECT_EQ(server.rawCommands().mid(before), step.sent);
    }
}

TEST(DirectoryChange, AFailedOrCancelledListingLeavesTheSessionInTheNewDirectory)
{
    // Guards fault "DELE important.txt deleted /sub/important.txt": after CWD sub the session is
    // in /sub whatever becomes of the listing, and says so; the next command works there.
    struct Row {
        const char* name;
        bool cancel;      // cancel once the server has the LIST, which it then never answers
        Response list;    // the LIST's reply otherwise
    };
    const Row rows[] = {
        {"LIST refused", false, {"451 Data ports are blocked.\r\n"}},
        {"LIST cancelled", true, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        Connection connection;
        connection.setTimeOut(3000);
        ASSERT_TRUE(QDir(server.rootDir()).mkpath("sub"));
        ASSERT_TRUE(writeFile(server.rootDir() + "/important.txt", "top"));
        ASSERT_TRUE(writeFile(server.rootDir() + "/sub/important.txt", "sub"));
        ASSERT_TRUE(login(connection, server).ok());
        ASSERT_TRUE(run(connection, [&] { connection.ChangeDirectory("sub"_ba); }).ok());
        EXPECT_EQ(connection.currentDirectory(), "/sub");
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        if (row.cancel) {
            DataPlan stall;
            stall.stall = true;
            server.planData("LIST", stall);
            QSignalSpy finished(&connection, &Connection::finished);
            connection.ListContents(&sink);
            ASSERT_TRUE(server.waitForCommands(7));  // ... CWD sub, PWD, PASV, LIST
            connection.cancel();
            ASSERT_TRUE(finished.wait(10000));
            EXPECT_EQ(finished.first().at(0).value<Result>().kind, ErrorKind::Cancelled);
        } else {
            server.script("LIST", row.list);
            EXPECT_EQ(run(connection, [&] { connection.ListContents(&sink); }).replyCode, 451);
        }
        EXPECT_TRUE(connection.isLoggedIn());
        EXPECT_EQ(connection.currentDirectory(), "/sub");
        // The next command is not turned away as "Not connected to a server.".
        const Result removed = run(connection, [&] { connection.RemoveFile("important.txt"_ba); });
        EXPECT_TRUE(removed.ok()) << removed.description.toStdString();
        EXPECT_FALSE(QFile::exists(server.rootDir() + "/sub/important.txt"));
        EXPECT_EQ(readFile(server.rootDir() + "/important.txt"), "top");
        const QStringList resync = row.cancel ? QStringList{"ABOR", "NOOP"} : QStringList{};
        EXPECT_EQ(server.commands().mid(4),
                  QStringList({"CWD sub", "PWD", "PASV", "LIST"}) + resync + QStringList{"DELE important.txt"});
    }
}

TEST_F(FakeServerTest, ACancelTheServerNeverAnswersEndsTheSessionAndSaysSo)
{
    // Guards "Not connected to a server." right after a cancelled listing while the window still
    // showed the session: the server never answered ABOR and NOOP, the engine closed the session
    // and reported the cancel, so nobody knew the session was gone.
    connection.setTimeOut(1000);
    ASSERT_TRUE(login().ok());
    DataPlan stall;
    stall.stall = true;
    server.planData("LIST", stall);
    server.script("ABOR", Response{""});
    server.script("NOOP", Response{""});
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    QSignalSpy finished(&connection, &Connection::finished);
    connection.ListContents(&sink);
    ASSERT_TRUE(server.waitForCommands(loginCommands + 2));
    connection.cancel();
    ASSERT_TRUE(finished.wait(10000));
    const Result result = finished.first().at(0).value<Result>();
    EXPECT_EQ(result.kind, ErrorKind::TimeOut);
    EXPECT_EQ(result.description, "The servers response has timed out.");
    EXPECT_FALSE(connection.isLoggedIn());
    EXPECT_EQ(connection.state(), S::Disconnected);
    EXPECT_TRUE(connection.currentDirectory().isEmpty());
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "LIST", "ABOR", "NOOP"}));
}

TEST_F(FakeServerTest, CancelFromAStateChangeReceiverEndsTheOperation)
{
    // Guards a crash: a cancel() from a stateChanged() receiver freed the transfer while the
    // step that changed the state still used it. Every state of a download, in turn.
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(200000));
    server.setFeatures({"SIZE"});
    for (S at : {S::AwaitingPasvReply, S::AwaitingDataConnection, S::AwaitingTransferStart, S::Transferring}) {
        SCOPED_TRACE(int(at));
        const auto guard = QObject::connect(&connection, &Connection::stateChanged, &connection, [&](S state) {
            if (state == at)
                connection.cancel();
        });
        const Result result = run([&] { connection.GetFile("a"_ba, local); });
        QObject::disconnect(guard);
        EXPECT_EQ(result.kind, ErrorKind::Cancelled);
        EXPECT_FALSE(QFile::exists(local));
        ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok());
        EXPECT_EQ(readFile(local), pattern(200000));
        QFile::remove(local);
    }
}

TEST_F(FakeServerTest, DisconnectClosesEverything)
{
    ASSERT_TRUE(login().ok());
    EXPECT_TRUE(run([&] { connection.Disconnect(); }).ok());
    ASSERT_TRUE(server.waitForCommands(loginCommands + 1));
    EXPECT_EQ(server.commands().last(), "QUIT");
    EXPECT_TRUE(server.waitForAllClosed());
    EXPECT_EQ(connection.state(), S::Disconnected);
}

}  // namespace
