// The person at the keyboard, through the real window against vsftpd and pyftpdlib on loopback,
// both routes: the path fields, Refresh and the local watcher, what the window remembers, Edit
// sending back only what the editor saved, where focus goes after a command, the data
// directory's modes, and a minimum size that keeps every caption whole.

#include "ConnectFixture.h"

#include "FtpTestServers.h"
#include "app/FileCommands.h"
#include "browse/LocalBrowser.h"
#include "dialogs/frmEdit.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace zephra::apptest {
namespace {

struct RouteCase {
    const char* server;
    bool passive;  // ticked: the engine route
};

std::string routeName(const ::testing::TestParamInfo<RouteCase>& info)
{
    return std::string(info.param.server) + (info.param.passive ? "_engine" : "_direct");
}

unsigned modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : 0xffff;
}

class NavigationTest : public ConnectTest, public ::testing::WithParamInterface<RouteCase> {
protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        ASSERT_TRUE(local.isValid());
        server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        ASSERT_TRUE(QDir(server->rootDir()).mkpath(QStringLiteral("sub")));
        writeFile(server->rootDir() + "/sub/inside.txt", "in sub");
        writeFile(server->rootDir() + "/top.txt", "top");
    }

    void start()
    {
        showWindow();
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get());
    }

    void connectToServer()
    {
        fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
        click("Command3");
        ASSERT_TRUE(settled());
        ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    }

    void enter(const char* field, const QString& text)
    {
        QLineEdit* e = edit(field);
        e->setFocus();
        e->selectAll();
        QTest::keyClicks(e, text);
        QTest::keyClick(e, Qt::Key_Return);
        ASSERT_TRUE(settled());
    }

    QString serverLog() const { return server->log(); }

    std::unique_ptr<test::FtpTestServer> server;
    QTemporaryDir local;
};

TEST_P(NavigationTest, PathFieldsGoWhereTypedAndRefreshShowsFilesOthersAdded)
{
    start();
    window->localBrowser()->setPath(local.path());
    EXPECT_EQ(edit("txtLocalPath")->text(), local.path());
    connectToServer();
    // The login directory: "/" for a confined user, the real path for vsftpd's unconfined one.
    const QString login = controller()->serverPath();
    const QString sub = login == QStringLiteral("/") ? QStringLiteral("/sub") : login + QStringLiteral("/sub");
    EXPECT_EQ(edit("txtServerPath")->text(), login);

    enter("txtServerPath", QStringLiteral("sub"));  // relative to the directory shown
    EXPECT_EQ(edit("txtServerPath")->text(), sub);
    EXPECT_EQ(listNames(), QStringList{"inside.txt"});
    enter("txtServerPath", login);
    EXPECT_TRUE(listNames().contains(QStringLiteral("top.txt")));
    enter("txtServerPath", sub);
    EXPECT_EQ(listNames(), QStringList{"inside.txt"});

    // A directory the server refuses: it says so, and the directory shown stays.
    enter("txtServerPath", sub + QStringLiteral("/nowhere"));
    EXPECT_FALSE(prompter.asked().isEmpty());
    EXPECT_EQ(edit("txtServerPath")->text(), sub);
    EXPECT_EQ(listNames(), QStringList{"inside.txt"});
    prompter.clear();

    // Another program adds a file on the server: the popup item, then F5 in the server list.
    writeFile(server->rootDir() + "/sub/later.txt", "later");
    action("ServerFilesRefresh")->trigger();
    ASSERT_TRUE(settled());
    QStringList names = listNames();
    names.sort();  // pyftpdlib lists in the directory's own order
    EXPECT_EQ(names, (QStringList{"inside.txt", "later.txt"}));
    writeFile(server->rootDir() + "/sub/f5.txt", "f5");
    list()->setFocus();
    QTest::keyClick(list(), Qt::Key_F5);
    ASSERT_TRUE(settled());
    EXPECT_EQ(listNames().size(), 3) << listNames().join(u',').toStdString();

    // Local: a path typed and Enter; a directory that is not there keeps the list; the
    // watcher sees files other programs add.
    ASSERT_TRUE(QDir(local.path()).mkpath(QStringLiteral("deeper")));
    writeFile(local.filePath("deeper/d.txt"), "d");
    enter("txtLocalPath", local.filePath("deeper"));
    EXPECT_EQ(window->localBrowser()->path(), local.filePath("deeper"));
    EXPECT_EQ(window->localBrowser()->fileNames(), QStringList{"d.txt"});
    enter("txtLocalPath", local.filePath("missing"));
    EXPECT_EQ(window->localBrowser()->path(), local.filePath("deeper"));
    EXPECT_EQ(edit("txtLocalPath")->text(), local.filePath("deeper"));
    writeFile(local.filePath("deeper/new.txt"), "n");
    EXPECT_TRUE(QTest::qWaitFor([this] { return window->localBrowser()->fileNames().size() == 2; }, 10000))
        << window->localBrowser()->fileNames().join(u',').toStdString();
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

TEST_P(NavigationTest, TheLastDirectoriesAndGeometryAreRemembered)
{
    start();
    window->localBrowser()->setPath(local.path());
    connectToServer();
    const QString login = controller()->serverPath();
    enter("txtServerPath", QStringLiteral("sub"));
    const QString sub = controller()->serverPath();
    ASSERT_TRUE(sub.endsWith(QStringLiteral("/sub"))) << sub.toStdString();
    window->resize(1111, 777);
    const QSize size = window->size();
    closeWindow();
    EXPECT_EQ(modeOf(file("settings.ini")), 0600u);

    start();
    EXPECT_EQ(window->localBrowser()->path(), local.path());
    EXPECT_EQ(edit("txtLocalPath")->text(), local.path());
    EXPECT_EQ(window->size(), size);
    connectToServer();
    EXPECT_EQ(controller()->serverPath(), sub);
    EXPECT_EQ(listNames(), QStringList{"inside.txt"});
    closeWindow();

    // The remembered directory is gone: the login directory, without a message box.
    ASSERT_TRUE(QDir(server->rootDir() + "/sub").removeRecursively());
    start();
    connectToServer();
    EXPECT_EQ(controller()->serverPath(), login);
    EXPECT_TRUE(listNames().contains(QStringLiteral("top.txt")));
    EXPECT_TRUE(prompter.asked().isEmpty()) << promptTexts().toStdString();
}

// Guards the faults where Edit sent the file back unedited, and fetched a file the editor
// then refused as too large.
TEST_P(NavigationTest, EditSendsBackOnlyWhatTheEditorSavedAndRefusesLargeFilesBeforeFetching)
{
    const QString top = server->rootDir() + "/top.txt";
    const QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000);
    {
        QFile f(top);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(old, QFileDevice::FileModificationTime));
    }
    {
        QFile big(server->rootDir() + "/big.log");
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(dialogs::frmEdit::kMaxFileSize + 1));  // sparse: nothing to send
    }
    start();
    connectToServer();
    int edits = 0;
    bool save = false;
    window->fileCommands()->dialogs().edit = [&](QWidget*, const QString&) {
        ++edits;
        return save;
    };

    select("ListView2", {"top.txt"});
    action("ServerFilesEdit")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(QFileInfo(top).lastModified(), old) << "closed without saving: nothing goes back";
    EXPECT_EQ(readFile(top), "top");

    save = true;
    select("ListView2", {"top.txt"});
    action("ServerFilesEdit")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_NE(QFileInfo(top).lastModified(), old) << "saved: sent back";

    const int retrievals = int(serverLog().count(QStringLiteral("RETR")));
    select("ListView2", {"big.log"});
    action("ServerFilesEdit")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_EQ(edits, 2);
    ASSERT_FALSE(prompter.asked().isEmpty());
    EXPECT_TRUE(prompter.last().text.contains(QStringLiteral("more than the editor opens")))
        << prompter.last().text.toStdString();
    EXPECT_EQ(serverLog().count(QStringLiteral("RETR")), retrievals) << "nothing was fetched";
    EXPECT_TRUE(QDir(file("tmp")).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
}

// Guards the fault where focus went to the profile Name field (text selected) after a transfer.
TEST_P(NavigationTest, FocusReturnsToTheListThatStartedTheCommand)
{
    writeFile(local.filePath("up.txt"), "up");
    start();
    window->localBrowser()->setPath(local.path());
    connectToServer();
    QWidget* localList = find<QWidget>("ListView1");
    const auto focused = [] {
        QWidget* w = QApplication::focusWidget();
        return w ? (w->metaObject()->className() + (u' ' + w->objectName())).toStdString()
                       + " in " + (w->parentWidget() ? w->parentWidget()->objectName().toStdString() : "")
                 : std::string("none");
    };
    select("ListView1", {"up.txt"});
    localList->setFocus();
    click("Command11");
    ASSERT_TRUE(settled());
    EXPECT_TRUE(QFile::exists(server->rootDir() + "/up.txt"));
    EXPECT_EQ(QApplication::focusWidget(), localList) << focused();

    select("ListView2", {"top.txt"});
    list()->setFocus();
    click("Command13");
    ASSERT_TRUE(settled());
    EXPECT_TRUE(QFile::exists(local.filePath("top.txt")));
    EXPECT_EQ(QApplication::focusWidget(), list()) << focused();
}

// Guards the fault where an existing data directory kept 0755 and its work files were 0644.
TEST_P(NavigationTest, TheDataDirectoryAndEveryFileInItAreOwnerOnly)
{
    ASSERT_EQ(::chmod(QFile::encodeName(home.path()).constData(), 0755), 0);
    writeFile(file("editor.xex"), "true\n");
    QFile::setPermissions(file("editor.xex"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    start();
    EXPECT_EQ(modeOf(home.path()), 0700u);
    EXPECT_EQ(modeOf(file("editor.xex")), 0600u);
    connectToServer();
    EXPECT_EQ(modeOf(file("ZepFTPlist.dat")), 0600u);
    window->fileCommands()->dialogs().view = [](const QString&, const QString&) {
        return dialogs::ViewerLaunch{true, {}, 1};
    };
    select("ListView2", {"top.txt"});
    action("ServerFilesView")->trigger();
    ASSERT_TRUE(settled());
    EXPECT_EQ(readFile(file("ViewData.txt")), "top");
    EXPECT_EQ(modeOf(file("ViewData.txt")), 0600u);
    QDirIterator all(appDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (all.hasNext()) {
        const QString path = all.next();
        EXPECT_EQ(modeOf(path) & 0077, 0u) << path.toStdString();
    }
    closeWindow();
    EXPECT_FALSE(QFile::exists(file("ViewData.txt"))) << "removed at exit like the keyspace";
    EXPECT_FALSE(QFile::exists(file("ZepFTPlist.dat")));
}

INSTANTIATE_TEST_SUITE_P(Routes, NavigationTest,
                         ::testing::Values(RouteCase{"vsftpd", true}, RouteCase{"vsftpd", false},
                                           RouteCase{"pyftpdlib", true}, RouteCase{"pyftpdlib", false}),
                         routeName);

// Every caption whole at the window's minimum size: no button or label shorter than its text.
TEST_F(WindowTest, TheMinimumSizeKeepsEveryCaptionWhole)
{
    writeFile(file("opt.dne"), "Done\r\n");
    open().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->resize(window->minimumSize());
    settle();
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->objectName() == QLatin1String("lbStat"))
            continue;  // the status line's texts vary; a long one wraps into its tool tip
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w)) {
            EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
            EXPECT_GE(w->height(), w->sizeHint().height()) << w->objectName().toStdString();
        }
    }
}

// Save says so and lists the profile at once; the profile last connected with is shown at start.
TEST_F(ConnectTest, ProfileSaveSaysSoAndTheLastProfileUsedIsShownAtStart)
{
    writeFile(file("connect.dat"), profile("one", "127.0.0.1", "u", "p", 'T', "1")
                                       + profile("two", "127.0.0.1", "v", "q", 'T', "1"));
    showWindow();
    typeCombo("cmbName", QStringLiteral("three"));
    type("txtAddr", QStringLiteral("127.0.0.1"));
    type("txtUser", QStringLiteral("w"));
    type("txtPass", QStringLiteral("r"));
    type("txtPort", QStringLiteral("1"));
    click("Command1");
    EXPECT_EQ(status(), QStringLiteral("Connection three saved"));
    EXPECT_EQ(combo("cmbName")->count(), 3);
    EXPECT_EQ(combo("cmbName")->currentText(), QStringLiteral("three"));
    EXPECT_EQ(edit("txtUser")->text(), QStringLiteral("w"));

    pick("cmbName", 1);
    EXPECT_EQ(edit("txtUser")->text(), QStringLiteral("v"));
    ASSERT_TRUE(clickAndSettle());  // port 1 on loopback: refused, but this profile was used
    closeWindow();
    showWindow();
    EXPECT_EQ(combo("cmbName")->currentText(), QStringLiteral("two"));
    EXPECT_EQ(edit("txtUser")->text(), QStringLiteral("v"));
}

}  // namespace
}  // namespace zephra::apptest
