// The engine's transfers against the scripted fake server: data-connection ordering, hostile
// passive replies, lengths, limits, time-outs and cancels, checked by transcripts and files.
#include "FakeServerTest.h"
#include "ftp/ListingLimit.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

using namespace zephra::ftp;
using namespace zephra::test;
using namespace Qt::Literals::StringLiterals;
using zephra::test::login;
using zephra::test::run;

namespace {

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
    ASSERT_TRUE(run([&] { connection.GetFile("a.bin"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), pattern(5000));
    EXPECT_EQ(states, QList<S>({S::AwaitingPasvReply, S::AwaitingDataConnection, S::AwaitingTransferStart,
                                S::Transferring, S::Idle}));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last().at(0).toLongLong(), 5000);
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "LIST", "PASV", "RETR a.bin"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    EXPECT_TRUE(server.waitForOpenConnections(1));  // no data connection is left open
}

TEST(Listing, MlsdWhereFeatOffersItElseList)
{
    // Guards listing lines of shapes the LIST parser had to guess at: MLSD's facts are exact.
    struct Row {
        const char* name;
        QList<QByteArray> features;
        QByteArray command;
        QByteArray output;
    };
    const QByteArray mlsd = "type=file;size=3;modify=20240101100000; odd  name\r\n";
    const QByteArray list = "-rw-r--r-- 1 0 0 3 Jan 01 10:00 odd  name\r\n";
    const Row rows[] = {
        {"MLST offered", {"MLST type*;size*;modify*;"}, "MLSD", mlsd},
        {"MLSD named", {"MLSD"}, "MLSD", mlsd},
        {"not offered", {"SIZE"}, "LIST", list},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        server.setFeatures(row.features);
        server.setMlsdListing(mlsd);
        server.setListing(list);
        Connection connection;
        connection.setTimeOut(3000);
        ASSERT_TRUE(login(connection, server).ok());
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        ASSERT_TRUE(run(connection, [&] { connection.ListContents(&sink); }).ok());
        EXPECT_EQ(sink.data(), row.output);
        EXPECT_EQ(server.rawCommands().last(), row.command);
    }
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
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, local); }).description, "Connection closed; transfer aborted.");
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, local); }).kind, ErrorKind::TransferAborted);
    EXPECT_EQ(run([&] { connection.GetFile("missing"_ba, local); }).replyCode, 550);
    EXPECT_EQ(run([&] { connection.ListContents(local); }).replyCode, 450);
    EXPECT_EQ(readFile(local), "precious");
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
    server.setListing("d x\r\n- y\r\n");
    ASSERT_TRUE(run([&] { connection.ListContents(local); }).ok());
    EXPECT_EQ(readFile(local), "d x\r\n- y\r\n");
    ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), pattern(100000));
}

TEST_F(FakeServerTest, ADownloadReplacesTheLocalFileKeepingItsModeAndNeverFollowingALink)
{
    // Guards fault: a download over a 0600 file left a 0644 file (a private file made readable).
    ASSERT_TRUE(login().ok());
    putRemote("a", "new bytes");
    server.setListing("- listed\r\n");
    const QString other = workDir.filePath("other");
    struct Row {
        const char* name;
        bool link;       // local is a symbolic link to other
        bool listing;    // ListContents instead of GetFile
        QByteArray expected;
    };
    const Row rows[] = {
        {"private file", false, false, "new bytes"},
        {"link", true, false, "new bytes"},
        {"private listing work file", false, true, "- listed\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(local);
        ASSERT_TRUE(writeFile(other, "theirs"));
        if (row.link)
            ASSERT_TRUE(QFile::link(other, local));
        else
            ASSERT_TRUE(writeFile(local, "mine"));
        ASSERT_TRUE(QFile::setPermissions(row.link ? other : local, QFile::ReadOwner | QFile::WriteOwner));
        ASSERT_TRUE(run([&] {
            if (row.listing)
                connection.ListContents(local);
            else
                connection.GetFile("a"_ba, local);
        }).ok());
        EXPECT_EQ(readFile(local), row.expected);
        EXPECT_FALSE(QFileInfo(local).isSymLink());
        EXPECT_EQ(readFile(other), "theirs");
        if (!row.link)  // rw for the user alone, nothing for group and others
            EXPECT_EQ(QFile::permissions(local) & 0x0fff, QFile::ReadUser | QFile::WriteUser);
        EXPECT_EQ(localEntries(), QStringList({"local.bin", "other"}));
    }
}

TEST_F(FakeServerTest, FullLocalDiskEndsTheDownloadAndTheSessionGoesOn)
{
    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        GTEST_SKIP() << "no /dev/full here";
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(500000));
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, &full); }).kind, ErrorKind::LocalFile);
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"_ba); }).ok());
}

TEST_F(FakeServerTest, HostileOrUnusablePassiveRepliesAndTheSessionGoesOn)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "hello");
    server.script("PASV", Response{"227 Entering Passive Mode (127,0,0,1,999,1)\r\n"});
    server.script("PASV", Response{"500 PASV not understood\r\n"});
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, local); }).description, "Can't open data connection with the server.");
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, local); }).replyCode, 500);
    // The reply names another host; the data connection still goes to the server we talk to.
    server.setPasvHost("10,0,0,7");
    ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), "hello");
    EXPECT_EQ(server.dataConnectionsAccepted(), 1);
    // No parentheses around the numbers, as RFC 1123 allows (refused before).
    server.setPasvReplyForm("227 Entering Passive Mode %1");
    ASSERT_TRUE(writeFile(local, "old"));
    ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), "hello");
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "PASV", "PASV", "RETR a", "PASV", "RETR a"}));
    EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
}

TEST_F(FakeServerTest, NamesGoOutAsTheirBytes)
{
    // Guards names from a listing re-encoded as UTF-8 (caf\xe9.txt became caf\xc3\xa9.txt and
    // every command about it failed with 550); typed text goes out as UTF-8.
    ASSERT_TRUE(login().ok());
    ASSERT_TRUE(writeFile(local, "up"));
    const QByteArray latin = "caf\xe9 \"x\".txt";
    QBuffer sinkDevice;
    sinkDevice.open(QIODevice::WriteOnly);
    const QString typed = QString::fromUtf8("caf\xc3\xa9");
    struct Row {
        const char* name;
        std::function<void()> operation;
        QList<QByteArray> sent;
    };
    const Row rows[] = {
        {"delete", [&] { connection.RemoveFile(latin); }, {"DELE " + latin}},
        {"remove directory", [&] { connection.RemoveDirectory(latin); }, {"RMD " + latin}},
        {"make directory", [&] { connection.MakeDirectory(latin); }, {"MKD " + latin}},
        {"rename", [&] { connection.Rename(latin, "n\xff"_ba); }, {"RNFR " + latin, "RNTO n\xff"}},
        {"download", [&] { connection.GetFile(latin, local); }, {"PASV", "RETR " + latin}},
        {"download to a device", [&] { connection.GetFile(latin, &sinkDevice); }, {"PASV", "RETR " + latin}},
        {"upload", [&] { connection.PutFile(latin, local); }, {"PASV", "STOR " + latin}},
        {"typed delete", [&] { connection.RemoveFile(typed); }, {"DELE caf\xc3\xa9"}},
        {"typed rename", [&] { connection.Rename(typed, typed + u'2'); }, {"RNFR caf\xc3\xa9"}},
        {"typed upload", [&] { connection.PutFile(typed, local); }, {"PASV", "STOR caf\xc3\xa9"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype before = server.rawCommands().size();
        (void)run(row.operation);
        EXPECT_EQ(server.rawCommands().mid(before), row.sent);
    }
}

TEST(DownloadLength, ADownloadOfAnotherLengthThanSizeSaysFails)
{
    // Guards fault: 512 KiB of a 1 MiB file, no size in the 150 reply, then 226: passed as a
    // complete download, and a half file replaced the local one.
    constexpr qint64 kFile = 1024 * 1024;
    struct Row {
        const char* name;
        QList<QByteArray> features;
        int type;                       // TransferType()
        std::optional<Response> size;   // scripted SIZE reply
        qint64 sent;                    // bytes the server sends before its 226; -1: all
        ErrorKind kind;
        QStringList transcript;
    };
    const QStringList asked{"SIZE big", "PASV", "RETR big"};
    const Row rows[] = {
        {"short", {"SIZE"}, 0, std::nullopt, 512 * 1024, ErrorKind::TransferAborted, asked},
        {"whole", {"SIZE"}, 0, std::nullopt, -1, ErrorKind::None, asked},
        {"longer than SIZE said", {"SIZE"}, 0, Response{"213 1000\r\n"}, -1, ErrorKind::TransferAborted, asked},
        // What SIZE can not measure stays unchecked; the transfer itself decides.
        {"SIZE refused", {"SIZE"}, 0, Response{"550 Could not get file size.\r\n"}, -1, ErrorKind::None, asked},
        {"SIZE not offered", {}, 0, std::nullopt, -1, ErrorKind::None, {"PASV", "RETR big"}},
        // In ASCII mode the lengths differ by the line ends.
        {"ASCII mode", {"SIZE"}, 1, std::nullopt, -1, ErrorKind::None, {"PASV", "RETR big"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        QTemporaryDir workDir;
        const QString local = workDir.filePath("big.bin");
        ASSERT_TRUE(writeFile(local, "precious"));
        ASSERT_TRUE(writeFile(server.rootDir() + "/big", pattern(kFile)));
        server.setFeatures(row.features);
        if (row.size)
            server.script("SIZE", *row.size);
        DataPlan plan;
        plan.dropAfter = row.sent;
        server.planData("RETR", plan);
        Connection connection;
        connection.setTimeOut(3000);
        ASSERT_TRUE(login(connection, server).ok());
        ASSERT_TRUE(run(connection, [&] { connection.TransferType(row.type); }).ok());
        const int loginCommands = int(server.commands().size());
        const Result result = run(connection, [&] { connection.GetFile("big"_ba, local); });
        EXPECT_EQ(result.kind, row.kind) << result.description.toStdString();
        EXPECT_EQ(readFile(local), row.kind == ErrorKind::None ? pattern(kFile) : QByteArray("precious"));
        EXPECT_EQ(QDir(workDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"big.bin"}));
        EXPECT_EQ(server.commands().mid(loginCommands), row.transcript);
        if (QLatin1String(row.name) == QLatin1String("short"))
            EXPECT_EQ(result.serverText, "524288 of 1048576 bytes arrived");
        EXPECT_TRUE(run(connection, [&] { connection.TransferType(0); }).ok());  // in step
    }
}

TEST(UploadLength, AServerHoldingAnotherLengthThanWasSentIsAFailedUpload)
{
    // Guards fault: pyftpdlib answered 226 for an upload whose tail a reset had dropped, and the
    // engine reported success.
    constexpr qint64 kFile = 300 * 1024;
    struct Row {
        const char* name;
        QList<QByteArray> features;
        int type;                      // TransferType()
        std::optional<Response> size;  // scripted SIZE reply after the 226
        ErrorKind kind;
        QStringList transcript;
    };
    const QStringList checked{"PASV", "STOR up", "SIZE up"};
    const Row rows[] = {
        {"whole", {"SIZE"}, 0, std::nullopt, ErrorKind::None, checked},
        {"short", {"SIZE"}, 0, Response{"213 114688\r\n"}, ErrorKind::TransferAborted, checked},
        // A drop box can not measure what it took: the 226 decides.
        {"SIZE refused", {"SIZE"}, 0, Response{"550 Permission denied.\r\n"}, ErrorKind::None, checked},
        {"SIZE not offered", {}, 0, std::nullopt, ErrorKind::None, {"PASV", "STOR up"}},
        {"ASCII mode", {"SIZE"}, 1, std::nullopt, ErrorKind::None, {"PASV", "STOR up"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        server.setFeatures(row.features);
        if (row.size)
            server.script("SIZE", *row.size);
        Connection connection;
        connection.setTimeOut(3000);
        ASSERT_TRUE(login(connection, server).ok());
        ASSERT_TRUE(run(connection, [&] { connection.TransferType(row.type); }).ok());
        const int loginCommands = int(server.commands().size());
        QBuffer source;
        source.setData(pattern(kFile));
        source.open(QIODevice::ReadOnly);
        const Result result = run(connection, [&] { connection.PutFile("up"_ba, &source, kFile); });
        EXPECT_EQ(result.kind, row.kind) << result.description.toStdString();
        EXPECT_EQ(server.commands().mid(loginCommands), row.transcript);
        if (row.kind != ErrorKind::None)
            EXPECT_EQ(result.serverText, QStringLiteral("the server holds 114688 of the 307200 bytes sent"));
        EXPECT_TRUE(run(connection, [&] { connection.TransferType(0); }).ok());  // in step
    }
}

TEST(TimeOut, NoProgressEndsTheTransferWithinAboutASecondMore)
{
    // Guards fault: a server that stops mid-transfer was given up after TimeOut + 1.5 s + two
    // more whole time-outs (ABOR, then NOOP). Bounds are loose on purpose: only the error and
    // "not several time-outs" are checked.
    constexpr int kTimeOut = 2000;
    struct Row {
        const char* name;
        bool answersAbort;
        bool sessionKept;
    };
    const Row rows[] = {
        {"server answers ABOR", true, true},
        {"server silent", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(writeFile(server.rootDir() + "/big", pattern(1024 * 1024)));
        DataPlan stalled;
        stalled.stallAfter = 100000;
        server.planData("RETR", stalled);
        if (!row.answersAbort) {
            server.script("ABOR", Response{""});
            server.script("NOOP", Response{""});
        }
        Connection connection;
        connection.setTimeOut(kTimeOut);
        ASSERT_TRUE(login(connection, server).ok());
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        QElapsedTimer clock;
        clock.start();
        const Result result = run(connection, [&] { connection.GetFile("big"_ba, &sink); });
        EXPECT_LT(clock.elapsed(), kTimeOut + 3000);
        EXPECT_EQ(result.kind, ErrorKind::TimeOut);
        EXPECT_EQ(result.description, "The servers response has timed out.");
        EXPECT_EQ(connection.isLoggedIn(), row.sessionKept);
        EXPECT_EQ(server.commands().mid(4), QStringList({"PASV", "RETR big", "ABOR", "NOOP"}));
    }
}

TEST_F(FakeServerTest, AListingOverTheLimitIsBrokenOffWithOneMessage)
{
    // Guards fault: a 1 GiB LIST made the command-line tool grow to 4.3 GB.
    ASSERT_TRUE(login().ok());
    const QByteArray line = "-rw-r--r-- 1 0 0 1 Jan 01 10:00 f\r\n";
    QByteArray huge;
    huge.reserve(kMaxListingBytes + line.size());
    while (huge.size() <= kMaxListingBytes)
        huge += line;
    struct Row {
        const char* name;
        qint64 size;
        bool toFile;
        ErrorKind kind;
    };
    const Row rows[] = {
        {"over, to a device", qint64(huge.size()), false, ErrorKind::ListingTooLarge},
        {"over, to a file", qint64(huge.size()), true, ErrorKind::ListingTooLarge},
        {"at the limit", kMaxListingBytes, false, ErrorKind::None},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        server.setListing(huge.left(row.size));
        ASSERT_TRUE(writeFile(local, "precious"));
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        const Result result = run([&] {
            if (row.toFile)
                connection.ListContents(local);
            else
                connection.ListContents(&sink);
        });
        EXPECT_EQ(result.kind, row.kind);
        if (row.kind == ErrorKind::ListingTooLarge)
            EXPECT_EQ(result.description, listingTooLargeMessage("list '/'"));  // the directory PWD named
        EXPECT_LE(sink.size(), kMaxListingBytes);
        EXPECT_EQ(readFile(local), "precious");
        EXPECT_EQ(localEntries(), QStringList({"local.bin"}));
        EXPECT_TRUE(run([&] { connection.TransferType(0); }).ok());  // in step
    }
}

TEST_F(FakeServerTest, CompletionReplyIsActedOnOnlyAfterTheDataClose)
{
    // Guards against finishing at the 226 while data is still on its way.
    ASSERT_TRUE(login().ok());
    putRemote("a", pattern(300000));
    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforeClose, "150 Here\r\n", "226 Done\r\n", -1, 400});
    server.planData("RETR", DataPlan{DataPlan::Order::FinalBeforePreliminary});
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok()) << i;
        EXPECT_EQ(readFile(local), pattern(300000)) << i;
    }
    EXPECT_TRUE(run([&] { connection.ChangeDirectory("x"_ba); }).ok());  // still in step
}

TEST_F(FakeServerTest, StalledDataTimesOutAndTheSessionResynchronises)
{
    ASSERT_TRUE(login().ok());
    putRemote("a", "data");
    connection.setTimeOut(400);
    DataPlan stalled;
    stalled.stall = true;
    server.planData("RETR", stalled);
    EXPECT_EQ(run([&] { connection.GetFile("a"_ba, local); }).description, "The servers response has timed out.");
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
    EXPECT_EQ(run([&] { connection.GetFile("big"_ba, local); }).kind, ErrorKind::Cancelled);
    QObject::disconnect(guard);
    EXPECT_FALSE(QFile::exists(local));
    putRemote("small", "ok");
    EXPECT_TRUE(run([&] { connection.GetFile("small"_ba, local); }).ok());
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
    EXPECT_EQ(run([&] { connection.PutFile("up"_ba, local); }).kind, ErrorKind::Cancelled);
    QObject::disconnect(guard);
    // The server took up the closed connection and got a beginning of the file, nothing else.
    EXPECT_TRUE(bytes.startsWith(readFile(server.rootDir() + "/up")));
    putRemote("small", "ok");
    EXPECT_TRUE(run([&] { connection.GetFile("small"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), "ok");
    EXPECT_EQ(commandsAfterLogin(), QStringList({"PASV", "STOR up", "PASV", "RETR small"}));
}

TEST_F(FakeServerTest, UploadSizesFromFileAndFromProducer)
{
    ASSERT_TRUE(login().ok());
    // A missing local file sends nothing: no empty file on the server.
    EXPECT_EQ(run([&] { connection.PutFile("x"_ba, workDir.path() + "/missing"); }).kind, ErrorKind::LocalFile);
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
    ASSERT_TRUE(run([&] { connection.GetFile("a"_ba, local); }).ok());
    EXPECT_EQ(readFile(local), pattern(20000));
    const QStringList commands = commandsAfterLogin();
    ASSERT_EQ(commands.size(), 2);
    EXPECT_TRUE(commands[0].startsWith("PORT 127,0,0,1,"));
    EXPECT_EQ(server.lastPortAddress(), QHostAddress("127.0.0.1"));
    EXPECT_EQ(commands[1], "RETR a");
}

}  // namespace
