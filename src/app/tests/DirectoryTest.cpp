// Directory changes from the server tree: a command acts on the directory the window shows,
// because the session takes a directory only from what the server confirmed (the engine's PWD
// after each change, the direct route's successful change into an absolute path).

#include "ConnectFixture.h"

#include "FakeFtpServer.h"

#include <QDir>

namespace zephra::apptest {
namespace {

constexpr QByteArrayView kRootListing = "drwxr-xr-x 2 u g 512 Jan 1 12:00 sub\r\n"
                                        "-rw-r--r-- 1 u g 4 Jan 1 12:00 important.txt\r\n";

QByteArray pwdReply(const char* path) { return QByteArray("257 \"") + path + "\" is the current directory.\r\n"; }

class DirectoryTest : public ConnectTest {
protected:
    // The engine route to the fake server, which reports "/" as its login directory.
    void connectEngine(QByteArrayView listing = kRootListing)
    {
        server.setListing(listing.toByteArray());
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(QDir(server.rootDir()).mkdir(QStringLiteral("sub")));
        writeFile(remote("important.txt"), "top");
        writeFile(remote("sub/important.txt"), "keep");
        server.script(QStringLiteral("PWD"), {pwdReply("/")});
        showWindow();
        fill(server.host(), server.port(), server.user(), server.password(), true);
        ASSERT_TRUE(clickAndSettle());
        ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
        ASSERT_TRUE(listNames().contains(QStringLiteral("important.txt")));
    }

    void doubleClickFile(const QString& name)
    {
        const int row = int(listNames().indexOf(name));
        ASSERT_GE(row, 0) << name.toStdString();
        // The view acts on a double click only over the row the press went to, as a user's does.
        const QPoint at = list()->visualRect(list()->model()->index(row, 0)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
        ASSERT_TRUE(settled());
    }

    QString remote(const char* path) const { return server.rootDir() + u'/' + QLatin1String(path); }

    // The commands the server received from the first "CWD" on.
    QStringList commandsFromDirectoryChange() const
    {
        const QStringList all = server.commands();
        const qsizetype first = all.indexOf(QStringLiteral("CWD sub"));
        return first < 0 ? all : all.mid(first);
    }

    test::FakeFtpServer server;
};

// Guards the reported loss: LIST, CWD sub, LIST (451), then DELE important.txt removed
// /sub/important.txt while the window still showed "/".
TEST_F(DirectoryTest, AListingThatFailsAfterTheChangeShowsTheNewDirectoryEmptyAndCommandsActThere)
{
    connectEngine();
    server.script(QStringLiteral("PWD"), {pwdReply("/sub")});
    server.script(QStringLiteral("LIST"), {"451 Requested action aborted: local error in processing.\r\n"});
    clickNode(QStringLiteral("sub"));
    const QString error = window->serverBrowser()->listingError();
    EXPECT_TRUE(error.contains(QStringLiteral("/sub")) && error.contains(QStringLiteral("451"))) << error.toStdString();
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/sub"));
    EXPECT_EQ(window->serverBrowser()->directory(), "/sub");
    EXPECT_EQ(listNames(), QStringList()) << "the old directory's files are not shown while the server is in /sub";
    EXPECT_EQ(treeNames(), QStringList({".."}));
    EXPECT_EQ(caption(), QStringLiteral("Disconnect"));

    // ".." is the parent; a delete there acts on "/".
    server.script(QStringLiteral("PWD"), {pwdReply("/")});
    clickNode(QStringLiteral(".."));
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/"));
    ASSERT_EQ(listNames(), QStringList({"important.txt"}));
    prompter.queueAnswer(true);
    select("ListView2", {"important.txt"});
    action("ServerFilesDelete")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_EQ(commandsFromDirectoryChange(),
              QStringList({"CWD sub", "PWD", "PASV", "LIST", "CDUP", "PWD", "PASV", "LIST", "DELE important.txt",
                           "PASV", "LIST"}));
    EXPECT_FALSE(QFile::exists(remote("important.txt")));
    EXPECT_EQ(readFile(remote("sub/important.txt")), "keep");
}

// A change the server did not confirm leaves the engine's directory unknown: the session goes
// back into the shown directory before any command can run.
TEST_F(DirectoryTest, AnUnconfirmedChangeGoesBackBeforeAnyCommand)
{
    connectEngine();
    server.script(QStringLiteral("PWD"), {"550 PWD not possible now.\r\n"});
    clickNode(QStringLiteral("sub"));
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/"));
    EXPECT_EQ(listNames(), QStringList({"important.txt"}));
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    prompter.queueAnswer(true);
    select("ListView2", {"important.txt"});
    action("ServerFilesDelete")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_EQ(commandsFromDirectoryChange(),
              QStringList({"CWD sub", "PWD", "CWD /", "PWD", "DELE important.txt", "PASV", "LIST"}));
    EXPECT_FALSE(QFile::exists(remote("important.txt")));
    EXPECT_EQ(readFile(remote("sub/important.txt")), "keep");
}

// A link in the file list may lead to a directory, which only the server knows: it is tried,
// and a refusal is no error (the link is a file).
TEST_F(DirectoryTest, ALinkIsOpenedAsADirectoryWhenTheServerAgrees)
{
    connectEngine(QByteArray(kRootListing.toByteArray()) + "lrwxrwxrwx 1 u g 13 Jan 1 12:00 tofile -> important.txt\r\n"
                  "lrwxrwxrwx 1 u g 3 Jan 1 12:00 tosub -> sub\r\n");
    server.script(QStringLiteral("CWD"), {"550 tofile: Not a directory.\r\n"});
    doubleClickFile(QStringLiteral("tofile"));
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    EXPECT_TRUE(status().contains(QStringLiteral("tofile"))) << status().toStdString();
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/"));
    EXPECT_TRUE(listNames().contains(QStringLiteral("important.txt")));

    server.script(QStringLiteral("PWD"), {pwdReply("/sub")});
    doubleClickFile(QStringLiteral("tosub"));
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/sub"));
    EXPECT_TRUE(server.commands().contains(QStringLiteral("CWD tosub"))) << server.commands().join(u' ').toStdString();
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

// Guards "Not connected to a server." from the first command after a cancelled listing.
TEST_F(DirectoryTest, ACancelledListingShowsWhereTheSessionIsAndTheNextCommandWorks)
{
    connectEngine();
    server.script(QStringLiteral("PWD"), {pwdReply("/sub")});
    test::FakeFtpServer::DataPlan stall;
    stall.stall = true;
    server.planData(QStringLiteral("LIST"), stall);
    const int row = int(treeNames().indexOf(QStringLiteral("sub")));
    QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {},
                      tree()->visualRect(tree()->model()->index(row, 0)).center());
    ASSERT_TRUE(controller()->isBusy());
    ASSERT_TRUE(QTest::qWaitFor([this] { return server.commands().count(QStringLiteral("LIST")) == 2; }, 5000))
        << server.commands().join(u' ').toStdString();
    QTest::mouseClick(button("cmdCancel"), Qt::LeftButton);
    ASSERT_TRUE(settled());
    EXPECT_EQ(status(), QStringLiteral("Cancelled"));
    EXPECT_EQ(caption(), QStringLiteral("Disconnect"));
    EXPECT_EQ(controller()->serverPath(), QStringLiteral("/sub"));
    EXPECT_EQ(listNames(), QStringList());
    EXPECT_TRUE(window->serverBrowser()->listingError().contains(QStringLiteral("cancelled")));
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();

    QTemporaryDir local;
    writeFile(local.filePath(QStringLiteral("up.txt")), "up");
    window->localBrowser()->setPath(local.path());
    select("ListView1", {"up.txt"});
    click("Command11");
    ASSERT_TRUE(settled());
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
    EXPECT_EQ(readFile(remote("sub/up.txt")), "up") << server.commands().join(u' ').toStdString();
    EXPECT_EQ(listNames(), QStringList({"important.txt"})) << "the refreshed listing of /sub";
}

// Guards a window that says "connected" after the engine gave the session up: the server never
// answered for the cancelled listing, and the next command failed with "Not connected to a server."
TEST_F(DirectoryTest, ASessionLostAfterACancelledListingIsShownAsClosed)
{
    connectEngine();
    window->ftpEngine().setTimeOut(300);
    server.script(QStringLiteral("PWD"), {pwdReply("/sub")});
    test::FakeFtpServer::DataPlan stall;
    stall.stall = true;
    server.planData(QStringLiteral("LIST"), stall);
    server.script(QStringLiteral("ABOR"), {QByteArray()});  // never answered
    server.script(QStringLiteral("NOOP"), {QByteArray()});
    const int row = int(treeNames().indexOf(QStringLiteral("sub")));
    QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {},
                      tree()->visualRect(tree()->model()->index(row, 0)).center());
    ASSERT_TRUE(QTest::qWaitFor([this] { return server.commands().count(QStringLiteral("LIST")) == 2; }, 5000));
    QTest::mouseClick(button("cmdCancel"), Qt::LeftButton);
    ASSERT_TRUE(settled());
    EXPECT_EQ(caption(), QStringLiteral("Connect"));
    EXPECT_EQ(transferControls(), allOff());
    EXPECT_EQ(tree()->model()->rowCount(), 0);
    ASSERT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("connection"))) << prompter.last().text.toStdString();

    // Connecting again works at once.
    prompter.clear();
    server.script(QStringLiteral("PWD"), {pwdReply("/")});
    ASSERT_TRUE(clickAndSettle());
    EXPECT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
    EXPECT_EQ(listNames(), QStringList({"important.txt"}));
}

}  // namespace
}  // namespace zephra::apptest
