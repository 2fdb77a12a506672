#include "WindowFixture.h"

#include "app/ShutdownSignals.h"
#include "FakeFtpServer.h"
#include "ftp/Connection.h"
#include "keys/KeyPanel.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTextBrowser>

#include <csignal>

using namespace zephra;
using namespace zephra::apptest;

// The pages, the viewer and the about box themselves are checked in the dialog tests; here
// each Help item opens its own window with its caption.
TEST_F(WindowTest, HelpItemsOpenTheirWindowsWithTheirCaptions)
{
    open();
    const QList<std::tuple<const char*, const char*, const char*, const char*>> items = {
        {"HelpOverview", "frmBrowser", "Overview", "Where the program keeps its data"},
        {"hlpkey", "frmBrowser", "Key Management", "Transfer Keys"},
        {"hlpsend", "frmBrowser", "Sending and Receiving Files", "Receive File Encrypted"},
        {"HelpAbout", "frmAbout", "About Zephra Encryption FTP 5", nullptr}};
    for (const auto& [item, dialogName, caption, text] : items) {
        action(item)->trigger();
        QDialog* dialog = waitForDialog(dialogName);
        ASSERT_NE(dialog, nullptr) << item;
        EXPECT_EQ(dialog->windowTitle(), QLatin1String(caption));
        if (text) {
            auto* viewer = dialog->findChild<QTextBrowser*>(QStringLiteral("WebBrowser1"));
            EXPECT_TRUE(viewer->toPlainText().contains(QLatin1String(text))) << item;
            EXPECT_EQ(viewer->source(), QUrl::fromLocalFile(appDir + viewer->source().fileName()));
        }
        dialog->close();
        (void)QTest::qWaitFor([&] { return !window->findChild<QDialog*>(QLatin1String(dialogName)); }, 5000);
    }
}

TEST_F(WindowTest, ClosingRunsTheShutdownSequenceOnce)
{
    open();
    type("txtKey", QStringLiteral("123456789123456789"));
    click("Command10");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
    ASSERT_TRUE(QFileInfo::exists(file("k1.bin")));
    writeFile(file("ZepFTPlist.dat"), "d pub\r\n- readme\r\n");
    writeFile(file("ZepDec.dat"), "plain text that must go");

    window->close();
    for (const char* gone : {"ZepFTPlist.dat", "ZepDec.dat", "k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin",
                             "k4.bin", "k5.bin", "k6.dat"})
        EXPECT_FALSE(QFileInfo::exists(file(gone))) << gone;
    EXPECT_TRUE(QFileInfo::exists(file("key.dat"))) << "the stores stay";
    // A second run (the destructor's) finds nothing to do and touches nothing.
    writeFile(file("ZepDec.dat"), "written after the shutdown");
    window->shutdown();
    window.reset();
    EXPECT_EQ(readFile(file("ZepDec.dat")), "written after the shutdown");
}

// Guards losing QUIT in the socket's buffer when the window (and its engine) goes at once.
TEST_F(WindowTest, ClosingWhileConnectedSendsQuitBeforeTheProgramEnds)
{
    test::FakeFtpServer server;
    ASSERT_TRUE(server.start());
    open();
    ftp::Connection& ftpEngine = window->ftpEngine();
    QSignalSpy finished(&ftpEngine, &ftp::Connection::finished);
    ftpEngine.Connect(server.host(), QString::number(server.port()), server.user(), server.password());
    ASSERT_TRUE(finished.wait(5000));
    ASSERT_TRUE(ftpEngine.isLoggedIn());

    window->close();
    window.reset();  // the program ends: no event loop runs for the engine any more
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.commands().contains(QStringLiteral("QUIT")); }, 5000))
        << server.commands().join(u' ').toStdString();
}

TEST_F(WindowTest, ExitDuringKeyspaceCreationWaitsThenWipes)
{
    open();
    type("txtKey", QStringLiteral("123456789123456789"));
    click("Command10");
    action("fleext")->trigger();  // possibly while the worker still writes
    EXPECT_FALSE(window->keyPanel()->isBusy());
    EXPECT_FALSE(QFileInfo::exists(file("k1.bin")));
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(prompter.asked().isEmpty()) << "no connection: Exit asks nothing";
    // The window outlives the shutdown until main() returns: late reports must not reach it.
    settle();
    EXPECT_FALSE(window->keyPanel()->isBusy());
}

TEST_F(WindowTest, StartUpWipesWorkingFilesACrashLeftBehind)
{
    {
        crypto::Engine crashed(appDir.toStdString());
        ASSERT_TRUE(crashed.createKeyspace("123456789123456789").ok());
    }
    ASSERT_TRUE(QFileInfo::exists(file("k3.bin")));
    open();
    EXPECT_FALSE(QFileInfo::exists(file("k3.bin")));
    EXPECT_FALSE(QFileInfo::exists(file("k1.bin")));
}

TEST(ShutdownSignals, TerminationSignalsArriveOnTheEventLoop)
{
    app::ShutdownSignals termination;
    QSignalSpy spy(&termination, &app::ShutdownSignals::requested);
    ::raise(SIGTERM);
    EXPECT_TRUE(spy.wait(5000));
    ::raise(SIGINT);
    EXPECT_TRUE(spy.count() == 2 || spy.wait(5000));
}
