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
    void connectEngine()
    {
        server.setListing(kRootListing.toByteArray());
        ASSERT_TRUE(server.start());
        server.script(QStringLiteral("PWD"), {pwdReply("/")});
        showWindow();
        fill(server.host(), server.port(), server.user(), server.password(), true);
        ASSERT_TRUE(clickAndSettle());
        ASSERT_EQ(caption(), QStringLiteral("Disconnect")) << promptTexts().toStdString();
        ASSERT_EQ(listNames(), QStringList({"important.txt"}));
    }

    // The commands the server received from the first "CWD" on.
    QStringList commandsFromDirectoryChange() const
    {
        const QStringList all = server.commands();
        const qsizetype first = all.indexOf(QStringLiteral("CWD sub"));
        return first < 0 ? all : all.mid(first);
    }

    test::FakeFtpServer server;
};

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
