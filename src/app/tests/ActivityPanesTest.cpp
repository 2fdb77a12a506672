// The protocol log, the transfer list with Retry failed, and drag and drop, through the real
// window against vsftpd and pyftpdlib on loopback over both routes; zephraftp-cli -v as a
// program. Drops are Qt's drag and drop events carrying real mime data.

#include "ConnectFixture.h"

#include "FtpTestServers.h"
#include "RunProgram.h"
#include "app/ActivityPanes.h"
#include "app/FileDragDrop.h"
#include "app/LogPane.h"
#include "app/TransferListPane.h"
#include "keys/KeyPanel.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSplitter>
#include <QTreeWidget>
#include <QUrl>

namespace zephra::apptest {
namespace {

constexpr auto kKey = "271828182845904523";

struct RouteCase {
    const char* server;
    bool passive;  // ticked: the engine route
};

std::string routeName(const ::testing::TestParamInfo<RouteCase>& info)
{
    return std::string(info.param.server) + (info.param.passive ? "_engine" : "_direct");
}

class ActivityPanesTest : public ConnectTest, public ::testing::WithParamInterface<RouteCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(local.isValid() && other.isValid() && outside.isValid());
        writeFile(file("opt.dne"), "Done\r\n");
        server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        open().show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->localBrowser()->setPath(local.path());
        fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
        click("Command3");
        ASSERT_TRUE(settled());
        ASSERT_EQ(caption(), "Disconnect");
    }

    app::ActivityPanes* panes() const { return window->activityPanes(); }
    QStringList logLines() const
    {
        panes()->logPane()->flush();
        return panes()->logPane()->lines();
    }
    bool logHas(const QString& pattern) const
    {
        return !logLines().filter(QRegularExpression(pattern)).isEmpty();
    }
    QString remote(const QString& name) const { return server->rootDir() + u'/' + name; }
    QStringList serverFiles() const { return QDir(server->rootDir()).entryList(QDir::Files, QDir::Name); }

    // The files of the command at row `command` of the transfer list: name -> state.
    QMap<QString, QString> transferStates(int command) const
    {
        QMap<QString, QString> states;
        QTreeWidgetItem* node = panes()->transferList()->tree()->topLevelItem(command);
        for (int i = 0; node && i < node->childCount(); ++i)
            states[node->child(i)->text(app::TransferListPane::NameColumn)] =
                node->child(i)->text(app::TransferListPane::StateColumn);
        return states;
    }

    // Drags mime data over a list and drops it there, as Qt delivers a drag: enter, move, drop.
    // True when the list took the drop.
    bool drop(const char* listName, const QMimeData& data)
    {
        QWidget* viewport = find<QTreeView>(listName)->viewport();
        const QPoint at = viewport->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        if (!enter.isAccepted())
            return false;
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &move);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
        return move.isAccepted() && dropped.isAccepted() && dropped.dropAction() == Qt::CopyAction;
    }
    // After a drop: the transfer it started has run (bounded).
    bool droppedAndDone(const std::function<bool()>& done)
    {
        return QTest::qWaitFor([&] { return done() && !window->fileCommands()->isRunning() && !controller()->isBusy(); },
                               60000);
    }

    void acceptKey()
    {
        type("txtKey", QString::fromLatin1(kKey));
        click("Command10");
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
        ASSERT_TRUE(button("Command12")->isEnabled());
    }

    QByteArray ciphertextOf(const QByteArray& plain)
    {
        QTemporaryDir dir;
        crypto::Engine reference(dir.filePath("keys").toStdString());
        QDir().mkpath(dir.filePath("keys"));
        EXPECT_TRUE(reference.createKeyspace(kKey).ok());
        writeFile(dir.filePath("plain"), plain);
        EXPECT_TRUE(reference.encryptFile(dir.filePath("plain").toStdString(), dir.filePath("cipher").toStdString()).ok());
        return readFile(dir.filePath("cipher"));
    }

    QTemporaryDir local, other, outside;
    std::unique_ptr<test::FtpTestServer> server;
};

}  // namespace

TEST_P(ActivityPanesTest, TheLogShowsBothSidesOfTheConversationAndNeverThePassword)
{
    writeFile(local.filePath("a.txt"), "alpha");
    select("ListView1", {"a.txt"});
    click("Command11");
    ASSERT_TRUE(settled());
    ASSERT_EQ(readFile(remote("a.txt")), "alpha");

    const QStringList lines = logLines();
    const QRegularExpression shape(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d [<>!] "));
    for (const QString& line : lines) {
        EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
        EXPECT_FALSE(line.contains(server->password())) << line.toStdString();
    }
    EXPECT_TRUE(logHas(QStringLiteral("> USER %1$").arg(server->user())));
    // vsftpd's anonymous login asks for no password; pyftpdlib's does.
    if (QLatin1String(GetParam().server) == QLatin1String("pyftpdlib"))
        EXPECT_TRUE(logHas(QStringLiteral("> PASS \\*\\*\\*\\*$")));
    EXPECT_TRUE(logHas(QStringLiteral("< 230")));
    EXPECT_TRUE(logHas(QStringLiteral("> STOR a.txt$")));
    EXPECT_TRUE(logHas(QStringLiteral("< 226")));
    EXPECT_FALSE(logHas(QStringLiteral("alpha"))) << "file data in the log";
}

TEST_P(ActivityPanesTest, TheTransferListShowsEachFileAndRetryFailedRunsOnlyTheFailedOne)
{
    writeFile(local.filePath("1.txt"), "one");
    writeFile(local.filePath("2.txt"), "two");
    writeFile(local.filePath("3.txt"), "three");
    select("ListView1", {"1.txt", "2.txt", "3.txt"});
    QFile::remove(local.filePath("2.txt"));  // gone between selecting and sending
    click("Command11");
    ASSERT_TRUE(settled());
    ASSERT_EQ(serverFiles(), (QStringList{"1.txt", "3.txt"}));
    ASSERT_EQ(prompter.count(), 1) << "the closing message";

    QTreeWidget* list = panes()->transferList()->tree();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(transferStates(0), (QMap<QString, QString>{{"1.txt", "done"}, {"2.txt", "failed"}, {"3.txt", "done"}}));
    const QString reason = list->topLevelItem(0)->child(1)->text(app::TransferListPane::DetailColumn);
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_TRUE(prompter.last().text.contains(reason)) << "the same reason as the closing message";
    // The error is in the log as well as in the message.
    EXPECT_TRUE(logHas(QStringLiteral("! The upload failed for 2\\.txt: ")));

    // Retry failed sends 2.txt alone: 1.txt, changed meanwhile, is not sent again.
    writeFile(local.filePath("2.txt"), "two, back");
    writeFile(local.filePath("1.txt"), "one, changed");
    QPushButton* retry = panes()->transferList()->retryButton();
    ASSERT_TRUE(retry->isEnabled());

    // Shown another server directory, the retry is refused and the file stays to be retried.
    ASSERT_TRUE(QDir(server->rootDir()).mkdir(QStringLiteral("sub")));
    const QString home = controller()->serverPath();
    auto openServerPath = [&](const QString& path) {
        QLineEdit* field = find<QLineEdit>("txtServerPath");
        field->setText(path);
        QTest::keyClick(field, Qt::Key_Return);
        return settled() && controller()->serverPath() == path;
    };
    ASSERT_TRUE(openServerPath(home.endsWith(u'/') ? home + "sub" : home + "/sub")) << controller()->serverPath().toStdString();
    QTest::mouseClick(retry, Qt::LeftButton);
    ASSERT_TRUE(settled());
    EXPECT_EQ(prompter.count(), 2);
    EXPECT_TRUE(prompter.last().text.contains("Open ")) << prompter.last().text.toStdString();
    EXPECT_EQ(transferStates(0)["2.txt"], "failed");
    EXPECT_TRUE(retry->isEnabled());
    EXPECT_FALSE(QFile::exists(remote("2.txt")));
    ASSERT_TRUE(openServerPath(home));
    QTest::mouseClick(retry, Qt::LeftButton);
    ASSERT_TRUE(settled());
    EXPECT_EQ(readFile(remote("2.txt")), "two, back");
    EXPECT_EQ(readFile(remote("1.txt")), "one");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(transferStates(1), (QMap<QString, QString>{{"2.txt", "done"}}));
    EXPECT_FALSE(retry->isEnabled()) << "a failed file is retried once";
    EXPECT_EQ(transferStates(0)["2.txt"], "failed, retried");
    EXPECT_EQ(prompter.count(), 2) << "the retry went well: no further message";
}

TEST_P(ActivityPanesTest, FilesDraggedBetweenTheListsAndFromOutsideAreTransferred)
{
    app::FileDragDrop* dnd = panes()->dragDrop();
    ASSERT_NE(dnd, nullptr);

    // Local list onto the server list: uploaded, plain (no key: nothing is asked).
    writeFile(local.filePath("a.txt"), "alpha");
    writeFile(local.filePath("b c.bin"), QByteArray(200000, 'b'));
    select("ListView1", {"a.txt", "b c.bin"});
    std::unique_ptr<QMimeData> fromLocal(dnd->localDragData());
    ASSERT_TRUE(fromLocal && fromLocal->hasUrls());
    EXPECT_FALSE(drop("ListView1", *fromLocal)) << "the local list does not take its own files";
    ASSERT_TRUE(drop("ListView2", *fromLocal));
    ASSERT_TRUE(droppedAndDone([&] { return serverFiles() == QStringList{"a.txt", "b c.bin"}; }));
    EXPECT_EQ(readFile(remote("a.txt")), "alpha");
    EXPECT_EQ(readFile(remote("b c.bin")), QByteArray(200000, 'b'));
    EXPECT_TRUE(prompter.asked().isEmpty());

    // Server list onto the local list: downloaded into the directory it shows.
    window->localBrowser()->setPath(other.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return listNames().size() == 2; }, 20000)) << "the server list was refreshed";
    select("ListView2", {"a.txt", "b c.bin"});
    std::unique_ptr<QMimeData> fromServer(dnd->serverDragData());
    ASSERT_TRUE(fromServer && fromServer->hasFormat(QLatin1String(app::FileDragDrop::kServerFilesMime)));
    EXPECT_FALSE(drop("ListView2", *fromServer)) << "the server list does not take its own files";
    ASSERT_TRUE(drop("ListView1", *fromServer));
    ASSERT_TRUE(droppedAndDone([&] { return QFile::exists(other.filePath("b c.bin")); }));
    EXPECT_EQ(readFile(other.filePath("a.txt")), "alpha");
    EXPECT_EQ(readFile(other.filePath("b c.bin")), QByteArray(200000, 'b'));

    // From the desktop's file manager: a uri-list of files elsewhere; a folder is left out.
    writeFile(outside.filePath("from desktop.txt"), "dropped");
    QDir(outside.path()).mkdir("folder");
    QMimeData desktop;
    desktop.setUrls({QUrl::fromLocalFile(outside.filePath("from desktop.txt")), QUrl::fromLocalFile(outside.filePath("folder")),
                     QUrl(QStringLiteral("https://example.org/x.txt"))});
    EXPECT_FALSE(drop("ListView1", desktop)) << "the local list takes only the server's files";
    ASSERT_TRUE(drop("ListView2", desktop));
    ASSERT_TRUE(droppedAndDone([&] { return QFile::exists(remote("from desktop.txt")); }));
    EXPECT_EQ(readFile(remote("from desktop.txt")), "dropped");
    EXPECT_FALSE(QFileInfo::exists(remote("folder")));
    EXPECT_TRUE(logHas(QStringLiteral("! Folders are not sent by drag and drop: folder$")));
    EXPECT_TRUE(prompter.asked().isEmpty());
}

TEST_P(ActivityPanesTest, WithAKeyADropAsksPlainOrEncrypted)
{
    acceptKey();
    app::FileDragDrop* dnd = panes()->dragDrop();
    writeFile(local.filePath("secret.txt"), "secret text");
    select("ListView1", {"secret.txt"});
    std::unique_ptr<QMimeData> fromLocal(dnd->localDragData());

    // Cancel: nothing is sent.
    prompter.queueChoice("Cancel");
    ASSERT_TRUE(drop("ListView2", *fromLocal));
    ASSERT_TRUE(QTest::qWaitFor([&] { return prompter.count() == 1; }, 5000));
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Choice);
    EXPECT_EQ(prompter.last().buttons, (QStringList{"Plain", "Encrypted", "Cancel"}));
    settle();
    EXPECT_TRUE(serverFiles().isEmpty());

    // Encrypted: the server holds the ciphertext, and it comes back decrypted by a drop.
    prompter.queueChoice("Encrypted");
    ASSERT_TRUE(drop("ListView2", *fromLocal));
    ASSERT_TRUE(droppedAndDone([&] { return readFile(remote("secret.txt")) == ciphertextOf("secret text"); }));
    window->localBrowser()->setPath(other.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return listNames() == QStringList{"secret.txt"}; }, 20000));
    select("ListView2", {"secret.txt"});
    std::unique_ptr<QMimeData> fromServer(dnd->serverDragData());
    prompter.queueChoice("Encrypted");
    ASSERT_TRUE(drop("ListView1", *fromServer));
    ASSERT_TRUE(droppedAndDone([&] { return readFile(other.filePath("secret.txt")) == "secret text"; }));

    // Plain: the bytes as they are on the server.
    window->localBrowser()->setPath(outside.path());
    prompter.queueChoice("Plain");
    ASSERT_TRUE(drop("ListView1", *fromServer));
    ASSERT_TRUE(droppedAndDone([&] { return QFile::exists(outside.filePath("secret.txt")); }));
    EXPECT_EQ(readFile(outside.filePath("secret.txt")), ciphertextOf("secret text"));
    EXPECT_EQ(prompter.count(), 4);
}

INSTANTIATE_TEST_SUITE_P(Routes, ActivityPanesTest,
                         ::testing::Values(RouteCase{"vsftpd", true}, RouteCase{"vsftpd", false},
                                           RouteCase{"pyftpdlib", true}, RouteCase{"pyftpdlib", false}),
                         routeName);

// ---- without a server ---------------------------------------------------------------------

TEST(LogPaneTest, KeepsTheLastLinesEachCutShortAndMasksAPasswordWhoeverSendsIt)
{
    app::LogPane pane;
    // A guard against a line that would hand the password to the log whatever the route did.
    pane.addProtocolLine(QStringLiteral("PASS hunter2"), true);
    for (int i = 0; i < app::LogPane::kMaxLines + 1500; ++i)
        pane.addProtocolLine(QStringLiteral("200 line %1").arg(i), false);
    pane.addProtocolLine(QStringLiteral("550 ") + QString(50000, u'x'), false);
    pane.addError(QStringLiteral("first\nsecond"));
    pane.flush();
    const QStringList lines = pane.lines();
    ASSERT_EQ(lines.size(), app::LogPane::kMaxLines);
    EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("hunter2")));
    EXPECT_TRUE(lines.at(lines.size() - 3).endsWith(QChar(0x2026)));
    for (const QString& line : lines)
        EXPECT_LE(line.size(), app::LogPane::kMaxLineChars);
    EXPECT_TRUE(lines.at(lines.size() - 2).endsWith(QStringLiteral(" ! first")));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" ! second")));

    app::LogPane masked;
    masked.addProtocolLine(QStringLiteral("PASS hunter2"), true);
    masked.flush();
    ASSERT_EQ(masked.lines().size(), 1);
    EXPECT_TRUE(masked.lines().first().endsWith(QStringLiteral(" > PASS ****")));
}

TEST_F(WindowTest, ThePanesSitBelowTheListsAndTheViewMenuHidesThem)
{
    writeFile(file("opt.dne"), "Done\r\n");
    open().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    app::ActivityPanes* panes = window->activityPanes();
    auto* split = find<QSplitter>("splitActivity");
    ASSERT_EQ(split->count(), 2);
    EXPECT_EQ(split->widget(0)->objectName(), "splitBrowsers");
    EXPECT_TRUE(panes->logPane()->isVisible());
    EXPECT_TRUE(panes->transferList()->isVisible());
    action("mnuShowLog")->trigger();
    EXPECT_FALSE(panes->logPane()->isVisible());
    EXPECT_TRUE(split->widget(1)->isVisible());
    action("mnuShowTransfers")->trigger();
    EXPECT_FALSE(split->widget(1)->isVisible()) << "nothing left below the lists";
    action("mnuShowLog")->trigger();
    EXPECT_TRUE(panes->logPane()->isVisible());
}

// ---- zephraftp-cli -v ----------------------------------------------------------------------

class CliVerboseTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CliVerboseTest, PrintsTheConversationOnStandardErrorWithoutThePassword)
{
    QString skip;
    test::FtpTestServer* server = test::sharedFtpTestServer(QStringLiteral("pyftpdlib"), &skip);
    if (!server)
        GTEST_SKIP() << skip.toStdString();
    writeFile(server->rootDir() + QStringLiteral("/listed.txt"), "x");
    const test::ProgramOutcome quiet = test::runProgram(
        QStringLiteral(ZEPHRA_CLI_PATH), {"--route", QString::fromLatin1(GetParam()), "ls", server->url()});
    ASSERT_EQ(quiet.status, 0) << quiet.err.toStdString();
    EXPECT_FALSE(quiet.err.contains("USER")) << "nothing without -v";

    const test::ProgramOutcome run = test::runProgram(
        QStringLiteral(ZEPHRA_CLI_PATH), {"-v", "--route", QString::fromLatin1(GetParam()), "ls", server->url()});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("listed.txt"));
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(lines.filter(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d > USER zephra$")).isEmpty()) << run.err.toStdString();
    EXPECT_FALSE(lines.filter(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d > PASS \\*\\*\\*\\*$")).isEmpty());
    EXPECT_FALSE(lines.filter(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d < 230")).isEmpty());
    EXPECT_FALSE(run.err.contains(server->password()));
}

INSTANTIATE_TEST_SUITE_P(Routes, CliVerboseTest, ::testing::Values("engine", "direct"));

}  // namespace zephra::apptest
