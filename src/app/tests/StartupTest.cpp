#include "WindowFixture.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QMenuBar>

using namespace zephra;
using namespace zephra::apptest;

namespace {

bool noticeVisible(QWidget* window)
{
    for (QDialog* d : window->findChildren<QDialog*>(QStringLiteral("frmNotice")))
        if (d->isVisible())
            return true;
    return false;
}

}  // namespace

TEST_F(WindowTest, FirstStartInAnEmptyDirectoryCreatesTheDataFiles)
{
    open();
    EXPECT_TRUE(QFileInfo::exists(file("connect.dat")));
    EXPECT_EQ(QFileInfo(file("connect.dat")).size(), 0);
    EXPECT_EQ(int(QFile::permissions(file("connect.dat")) & 0x0077), 0);
    EXPECT_EQ(QFileInfo(file("key.dat")).size(), 0);
    EXPECT_EQ(readFile(file("editor.xex")), QByteArray("xdg-open\n"));
    EXPECT_EQ(window->editorPath(), QStringLiteral("xdg-open"));
    EXPECT_TRUE(QFileInfo(file("tmp")).isDir());
    EXPECT_EQ(int(QFile::permissions(file("tmp")) & 0x0077), 0);
    // The help pages it installs are opened from the Help menu (HelpShutdownTest).

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
    EXPECT_EQ(edit("txtPass")->echoMode(), QLineEdit::Password);
    // File, View (the log and transfer panes) and Help are on the menu bar; the browsers' popup
    // menus are not.
    QStringList menus;
    for (const QAction* a : window->menuBar()->actions())
        menus << a->text().remove(QLatin1Char('&'));
    EXPECT_EQ(menus, (QStringList{"File", "View", "Help"}));
    EXPECT_TRUE(prompter.asked().isEmpty());
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

// The marker file itself (empty asks again, ticked writes "Done") is checked with frmNotice.
TEST_F(WindowTest, NoticeIsShownOncePerRun)
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

// Guards the connection fields being capped at the record widths (a 21-character password
// could not be typed); the key fields hold exactly what their store holds.
TEST_F(WindowTest, FieldsTakeLongValuesUpToTheirLimits)
{
    open();
    const QString longText(300, u'1');
    const QList<std::pair<const char*, int>> combos = {{"cmbName", 255}, {"cmbKey", 40}};
    for (const auto& [name, width] : combos) {
        typeCombo(name, longText);
        EXPECT_EQ(combo(name)->currentText().size(), width) << name;
    }
    const QList<std::pair<const char*, int>> edits = {
        {"txtAddr", 255}, {"txtUser", 255}, {"txtPass", 255}, {"txtPort", 5}, {"txtKey", 18}};
    for (const auto& [name, width] : edits) {
        type(name, longText);
        EXPECT_EQ(edit(name)->text().size(), width) << name;
    }
}
