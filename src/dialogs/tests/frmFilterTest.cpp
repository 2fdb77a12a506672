#include "dialogs/ScriptedPrompter.h"
#include "dialogs/frmFilter.h"

#include <QListWidget>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace zephra::dialogs;

TEST(frmFilter, EntriesFollowFirstOccurrence)
{
    struct Row {
        const char* name;
        QStringList names;
        QStringList entries;
    };
    const QList<Row> rows = {
        {"mixed case endings stay apart", {"a.txt", "b.TXT", "c", "d.tar.gz"}, {"*.*", ".txt", ".TXT", ".tar.gz"}},
        {"empty list", {}, {"*.*"}},
        {"duplicates once, first order kept", {"x.c", "y.h", "z.c", "w.h", "v.cpp"}, {"*.*", ".c", ".h", ".cpp"}},
        {"ending from the first dot", {"archive.tar.gz", "other.gz"}, {"*.*", ".tar.gz", ".gz"}},
        {"hidden file and trailing dot", {".profile", "name.", "noext"}, {"*.*", ".profile", "."}},
        {"a name like the all-files entry", {"odd*.*"}, {"*.*", ".*"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(frmFilter::entries(row.names), row.entries);
    }
}

TEST(frmFilter, SetNeedsASelection)
{
    ScriptedPrompter prompter;
    frmFilter dialog({"a.txt", "b.TXT"}, prompter);
    dialog.show();
    auto* list = dialog.findChild<QListWidget*>(QStringLiteral("List1"));
    auto* set = dialog.findChild<QPushButton*>(QStringLiteral("Command1"));
    ASSERT_NE(list, nullptr);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(list->count(), 3);

    set->click();
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_EQ(prompter.count(), 1);
    EXPECT_EQ(prompter.last().text, QStringLiteral("You haven't selected a Filter.'"));
    EXPECT_EQ(prompter.last().title, kAppTitle);
    EXPECT_TRUE(dialog.result().isEmpty());

    list->setCurrentRow(2);
    set->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QStringLiteral(".TXT"));
    EXPECT_EQ(prompter.count(), 1);
}

TEST(frmFilter, CancelAndCloseBoxAnswerNothing)
{
    ScriptedPrompter prompter;
    for (bool closeBox : {false, true}) {
        frmFilter dialog({"a.txt"}, prompter);
        dialog.show();
        dialog.findChild<QListWidget*>(QStringLiteral("List1"))->setCurrentRow(1);
        auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("Command2"));
        closeBox ? (void)dialog.close() : cancel->click();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_TRUE(dialog.result().isEmpty());
    }
    EXPECT_EQ(prompter.count(), 0);
}
