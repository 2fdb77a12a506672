#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "TestUtil.h"
#include "browse/ServerBrowser.h"
#include "browse/frmNewName.h"
#include "browse/frmServerDelRen.h"
#include "dialogs/ScriptedPrompter.h"

using namespace zephra::browse;
using zephra::browse::testing::child;
using zephra::browse::testing::whenModalShows;
using zephra::dialogs::ScriptedPrompter;

// Ok and Cancel are driven through the browsers' menu items; here Return answers and the text
// comes back exactly as typed, blanks and colons included.
TEST(frmNewName, ReturnAnswersAsTyped)
{
    auto typed = whenModalShows<frmNewName>([](frmNewName* d) {
        QTest::keyClicks(child<QLineEdit>(d, "Text1"), " new: name ");
        QTest::keyClick(child<QLineEdit>(d, "Text1"), Qt::Key_Return);
    });
    EXPECT_EQ(frmNewName::ask(nullptr, NameMode::NewFile), " new: name ");
    EXPECT_TRUE(*typed);
}

namespace {

std::vector<ServerDirectory> treeDirectories(const QByteArray& listing)
{
    ServerBrowser browser;
    browser.loadServerData(listing);
    return browser.directoryNodes();
}

QStringList listTexts(QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

}  // namespace

TEST(frmServerDelRen, DeleteModeOffersTheTreeWithoutParent)
{
    ScriptedPrompter prompter;
    frmServerDelRen d(DelRenMode::Delete, treeDirectories("d pub\nd a:b\n- f\n"), prompter);
    EXPECT_TRUE(child<QLabel>(&d, "Label1")->isHidden());
    EXPECT_TRUE(child<QLineEdit>(&d, "Text1")->isHidden());
    EXPECT_EQ(listTexts(child<QListWidget>(&d, "List1")), QStringList({"pub", "a:b"}));

    frmServerDelRen empty(DelRenMode::Delete, treeDirectories(""), prompter);
    EXPECT_EQ(child<QListWidget>(&empty, "List1")->count(), 0);
}

TEST(frmServerDelRen, OkNeedsASelectionAndInRenameModeANameFirst)
{
    ScriptedPrompter prompter;
    frmServerDelRen d(DelRenMode::Rename, treeDirectories("d old\nd other\n"), prompter);
    d.show();
    auto* ok = child<QPushButton>(&d, "Command1");
    auto* list = child<QListWidget>(&d, "List1");
    auto* text = child<QLineEdit>(&d, "Text1");

    QTest::mouseClick(ok, Qt::LeftButton);  // neither: the missing name is named first
    EXPECT_EQ(prompter.last().text, "You need to define the new name.");
    list->setCurrentRow(1);
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(prompter.last().text, "You need to define the new name.");
    list->clearSelection();
    QTest::keyClicks(text, "new");
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(prompter.last().text, "You must select the Directory.");
    EXPECT_EQ(prompter.last().title, "ZephraFTP");
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(d.answer().accepted);
}

TEST(frmServerDelRen, RenameAnswerKeepsColonsInBothNames)
{
    // Guards against one "old:new" text that cannot carry a ":" in the old name.
    ScriptedPrompter prompter;
    auto done = whenModalShows<frmServerDelRen>([](frmServerDelRen* d) {
        child<QListWidget>(d, "List1")->setCurrentRow(1);
        QTest::keyClicks(child<QLineEdit>(d, "Text1"), "c:d");
        QTest::mouseClick(child<QPushButton>(d, "Command1"), Qt::LeftButton);
    });
    const DelRenAnswer a = frmServerDelRen::ask(nullptr, DelRenMode::Rename,
                                                treeDirectories("d pub\nd a:b\n"), prompter);
    ASSERT_TRUE(*done);
    EXPECT_TRUE(a.accepted);
    EXPECT_EQ(a.oldName, "a:b");
    EXPECT_EQ(a.rawOldName, "a:b");
    EXPECT_EQ(a.newName, "c:d");
    EXPECT_EQ(prompter.count(), 0);
}

TEST(frmServerDelRen, CancelAndHostileNames)
{
    ScriptedPrompter prompter;
    auto done = whenModalShows<frmServerDelRen>([](frmServerDelRen* d) {
        child<QListWidget>(d, "List1")->setCurrentRow(0);
        QTest::mouseClick(child<QPushButton>(d, "Command2"), Qt::LeftButton);
    });
    EXPECT_FALSE(frmServerDelRen::ask(nullptr, DelRenMode::Delete, treeDirectories("d pub\n"),
                                      prompter)
                     .accepted);
    EXPECT_TRUE(*done);

    frmServerDelRen d(DelRenMode::Delete, treeDirectories("d ../up\nd fine\n"), prompter);
    auto* list = child<QListWidget>(&d, "List1");
    EXPECT_EQ(list->item(0)->flags(), Qt::NoItemFlags);
    EXPECT_TRUE(list->item(1)->flags() & Qt::ItemIsSelectable);
}
