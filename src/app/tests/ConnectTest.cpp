// Connecting and disconnecting from the main window through both routes, against vsftpd and
// pyftpdlib on loopback (and the fake server where the exact command sequence or a silent
// server is needed).

#include "ConnectFixture.h"

#include "FakeFtpServer.h"
#include "FtpTestServers.h"

#include <QDir>
#include <QElapsedTimer>

namespace zephra::apptest {
namespace {

// ---- connect, browse and disconnect against the real servers, through both routes ----------

struct RouteCase {
    const char* server;
    bool passive;  // ticked: the engine route
};

class RealServerTest : public ConnectTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RealServerTest, ConnectBrowseSubdirectoriesAndDisconnect)
{
    auto server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    const QDir root(server->rootDir());
    ASSERT_TRUE(root.mkpath(QStringLiteral("pub/inner")));
    writeFile(root.filePath(QStringLiteral("a.txt")), "top");
    writeFile(root.filePath(QStringLiteral("pub/b.gif")), "gif");
    writeFile(root.filePath(QStringLiteral("pub/inner/deep.txt")), "deep");

    showWindow();
    fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
    ASSERT_TRUE(clickAndSettle());
    ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_EQ(status(), QStringLiteral("Connected"));
    EXPECT_EQ(controller()->useEngine(), GetParam().passive);
    EXPECT_EQ(treeNames(), QStringList({"..", "pub"}));
    EXPECT_EQ(listNames(), QStringList({"a.txt"}));
    EXPECT_TRUE(readFile(file("ZepFTPlist.dat")).contains("a.txt"));
    EXPECT_EQ(transferControls(), plainOn());
    const QString login = controller()->serverPath();  // what the server confirmed: "/" or a real path
    EXPECT_TRUE(login.startsWith(u'/')) << login.toStdString();

    // Ticking "Passive" during the session changes nothing until the next connect.
    find<QCheckBox>("Check1")->setChecked(!GetParam().passive);

    // Guards the direct route losing the parent directory two levels down (pub/inner).
    clickNode(QStringLiteral("pub"));
    EXPECT_EQ(treeNames(), QStringList({"..", "inner"})) << promptTexts().toStdString();
    EXPECT_EQ(listNames(), QStringList({"b.gif"}));
    clickNode(QStringLiteral("inner"));
    EXPECT_EQ(treeNames(), QStringList({".."})) << promptTexts().toStdString();
    EXPECT_EQ(listNames(), QStringList({"deep.txt"}));
    EXPECT_EQ(status(), QStringLiteral("Ready..."));
    EXPECT_TRUE(readFile(file("ZepFTPlist.dat")).contains("deep.txt"));
    EXPECT_EQ(controller()->useEngine(), GetParam().passive);
    EXPECT_TRUE(controller()->serverPath().endsWith(QStringLiteral("/pub/inner"))) << controller()->serverPath().toStdString();
    // Guards ".." going to the server's root (engine) or the login directory (direct).
    clickNode(QStringLiteral(".."));
    EXPECT_EQ(listNames(), QStringList({"b.gif"})) << promptTexts().toStdString();
    EXPECT_EQ(treeNames(), QStringList({"..", "inner"}));
    clickNode(QStringLiteral(".."));
    EXPECT_EQ(listNames(), QStringList({"a.txt"})) << promptTexts().toStdString();
    EXPECT_EQ(controller()->serverPath(), login);
    EXPECT_EQ(status(), QStringLiteral("Ready..."));

    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(status(), QStringLiteral("Disconnected"));
    EXPECT_EQ(transferControls(), allOff());
    EXPECT_EQ(tree()->model()->rowCount(), 0);
    EXPECT_EQ(list()->model()->rowCount(), 0);
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

// Guards "Could not connect" from a server that logs the user in but refuses to list (a drop box).
TEST_P(RealServerTest, ALoginDirectoryThatCannotBeListedConnectsShowsTheErrorAndTakesUploads)
{
    test::FtpServerSetup setup;
    setup.listing = false;
    auto server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server), setup);
    if (!server->start())
        GTEST_SKIP() << server->errorString().toStdString();
    writeFile(server->rootDir() + QStringLiteral("/theirs.txt"), "not ours to see");
    writeFile(file("ZepFTPlist.dat"), "d stale\r\n- old.txt\r\n");  // an earlier session's listing
    QTemporaryDir local;
    writeFile(local.filePath(QStringLiteral("mine.txt")), "dropped off");

    showWindow();
    fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
    ASSERT_TRUE(clickAndSettle());
    ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_EQ(status(), QStringLiteral("Connected"));
    EXPECT_EQ(transferControls(), plainOn());
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    const QString error = window->serverBrowser()->listingError();
    EXPECT_TRUE(error.startsWith(QStringLiteral("The login directory could not be listed."))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("550"))) << error.toStdString();
    EXPECT_EQ(listNames(), QStringList());
    EXPECT_FALSE(treeNames().contains(QStringLiteral("stale")));

    window->localBrowser()->setPath(local.path());
    select("ListView1", {"mine.txt"});
    click("Command11");
    ASSERT_TRUE(settled());
    EXPECT_EQ(readFile(server->rootDir() + QStringLiteral("/mine.txt")), "dropped off");
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    EXPECT_TRUE(window->serverBrowser()->listingError().contains(QStringLiteral("550")))
        << "the listing after the upload is refused as well";
    EXPECT_EQ(caption(), QStringLiteral("Disconnect"));
}

INSTANTIATE_TEST_SUITE_P(Routes, RealServerTest,
                         ::testing::Values(RouteCase{"pyftpdlib", true}, RouteCase{"pyftpdlib", false},
                                           RouteCase{"vsftpd", true}, RouteCase{"vsftpd", false}),
                         [](const auto& info) {
                             return std::string(info.param.server) + (info.param.passive ? "_engine" : "_direct");
                         });

// ---- failures and cancelling, per route ------------------------------------------------------

class RouteTest : public ConnectTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RouteTest, RefusedLoginLeavesConnectWithAMessageAndNoStaleListingThenDisconnectsCleanly)
{
    test::PyftpdlibServer server;
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    writeFile(file("ZepFTPlist.dat"), "d stale\r\n- old.txt\r\n");
    showWindow();
    fill(server.host(), server.port(), server.user(), QStringLiteral("wrong"), GetParam());
    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(status(), QStringLiteral("Not connected"));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Warning);
    EXPECT_TRUE(prompter.last().text.startsWith(QStringLiteral("Could not connect to 127.0.0.1:")))
        << prompter.last().text.toStdString();
    EXPECT_EQ(tree()->model()->rowCount(), 0);
    EXPECT_EQ(list()->model()->rowCount(), 0);
    EXPECT_EQ(transferControls(), allOff());
    EXPECT_TRUE(button("Command3")->isEnabled());

    // The right password then connects: nothing of the failed attempt is in the way.
    type("txtPass", server.password());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->ftpEngine().isBusy(); }, 5000));
    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_EQ(treeNames(), QStringList({".."}));

    // Disconnecting after the server went away is clean and adds no message.
    server.stop();
    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(status(), QStringLiteral("Disconnected"));
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
}

// Guards the password field cut at the 20 characters of the record: such accounts could not log in.
TEST_P(RouteTest, APasswordLongerThanTheRecordLogsIn)
{
    test::FtpServerSetup setup;
    setup.password = QStringLiteral("a pass phrase of forty-one characters !!!");
    test::PyftpdlibServer server(0, setup);
    if (!server.start())
        GTEST_SKIP() << server.errorString().toStdString();
    showWindow();
    fill(server.host(), server.port(), server.user(), server.password(), GetParam());
    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

TEST_P(RouteTest, UnreachableOrSilentServersLeaveConnectWithTheReason)
{
    test::FakeFtpServer silent;
    silent.setGreeting({QByteArray()});  // accepts the connection, never greets
    ASSERT_TRUE(silent.start());
    showWindow();
    window->ftpEngine().setTimeOut(500);
    ftp::direct::DirectOptions quick;
    quick.connectTimeoutMs = quick.replyTimeoutMs = quick.stallTimeoutMs = 500;
    controller()->setDirectOptions(quick);
    const QList<std::pair<quint16, QString>> cases = {{closedPort(), QStringLiteral("\n")},  // the reason follows the server
                                                      {silent.port(), QStringLiteral("time")}};
    for (const auto& [port, reason] : cases) {
        prompter.clear();
        fill(QStringLiteral("127.0.0.1"), port, QStringLiteral("u"), QStringLiteral("p"), GetParam());
        ASSERT_TRUE(clickAndSettle(10000));
        EXPECT_EQ(caption(), QStringLiteral("Connect"));
        ASSERT_EQ(prompter.count(), 1) << port;
        EXPECT_TRUE(prompter.last().text.contains(reason, Qt::CaseInsensitive)) << prompter.last().text.toStdString();
        EXPECT_EQ(transferControls(), allOff());
    }
}

TEST_P(RouteTest, CancelOrCloseWhileConnectingToASilentServer)
{
    test::FakeFtpServer server;
    server.setGreeting({QByteArray()});  // accepts the connection, never greets
    ASSERT_TRUE(server.start());
    showWindow();
    fill(server.host(), server.port(), server.user(), server.password(), GetParam());
    click("Command3");
    EXPECT_EQ(status(), QStringLiteral("Connecting to Local test"));
    QPushButton* cancel = button("cmdCancel");
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancel->isVisible(); }, 2000));
    EXPECT_TRUE(find<QWidget>("prgBusy")->isVisible());
    EXPECT_FALSE(button("Command3")->isEnabled());
    ASSERT_TRUE(server.waitForOpenConnections(1));
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !controller()->isBusy(); }, 2000));
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(status(), QStringLiteral("Connecting cancelled"));
    EXPECT_FALSE(cancel->isVisible());
    EXPECT_TRUE(button("Command3")->isEnabled());
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    EXPECT_TRUE(server.waitForAllClosed()) << "the half-open connection is let go";

    // Closing the window while connecting ends promptly too.
    click("Command3");
    ASSERT_TRUE(server.waitForOpenConnections(1));
    QElapsedTimer closing;
    closing.start();
    closeWindow();
    EXPECT_LT(closing.elapsed(), 4000);
    EXPECT_TRUE(server.waitForAllClosed());
}

INSTANTIATE_TEST_SUITE_P(Routes, RouteTest, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "engine" : "direct"); });

// ---- engine route details and input checks ---------------------------------------------------

TEST_F(ConnectTest, EngineRouteSendsUserPassTypePasvListThenQuit)
{
    test::FakeFtpServer server;
    ASSERT_TRUE(server.start());
    writeFile(server.rootDir() + QStringLiteral("/notes.txt"), "n");
    showWindow();
    fill(server.host(), server.port(), server.user(), server.password(), true);
    ASSERT_TRUE(clickAndSettle());
    ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_EQ(server.commands(), QStringList({"USER user", "PASS secret", "FEAT", "PWD", "TYPE I", "PASV", "LIST"}));
    EXPECT_EQ(listNames(), QStringList({"notes.txt"}));
    ASSERT_TRUE(clickAndSettle());
    EXPECT_TRUE(server.waitForCommands(8));
    EXPECT_EQ(server.commands().value(7), QStringLiteral("QUIT"));
}

TEST_F(ConnectTest, AFailingDirectoryChangeIsReportedAndKeepsTheListing)
{
    test::FakeFtpServer server;
    server.setListing("drwxr-xr-x 2 u g 512 Jan 1 12:00 locked\r\n-rw-r--r-- 1 u g 1 Jan 1 12:00 a.txt\r\n");
    ASSERT_TRUE(server.start());
    server.script(QStringLiteral("CWD"), {"550 Permission denied.\r\n"});
    showWindow();
    fill(server.host(), server.port(), server.user(), server.password(), true);
    ASSERT_TRUE(clickAndSettle());
    clickNode(QStringLiteral("locked"));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("locked"))) << prompter.last().text.toStdString();
    EXPECT_EQ(caption(), QStringLiteral("Disconnect"));
    EXPECT_EQ(listNames(), QStringList({"a.txt"}));
}

TEST_F(ConnectTest, CancellingADisconnectThatWaitsForTheServerEndsAtOnce)
{
    test::FakeFtpServer server;
    ASSERT_TRUE(server.start());
    showWindow();
    fill(server.host(), server.port(), server.user(), server.password(), false);
    ASSERT_TRUE(clickAndSettle());
    ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    server.script(QStringLiteral("QUIT"), {QByteArray()});  // never answers the goodbye

    click("Command3");
    EXPECT_EQ(status(), QStringLiteral("Disconnecting..."));
    ASSERT_TRUE(server.waitForCommands(int(server.commands().size()) + 1));
    QTest::mouseClick(button("cmdCancel"), Qt::LeftButton);
    EXPECT_FALSE(controller()->isBusy());
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(status(), QStringLiteral("Disconnected"));
    EXPECT_EQ(transferControls(), allOff());
    EXPECT_EQ(tree()->model()->rowCount(), 0);
}

TEST_F(ConnectTest, PortThatIsNotANumberFrom1To65535IsRefusedBeforeConnecting)
{
    test::FakeFtpServer server;
    ASSERT_TRUE(server.start());
    open();
    type("txtAddr", server.host());
    for (const QString& port : {QStringLiteral("0"), QStringLiteral("abc"), QStringLiteral(""), QStringLiteral("-21"),
                                QStringLiteral("2 1")}) {
        prompter.clear();
        type("txtPort", port);
        click("Command3");
        ASSERT_EQ(prompter.count(), 1) << port.toStdString();
        EXPECT_EQ(prompter.last().text, QStringLiteral("The Port must be a number from 1 to 65535."));
        EXPECT_EQ(caption(), QStringLiteral("Connect"));
        EXPECT_FALSE(controller()->isBusy());
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(server.openConnections(), 0);
    EXPECT_EQ(app::SessionController::portNumber(QStringLiteral("65535")), 65535);
    EXPECT_EQ(app::SessionController::portNumber(QStringLiteral("65536")), 0);
}

}  // namespace
}  // namespace zephra::apptest
