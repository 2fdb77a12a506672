#include "WindowFixture.h"

#include "keys/KeyPanel.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTreeView>

using namespace zephra;
using namespace zephra::apptest;

namespace {

QStringList actionNames(QMenu* menu)
{
    QStringList names;
    for (QAction* a : menu->actions())
        names.append(a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
    return names;
}

bool noticeVisible(QWidget* window)
{
    for (QDialog* d : window->findChildren<QDialog*>(QStringLiteral("frmNotice")))
        if (d->isVisible())
            return true;
    return false;
}

void settle()
{
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
}

}  // namespace

TEST_F(WindowTest, FirstStartInAnEmptyDirectoryCreatesTheDataFiles)
{
    open();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Zephra Encryption FTP 5"));
    EXPECT_EQ(window->objectName(), QStringLiteral("frmMain"));
    EXPECT_TRUE(QFileInfo::exists(file("connect.dat")));
    EXPECT_EQ(QFileInfo(file("connect.dat")).size(), 0);
    EXPECT_EQ(QFileInfo(file("key.dat")).size(), 0);
    EXPECT_EQ(readFile(file("editor.xex")), QByteArray("xdg-open\n"));
    EXPECT_EQ(window->editorPath(), QStringLiteral("xdg-open"));
    EXPECT_TRUE(QFileInfo(file("tmp")).isDir());
    EXPECT_EQ(int(QFile::permissions(file("tmp")) & 0x0077), 0);
    for (const char* page : {"overview.htm", "key.htm", "sendrecv.htm"})
        EXPECT_GT(QFileInfo(file(page)).size(), 0) << page;

    EXPECT_EQ(status(), QStringLiteral("Ready..."));
    EXPECT_TRUE(combo("cmbName")->currentText().isEmpty());
    EXPECT_EQ(combo("cmbName")->count(), 0);
    EXPECT_EQ(edit("txtPort")->text(), QStringLiteral("21"));
    EXPECT_FALSE(find<QCheckBox>("Check1")->isChecked());
    EXPECT_EQ(combo("cmbKey")->count(), 0);
    EXPECT_TRUE(edit("txtKey")->text().isEmpty());
    EXPECT_EQ(button("Command3")->text(), QStringLiteral("Connect"));
    for (const char* name : {"Command11", "Command12", "Command13", "Command14"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
    for (const char* name : {"LocalFileSendNormal", "ServerFilesSendNormal", "LocalFilesSendEncrypted",
                             "ServerFilesSendEncrypted"})
        EXPECT_FALSE(action(name)->isEnabled()) << name;
    EXPECT_TRUE(prompter.asked().isEmpty());
}

TEST_F(WindowTest, ControlsMenusAndCaptionsAreThereByName)
{
    open();
    const QList<std::pair<const char*, const char*>> buttons = {
        {"Command1", "Save"}, {"Command2", "Remove"}, {"Command3", "Connect"}, {"Command15", "Clear"},
        {"Command16", "Anonymous"}, {"Command4", "Generate Key"}, {"Command5", "Transfer Keys"},
        {"Command6", "Delete Keys"}, {"Command7", "Restore Keys"}, {"Command8", "Save"}, {"Command9", "Remove"},
        {"Command10", "Accept"}, {"Command11", "===>"}, {"Command12", "[][][][]=>"}, {"Command13", "<==="},
        {"Command14", "<=[][][][]"}};
    for (const auto& [name, caption] : buttons)
        EXPECT_EQ(button(name)->text(), QString::fromUtf8(caption)) << name;
    EXPECT_EQ(button("Command11")->toolTip(), QStringLiteral("Send File Normal"));
    EXPECT_EQ(button("Command12")->toolTip(), QStringLiteral("Send File Encrypted"));
    EXPECT_EQ(button("Command13")->toolTip(), QStringLiteral("Receive File Normal"));
    EXPECT_EQ(button("Command14")->toolTip(), QStringLiteral("Receive File Encrypted"));
    EXPECT_EQ(edit("txtPass")->echoMode(), QLineEdit::Password);
    for (const char* name : {"txtAddr", "txtUser", "Drive1", "Dir1", "File1", "ListView1", "TView1", "ListView2"})
        EXPECT_NE(window->findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
    for (const char* name : {"ListView1", "ListView2"}) {
        QAbstractItemModel* model = find<QTreeView>(name)->model();
        EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Název Souboru"));
        EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Velikost"));
        EXPECT_EQ(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Datum"));
    }

    QMenu* fle = find<QMenu>("fle");
    EXPECT_EQ(fle->title(), QStringLiteral("File"));
    EXPECT_EQ(actionNames(fle), QStringList({"fleext=Exit"}));
    QMenu* hlp = find<QMenu>("hlp");
    EXPECT_EQ(hlp->title(), QStringLiteral("Help"));
    EXPECT_EQ(actionNames(hlp), QStringList({"HelpAbout=About", "-", "HelpOverview=Overview", "hlpkey=Key Management",
                                             "hlpsend=Sending and Receiving Files"}));
    EXPECT_EQ(window->menuBar()->actions().size(), 2) << "the popup menus are not on the menu bar";
    EXPECT_EQ(actionNames(find<QMenu>("LocalDir")),
              QStringList({"LocalDirDelete=Delete Dir", "LocalDirMakeDir=Make Directory...",
                           "LocalDirRename=Rename Directory...", "-", "LocalDirExit=Exit"}));
    EXPECT_EQ(actionNames(find<QMenu>("LocalFiles")),
              QStringList({"LocalFilesDelete=Delete File(s)", "LocalFileEdit=Edit...", "LocalFileFilter=Filter...",
                           "LocalFileRename=Rename...", "LocalFileSendNormal=Upload File Normal",
                           "LocalFilesSendEncrypted=Upload File Encrypted", "LocalFileView=View", "-",
                           "LocalFilesExit=Exit"}));
    EXPECT_EQ(actionNames(find<QMenu>("ServerDir")),
              QStringList({"ServerDirMakeDir=Make Directory", "ServerDirDelete=Delete Dir...",
                           "ServerDirRename=Rename Dir...", "-", "ServerDirExit=Exit"}));
    EXPECT_EQ(actionNames(find<QMenu>("ServerFiles")),
              QStringList({"ServerFilesDelete=Delete File(s)", "ServerFilesEdit=Edit...",
                           "ServerFilesFilter=Filter...", "ServerFilesRename=Rename...",
                           "ServerFilesSendNormal=Download File Normal",
                           "ServerFilesSendEncrypted=Download File Encrypted", "ServerFilesView=View", "-",
                           "ServerFilesExit=Exit"}));
}

TEST_F(WindowTest, EditorSettingIsReadNotRewritten)
{
    writeFile(file("editor.xex"), "gedit --new-window\r\nsecond line\r\n");
    open();
    EXPECT_EQ(window->editorPath(), QStringLiteral("gedit --new-window"));
    closeWindow();

    // A first line that is empty is kept: the default is written only into an empty file.
    writeFile(file("editor.xex"), "\r\nnotused\r\n");
    open();
    EXPECT_EQ(window->editorPath(), QString());
    EXPECT_EQ(readFile(file("editor.xex")), QByteArray("\r\nnotused\r\n"));
}

TEST_F(WindowTest, NoticeIsShownOncePerRunUntilTicked)
{
    open().show();
    QDialog* notice = waitForDialog("frmNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->windowTitle(), QStringLiteral("Important Notice"));
    EXPECT_EQ(QFileInfo(file("opt.dne")).size(), 0) << "the check leaves an empty marker";
    notice->close();

    // Later activations in the same run never show it again.
    window->hide();
    window->show();
    window->activateWindow();
    QApplication::setActiveWindow(window.get());
    settle();
    EXPECT_FALSE(noticeVisible(window.get()));
    closeWindow();

    open().show();  // next run: the empty marker asks again
    notice = waitForDialog("frmNotice");
    ASSERT_NE(notice, nullptr);
    notice->findChild<QCheckBox*>(QStringLiteral("Check1"))->setChecked(true);
    notice->close();
    EXPECT_EQ(readFile(file("opt.dne")), QByteArray("Done\r\n"));
    closeWindow();

    open().show();
    settle();
    EXPECT_FALSE(noticeVisible(window.get()));
}

TEST_F(WindowTest, BrowsersGrowWithTheWindow)
{
    open().resize(800, 560);
    window->show();
    settle();
    const int localBefore = find<QWidget>("ListView1")->width();
    const int serverBefore = find<QWidget>("ListView2")->width();
    window->resize(1400, 900);
    settle();
    EXPECT_GT(find<QWidget>("ListView1")->width(), localBefore + 100);
    EXPECT_GT(find<QWidget>("ListView2")->width(), serverBefore + 100);
    auto x = [this](const char* name) { return find<QWidget>(name)->mapTo(window.get(), QPoint(0, 0)).x(); };
    EXPECT_LT(x("fraLocal"), x("fraTransfer"));
    EXPECT_LT(x("fraTransfer"), x("fraServer"));
}
