// The transfer commands and the server file operations, driven through the real window against
// vsftpd and pyftpdlib on loopback, through both routes, with their effect checked on disk.

#include "ConnectFixture.h"

#include "FakeFtpServer.h"
#include "FtpTestServers.h"
#include "keys/KeyPanel.h"

#include <QDir>
#include <QProgressBar>
#include <QScopeGuard>

#include <filesystem>
#include <fstream>


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

// File names as bytes, which QFile would read as UTF-8 and lose: the names older servers and
// Windows clients write in Latin-1. std::filesystem keeps a POSIX name's bytes.
namespace fs = std::filesystem;

bool writeRawName(const QByteArray& path, const QByteArray& content)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(content.constData(), content.size());
    return bool(out.flush());
}

QList<QByteArray> rawEntries(const QByteArray& dir)
{
    QList<QByteArray> names;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir.toStdString(), ec))
        names.append(QByteArray::fromStdString(e.path().filename().native()));
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray rawContent(const QByteArray& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    if (!in)
        return "<missing>";
    return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}

class FileCommandsTest : public ConnectTest, public ::testing::WithParamInterface<RouteCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(local.isValid() && other.isValid() && reference.isValid());
        writeFile(file("opt.dne"), "Done\r\n");
        server = test::makeFtpTestServer(QString::fromLatin1(GetParam().server));
        if (!server->start())
            GTEST_SKIP() << server->errorString().toStdString();
        open().show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->localBrowser()->setPath(local.path());
        connectToServer();
        app::FileCommands::Dialogs& d = window->fileCommands()->dialogs();
        d.askName = [this](QWidget*, browse::NameMode) { return names.isEmpty() ? QString() : names.takeFirst(); };
        d.askDirectory = [this](QWidget*, browse::DelRenMode, std::vector<browse::ServerDirectory>) {
            return directoryAnswer;
        };
        d.askFilter = [this](QWidget*, const QStringList& shown) {
            filterOffered = shown;
            return filterAnswer;
        };
        d.edit = [this](QWidget*, const QString& path) {
            edited.append(path);
            QFile f(path);
            if (f.open(QIODevice::Append))
                f.write(" edited");
            return true;
        };
        d.view = [this](const QString& command, const QString& path) {
            viewed.append(command + u'|' + path + u'|' + QString::fromUtf8(readFile(path)));
            return dialogs::ViewerLaunch{true, {}, 1};
        };
    }

    void connectToServer()
    {
        fill(server->host(), server->port(), server->user(), server->password(), GetParam().passive);
        click("Command3");
        ASSERT_TRUE(settled());
        ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
        // Rows in name order, whatever order the server lists in (pyftpdlib's MLSD gives the
        // directory's own order), so the answers below meet the files they are meant for.
        find<QTreeView>("ListView2")->sortByColumn(0, Qt::AscendingOrder);
    }

    // A fresh listing: disconnect and connect again.
    void reconnect()
    {
        click("Command3");
        ASSERT_TRUE(settled());
        connectToServer();
    }

    void acceptKey()
    {
        type("txtKey", QString::fromLatin1(kKey));
        click("Command10");
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window->keyPanel()->isBusy(); }, 20000));
        ASSERT_TRUE(button("Command12")->isEnabled());
    }

    void run(const char* buttonName)
    {
        click(buttonName);
        ASSERT_TRUE(settled());
    }
    void trigger(const char* actionName)
    {
        ASSERT_TRUE(action(actionName)->isEnabled()) << actionName;
        action(actionName)->trigger();
        ASSERT_TRUE(settled());
    }

    QString remote(const QString& name) const { return server->rootDir() + u'/' + name; }
    QStringList serverFiles() const { return QDir(server->rootDir()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QStringList warnings() const
    {
        QStringList texts;
        for (const auto& a : prompter.asked())
            texts.append(a.text);
        return texts;
    }

    QByteArray ciphertextOf(const QByteArray& plain)
    {
        if (!referenceEngine) {
            referenceEngine = std::make_unique<crypto::Engine>(reference.filePath("keys").toStdString());
            QDir().mkpath(reference.filePath("keys"));
            EXPECT_TRUE(referenceEngine->createKeyspace(kKey).ok());
        }
        writeFile(reference.filePath("plain"), plain);
        EXPECT_TRUE(referenceEngine->encryptFile(reference.filePath("plain").toStdString(),
                                                 reference.filePath("cipher").toStdString()).ok());
        return readFile(reference.filePath("cipher"));
    }

    QTemporaryDir local, other, reference;
    std::unique_ptr<test::FtpTestServer> server;
    std::unique_ptr<crypto::Engine> referenceEngine;
    QStringList names, edited, viewed, filterOffered;
    QString filterAnswer;
    browse::DelRenAnswer directoryAnswer;
};

}  // namespace

TEST_P(FileCommandsTest, EncryptedAndPlainTransfersRoundTrip)
{
    const QStringList files{"a.txt", "b c.bin", "empty"};
    const QList<QByteArray> contents{"alpha\r\n", QByteArray(3 * 1024 * 1024 + 5, 'b'), QByteArray()};
    for (int i = 0; i < files.size(); ++i)
        writeFile(local.filePath(files[i]), contents[i]);
    acceptKey();

    select("ListView1", files);
    run("Command12");
    for (int i = 0; i < files.size(); ++i)
        EXPECT_EQ(readFile(remote(files[i])), ciphertextOf(contents[i])) << files[i].toStdString();
    EXPECT_NE(readFile(remote("a.txt")), contents[0]);
    EXPECT_EQ(serverFiles(), files);
    QStringList shown = column0(find<QTreeView>("ListView2"));
    shown.sort();  // in the server's order, which need not be sorted
    EXPECT_EQ(shown, files) << "the server list is refreshed";
    EXPECT_TRUE(QDir(appDir + "tmp").entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_EQ(status(), "Ready...");
    EXPECT_TRUE(prompter.asked().isEmpty()) << warnings().join('\n').toStdString();

    // Decrypted into another directory, over an older local file, once the person agreed.
    window->localBrowser()->setPath(other.path());
    writeFile(other.filePath("a.txt"), "older local copy, longer than the new one");
    select("ListView2", files);
    prompter.queueChoice("Overwrite");
    run("Command14");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Choice);
    prompter.clear();
    for (int i = 0; i < files.size(); ++i)
        EXPECT_EQ(readFile(other.filePath(files[i])), contents[i]) << files[i].toStdString();
    EXPECT_EQ(column0(find<QTreeView>("ListView1")), (QStringList{"a.txt", "b c.bin", "empty"}));

    // Plain, both ways, from the popup items.
    writeFile(other.filePath("plain.txt"), "as it is");
    select("ListView1", {"plain.txt"});
    trigger("LocalFileSendNormal");
    EXPECT_EQ(readFile(remote("plain.txt")), "as it is");
    window->localBrowser()->setPath(local.path());
    select("ListView2", {"plain.txt", "a.txt"});
    prompter.queueChoice("Overwrite");  // a.txt is here already
    trigger("ServerFilesSendNormal");
    ASSERT_EQ(prompter.count(), 1);
    prompter.clear();
    EXPECT_EQ(readFile(local.filePath("plain.txt")), "as it is");
    EXPECT_EQ(readFile(local.filePath("a.txt")), ciphertextOf(contents[0]));
    EXPECT_TRUE(prompter.asked().isEmpty()) << warnings().join('\n').toStdString();
}

TEST_P(FileCommandsTest, FailuresAreReportedOnceAndTheSameDirectoryIsRefused)
{
    writeFile(local.filePath("1.txt"), "one");
    writeFile(local.filePath("2.txt"), "two");
    writeFile(local.filePath("3.txt"), "three");
    select("ListView1", {"1.txt", "2.txt", "3.txt"});
    QFile::remove(local.filePath("2.txt"));  // gone between selecting and sending
    run("Command11");
    EXPECT_EQ(serverFiles(), (QStringList{"1.txt", "3.txt"}));
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_TRUE(prompter.last().text.contains("2.txt:")) << prompter.last().text.toStdString();
    EXPECT_EQ(status(), "Ready...");

    // The working directory reached through another spelling (a symbolic link) is the same
    // directory: nothing is fetched, the local list is still reloaded.
    acceptKey();
    prompter.clear();
    const QString link = other.filePath("work link");
    ASSERT_TRUE(QFile::link(appDir + "tmp", link));
    window->localBrowser()->setPath(link);
    select("ListView2", {"1.txt", "3.txt"});
    run("Command14");
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().text, "Cannot use this directory for both decryption and placement.");
    EXPECT_TRUE(QDir(appDir + "tmp").entryList(QDir::Files).isEmpty());
}

TEST_P(FileCommandsTest, CancelInALargeUploadSaysWhatTheServerHolds)
{
    writeFile(local.filePath("large.bin"), QByteArray(160 * 1024 * 1024, 'L'));
    writeFile(remote("large.bin"), "the server's copy");
    reconnect();  // the listing shows the server's copy
    acceptKey();
    select("ListView1", {"large.bin"});
    auto* bar = find<QProgressBar>("prgBusy");
    prompter.queueChoice("Overwrite");
    click("Command12");
    // Cancelled at the first report, while a loopback server is still receiving.
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->text().contains("large.bin") || !window->fileCommands()->isRunning(); }, 20000));
    ASSERT_TRUE(window->fileCommands()->isRunning()) << "finished before it could be cancelled";
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(bar->text().contains("large.bin")) << bar->text().toStdString();
    click("cmdCancel");
    ASSERT_TRUE(settled());
    // Uploads go to the file's own name: the server holds its old copy (the cancel came before
    // it took the STOR) or what arrived of the new one, nothing else, and the report says so.
    const QByteArray now = readFile(remote("large.bin"));
    EXPECT_TRUE(now == "the server's copy" || ciphertextOf(readFile(local.filePath("large.bin"))).startsWith(now));
    EXPECT_EQ(serverFiles(), QStringList{"large.bin"});
    ASSERT_EQ(prompter.count(), 2) << promptTexts().toStdString();  // the overwrite question, the report
    EXPECT_TRUE(prompter.last().text.contains("cancelled")) << prompter.last().text.toStdString();
    if (now != "the server's copy") {
        EXPECT_TRUE(prompter.last().text.contains("copy of large.bin")) << prompter.last().text.toStdString();
    }
    EXPECT_TRUE(button("Command11")->isEnabled());
}

// Guards the shutdown against a transfer still holding the session and the cipher.
TEST_P(FileCommandsTest, ClosingTheWindowDuringATransferLosesNothing)
{
    writeFile(local.filePath("large.bin"), QByteArray(160 * 1024 * 1024, 'L'));
    writeFile(remote("large.bin"), "the server's copy");
    reconnect();
    acceptKey();
    select("ListView1", {"large.bin"});
    prompter.queueChoice("Overwrite");
    click("Command12");
    ASSERT_TRUE(QTest::qWaitFor([&] { return find<QProgressBar>("prgBusy")->text().contains("large.bin"); }, 20000));
    prompter.queueAnswer(true);  // "A transfer is running. Stop it and quit?"
    window->close();
    window.reset();
    EXPECT_FALSE(QFile::exists(appDir + "k1.bin")) << "the keyspace is wiped at the end";
    // The server holds its old copy or what arrived of the new ciphertext, under the file's own
    // name and nothing else: no part file stays behind.
    const QByteArray whole = ciphertextOf(readFile(local.filePath("large.bin")));
    const QByteArray now = readFile(remote("large.bin"));
    EXPECT_TRUE(now == "the server's copy" || whole.startsWith(now)) << now.size() << " bytes";
    EXPECT_EQ(serverFiles(), QStringList{"large.bin"});
}

TEST_P(FileCommandsTest, ServerDirectoryAndFileOperations)
{
    QDir root(server->rootDir());
    writeFile(remote("x.txt"), "x");
    writeFile(remote("y.log"), "y");
    writeFile(remote("z.txt"), "z");
    ASSERT_TRUE(root.mkdir("olddir"));
    click("Command3");  // a fresh listing: disconnect and connect again
    ASSERT_TRUE(settled());
    connectToServer();

    names = QStringList{"made"};
    trigger("ServerDirMakeDir");
    EXPECT_TRUE(QFileInfo(remote("made")).isDir());
    EXPECT_TRUE(column0(find<QTreeView>("TView1")).contains("made"));

    directoryAnswer = {true, "olddir", "olddir", "new:dir"};
    trigger("ServerDirRename");
    EXPECT_TRUE(QFileInfo(remote("new:dir")).isDir());
    directoryAnswer = {true, "made", "made", {}};
    trigger("ServerDirDelete");
    EXPECT_FALSE(QFileInfo::exists(remote("made")));

    names = QStringList{"x renamed.txt", QString()};  // the second rename is cancelled
    select("ListView2", {"x.txt", "y.log"});
    trigger("ServerFilesRename");
    EXPECT_EQ(serverFiles(), (QStringList{"x renamed.txt", "y.log", "z.txt"}));

    filterAnswer = ".txt";
    trigger("ServerFilesFilter");
    EXPECT_EQ(filterOffered, (QStringList{"x renamed.txt", "y.log", "z.txt"}));
    EXPECT_EQ(column0(find<QTreeView>("ListView2")), (QStringList{"x renamed.txt", "z.txt"}));

    select("ListView2", {"z.txt"});
    trigger("ServerFilesView");
    ASSERT_EQ(viewed.size(), 1);
    EXPECT_EQ(viewed[0], window->editorPath() + "|" + appDir + "ViewData.txt|z");

    // The edit copy keeps its name, is sent back, and goes; a same-named file in tmp/ stays.
    writeFile(appDir + "tmp/z.txt", "mine");
    trigger("ServerFilesEdit");
    ASSERT_EQ(edited.size(), 1);
    EXPECT_TRUE(edited[0].startsWith(appDir + "tmp/edit-") && edited[0].endsWith("/z.txt")) << edited[0].toStdString();
    EXPECT_EQ(readFile(remote("z.txt")), "z edited");
    EXPECT_EQ(QDir(appDir + "tmp").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"z.txt"});
    EXPECT_EQ(QDir(appDir).entryList({"tmp*"}, QDir::AllEntries), QStringList{"tmp"});
    EXPECT_EQ(readFile(appDir + "tmp/z.txt"), "mine");

    prompter.queueAnswer(true);
    select("ListView2", {"x renamed.txt", "z.txt"});
    trigger("ServerFilesDelete");
    EXPECT_EQ(prompter.last().title, "Delete Confirm");
    EXPECT_EQ(serverFiles(), QStringList{"y.log"});
    EXPECT_EQ(status(), "Ready...");
}

// Guards commands that re-encoded the shown name as UTF-8: "café.txt" listed from the bytes
// "caf\xE9" could not be downloaded, deleted, renamed or entered (550 from the server).
TEST_P(FileCommandsTest, NamesThatAreNotUtf8AreSentBackByteForByte)
{
    if (QByteArrayView(GetParam().server) != "vsftpd")
        GTEST_SKIP() << "pyftpdlib replaces the bytes of names that are not UTF-8 in its listings";
    const QByteArray root = QFile::encodeName(server->rootDir()) + '/';
    // QTemporaryDir could not remove these names.
    const auto removeAll = qScopeGuard([&] {
        std::error_code ec;
        for (const QByteArray& name : rawEntries(root))
            fs::remove_all((root + name).toStdString(), ec);
    });
    ASSERT_TRUE(writeRawName(root + "caf\xE9.txt", "latin one"));
    ASSERT_TRUE(writeRawName(root + "r\xE9sum\xE9.txt", "two"));
    ASSERT_TRUE(fs::create_directory((root + "d\xE9p").toStdString()));
    ASSERT_TRUE(writeRawName(root + "d\xE9p/\xE9t\xE9.txt", "summer"));
    ASSERT_TRUE(fs::create_directory((root + "vieux r\xE9pertoire").toStdString()));
    click("Command3");  // a fresh listing: disconnect and connect again
    ASSERT_TRUE(settled());
    connectToServer();
    EXPECT_EQ(listNames(), (QStringList{"café.txt", "résumé.txt"}));
    EXPECT_EQ(treeNames(), (QStringList{"..", "dép", "vieux répertoire"}));

    select("ListView2", {"café.txt"});
    trigger("ServerFilesSendNormal");
    EXPECT_EQ(readFile(local.filePath("café.txt")), "latin one");
    trigger("ServerFilesView");
    ASSERT_EQ(viewed.size(), 1);
    EXPECT_TRUE(viewed[0].endsWith("|latin one")) << viewed[0].toStdString();
    trigger("ServerFilesEdit");
    EXPECT_EQ(rawContent(root + "caf\xE9.txt"), "latin one edited");

    names = QStringList{"resume.txt"};
    select("ListView2", {"résumé.txt"});
    trigger("ServerFilesRename");
    prompter.queueAnswer(true);
    select("ListView2", {"café.txt"});
    trigger("ServerFilesDelete");
    EXPECT_EQ(rawEntries(root), (QList<QByteArray>{"d\xE9p", "resume.txt", "vieux r\xE9pertoire"}));

    // Into the directory, a download there, and back.
    clickNode("dép");
    EXPECT_EQ(listNames(), QStringList{"été.txt"});
    select("ListView2", {"été.txt"});
    trigger("ServerFilesSendNormal");
    EXPECT_EQ(readFile(local.filePath("été.txt")), "summer");
    clickNode("..");
    EXPECT_EQ(listNames(), QStringList{"resume.txt"});

    // The directory operations take the node's bytes too.
    window->fileCommands()->dialogs().askDirectory = [](QWidget*, browse::DelRenMode mode,
                                                        std::vector<browse::ServerDirectory> dirs) {
        for (const browse::ServerDirectory& d : dirs) {
            if (mode == browse::DelRenMode::Rename && d.name == "dép")
                return browse::DelRenAnswer{true, d.name, d.rawName, "dep"};
            if (mode == browse::DelRenMode::Delete && d.name == "vieux répertoire")
                return browse::DelRenAnswer{true, d.name, d.rawName, {}};
        }
        return browse::DelRenAnswer{};
    };
    trigger("ServerDirRename");
    trigger("ServerDirDelete");
    EXPECT_EQ(rawEntries(root), (QList<QByteArray>{"dep", "resume.txt"}));
    EXPECT_EQ(rawEntries(root + "dep"), QList<QByteArray>{"\xE9t\xE9.txt"});
    EXPECT_TRUE(prompter.asked().size() == 1) << promptTexts().toStdString();  // the Delete question
}

TEST_P(FileCommandsTest, EncryptedControlsStayOffAfterADisconnect)
{
    acceptKey();
    click("Command3");
    ASSERT_TRUE(settled());
    for (const char* name : {"Command11", "Command12", "Command13", "Command14"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
    EXPECT_FALSE(action("ServerFilesDelete")->isEnabled());
    connectToServer();
    EXPECT_TRUE(button("Command11")->isEnabled());
    EXPECT_FALSE(button("Command12")->isEnabled());
    EXPECT_FALSE(action("LocalFilesSendEncrypted")->isEnabled());
    EXPECT_TRUE(action("ServerFilesDelete")->isEnabled());
}

// The local Edit, View and Filter items; View starts the real command of editor.xex.
TEST_F(WindowTest, LocalEditViewAndFilter)
{
    QTemporaryDir dir;
    writeFile(file("opt.dne"), "Done\r\n");
    const QString record = home.path() + "/viewed.txt";
    const QString script = home.path() + "/my viewer.sh";
    writeFile(script, "#!/bin/sh\nprintf '%s|' \"$@\" >> \"" + record.toUtf8() + "\"\necho >> \"" + record.toUtf8() + "\"\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(file("editor.xex"), "'" + script.toUtf8() + "' --view\r\n");
    writeFile(dir.filePath("a b.txt"), "a");
    writeFile(dir.filePath("c.log"), "c");
    open();
    window->localBrowser()->setPath(dir.path());
    auto* list = find<QTreeView>("ListView1");
    list->selectAll();

    action("LocalFileView")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(record).count('\n') == 2; }, 10000)) << readFile(record).constData();
    QStringList lines = QString::fromUtf8(readFile(record)).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    EXPECT_EQ(lines, (QStringList{"--view|" + dir.filePath("a b.txt") + "|", "--view|" + dir.filePath("c.log") + "|"}));
    EXPECT_TRUE(prompter.asked().isEmpty());

    QStringList edited;
    window->fileCommands()->dialogs().edit = [&](QWidget*, const QString& path) {
        edited.append(path);
        return true;
    };
    action("LocalFileEdit")->trigger();
    EXPECT_EQ(edited, (QStringList{dir.filePath("a b.txt"), dir.filePath("c.log")}));

    QStringList offered;
    window->fileCommands()->dialogs().askFilter = [&](QWidget*, const QStringList& shown) {
        offered = shown;
        return QStringLiteral(".log");
    };
    action("LocalFileFilter")->trigger();
    EXPECT_EQ(offered, (QStringList{"a b.txt", "c.log"}));
    EXPECT_EQ(column0(list), QStringList{"c.log"});
}

// Each answer to the overwrite question, downloads and uploads, plain and encrypted. Before,
// a download silently replaced a local file (a wrong-key fetch replaced a good copy with garbage).
TEST_P(FileCommandsTest, TheOverwriteQuestionAndEachAnswer)
{
    using Kind = dialogs::ScriptedPrompter::Kind;
    const QByteArray whole = QByteArray(3 * 1024 * 1024 + 19, 'w') + "end";
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
        writeFile(remote(QString::fromLatin1(name)), whole);
    writeFile(local.filePath("a.bin"), whole + "longer local copy");
    writeFile(local.filePath("b.bin"), whole.left(1000));
    writeFile(local.filePath("c.bin"), "older c");
    writeFile(local.filePath("d.bin"), "older d");
    reconnect();

    // Skip, Resume, Overwrite, then Cancel for the last: each file as its answer says.
    select("ListView2", {"a.bin", "b.bin", "c.bin", "d.bin"});
    for (const char* answer : {"Skip", "Resume", "Overwrite", "Cancel"})
        prompter.queueChoice(QString::fromLatin1(answer));
    run("Command13");
    ASSERT_GE(prompter.count(), 4) << promptTexts().toStdString();
    const auto& asked = prompter.asked();
    EXPECT_EQ(asked[0].kind, Kind::Choice);
    EXPECT_EQ(asked[0].buttons, (QStringList{"Overwrite", "Overwrite all", "Skip", "Cancel"})) << "no Resume for a longer file";
    EXPECT_EQ(asked[1].buttons, (QStringList{"Overwrite", "Overwrite all", "Resume", "Skip", "Cancel"}));
    EXPECT_TRUE(asked[1].text.contains("b.bin")) << asked[1].text.toStdString();
    EXPECT_TRUE(asked[1].details.contains("1000 bytes") && asked[1].details.contains(QString::number(whole.size()) + " bytes"))
        << asked[1].details.toStdString();
    EXPECT_EQ(readFile(local.filePath("a.bin")), whole + "longer local copy");
    EXPECT_EQ(readFile(local.filePath("b.bin")), whole);
    EXPECT_EQ(readFile(local.filePath("c.bin")), whole);
    EXPECT_EQ(readFile(local.filePath("d.bin")), "older d");
    EXPECT_TRUE(prompter.last().text.contains("cancelled")) << prompter.last().text.toStdString();

    // Overwrite all: one question for the whole command.
    prompter.clear();
    writeFile(local.filePath("c.bin"), "older c");
    select("ListView2", {"a.bin", "c.bin", "d.bin"});
    prompter.queueChoice("Overwrite all");
    run("Command13");
    EXPECT_EQ(prompter.count(), 1) << promptTexts().toStdString();
    for (const char* name : {"a.bin", "c.bin", "d.bin"})
        EXPECT_EQ(readFile(local.filePath(name)), whole) << name;

    // Uploads ask about the server's copy the listing shows; Resume completes it.
    prompter.clear();
    writeFile(local.filePath("up.bin"), whole);
    writeFile(remote("up.bin"), whole.left(123457));
    writeFile(local.filePath("new.bin"), "new");
    reconnect();
    select("ListView1", {"new.bin", "up.bin"});
    prompter.queueChoice("Resume");
    run("Command11");
    EXPECT_EQ(prompter.count(), 1) << "only up.bin exists there: " << promptTexts().toStdString();
    EXPECT_TRUE(prompter.asked()[0].text.contains("on the server"));
    EXPECT_EQ(readFile(remote("up.bin")), whole);
    EXPECT_EQ(readFile(remote("new.bin")), "new");
}

// Encrypted resume through the window at several offsets: the result is the whole transfer's,
// compared with the cipher's own output.
TEST_P(FileCommandsTest, EncryptedResumeGivesTheWholeTransfersBytes)
{
    const QByteArray plain = QByteArray(2 * 1024 * 1024 + 333, 'p') + "tail";
    const QByteArray cipher = ciphertextOf(plain);
    acceptKey();
    for (const qint64 offset : {qint64(1), qint64(70000), qint64(1024 * 1024), qint64(plain.size() - 1)}) {
        SCOPED_TRACE(offset);
        prompter.clear();
        writeFile(remote("down.bin"), cipher);
        writeFile(local.filePath("down.bin"), plain.left(offset));
        writeFile(local.filePath("up.bin"), plain);
        writeFile(remote("up.bin"), cipher.left(offset));
        reconnect();
        acceptKey();
        select("ListView2", {"down.bin"});
        prompter.queueChoice("Resume");
        run("Command14");
        EXPECT_TRUE(readFile(local.filePath("down.bin")) == plain);
        select("ListView1", {"up.bin"});
        prompter.queueChoice("Resume");
        run("Command12");
        EXPECT_TRUE(readFile(remote("up.bin")) == cipher);
        EXPECT_EQ(prompter.count(), 2) << promptTexts().toStdString();
    }
}

// Closing the window during a transfer asks first: No keeps it going, Yes stops it as Cancel
// does (the local file stays as it was, no temporary file is left, no report box) and quits.
// The scripted server stalls the download after its first bytes, so it runs until stopped.
TEST_P(FileCommandsTest, QuittingDuringATransferAsksFirst)
{
    test::FakeFtpServer fake;
    ASSERT_TRUE(fake.start());
    writeFile(fake.rootDir() + "/stall.bin", QByteArray(100000, 's'));
    writeFile(local.filePath("stall.bin"), "the local copy");
    fake.planData("RETR", {.stallAfter = 1000});
    click("Command3");  // away from the real server
    ASSERT_TRUE(settled());
    fill(fake.host(), fake.port(), fake.user(), fake.password(), GetParam().passive);
    click("Command3");
    ASSERT_TRUE(settled());
    ASSERT_EQ(caption(), "Disconnect") << promptTexts().toStdString();
    select("ListView2", {"stall.bin"});
    prompter.queueChoice("Overwrite");
    click("Command13");
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.commands().contains("RETR stall.bin"); }, 20000));
    ASSERT_TRUE(window->fileCommands()->isRunning());

    prompter.queueAnswer(false);
    EXPECT_FALSE(window->close());
    EXPECT_EQ(prompter.last().kind, dialogs::ScriptedPrompter::Kind::Question);
    EXPECT_EQ(prompter.last().text, "A transfer is running. Stop it and quit?");
    EXPECT_TRUE(window->fileCommands()->isRunning()) << "No keeps the transfer going";

    prompter.queueAnswer(true);
    const qsizetype asked = prompter.count();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(prompter.count(), asked + 1) << "no report box while quitting: " << promptTexts().toStdString();
    EXPECT_EQ(readFile(local.filePath("stall.bin")), "the local copy");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"stall.bin"});
    window.reset();
}

INSTANTIATE_TEST_SUITE_P(Routes, FileCommandsTest,
                         ::testing::Values(RouteCase{"vsftpd", true}, RouteCase{"vsftpd", false},
                                           RouteCase{"pyftpdlib", true}, RouteCase{"pyftpdlib", false}),
                         routeName);

}  // namespace zephra::apptest
