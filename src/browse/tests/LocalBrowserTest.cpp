#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTest>
#include <QTreeView>

#include "TestUtil.h"
#include "browse/LocalBrowser.h"
#include "dialogs/ScriptedPrompter.h"

using namespace zephra::browse;
using zephra::browse::testing::child;
using zephra::browse::testing::column0;
using zephra::browse::testing::readFile;
using zephra::browse::testing::whenModalShows;
using zephra::browse::testing::writeFile;
using zephra::dialogs::ScriptedPrompter;

namespace {

QStringList rowNames(const LocalBrowser& b) { return column0(b.fileModel()); }

// Answers a frmNewName with `text` (Ok), or cancels it when `text` is empty.
void answer(frmNewName* d, const QString& text)
{
    if (!text.isEmpty())
        QTest::keyClicks(child<QLineEdit>(d, "Text1"), text);
    QTest::mouseClick(child<QPushButton>(d, text.isEmpty() ? "Command2" : "Command1"), Qt::LeftButton);
}

std::shared_ptr<bool> answerName(const QString& text)
{
    return whenModalShows<frmNewName>([text](frmNewName* d) { answer(d, text); });
}

class LocalBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        root = QFileInfo(tmp.path()).canonicalFilePath();
        ASSERT_TRUE(QDir(root).mkpath("data/old"));
        ASSERT_TRUE(QDir(root).mkpath("data/full/inner"));
        ASSERT_TRUE(writeFile(root + "/data/b.txt", "bb"));
        ASSERT_TRUE(writeFile(root + "/data/a.txt", "a"));
        ASSERT_TRUE(writeFile(root + "/data/B.TXT", "BBBB"));
        ASSERT_TRUE(writeFile(root + "/data/pic.gif", "gif"));
        ASSERT_TRUE(writeFile(root + "/data/.hidden", "h"));
        browser = std::make_unique<LocalBrowser>(prompter, root + "/data");
        browser->resize(900, 600);
        browser->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(browser.get()));
        dir1 = child<QTreeView>(browser.get(), "Dir1");
        list = child<QTreeView>(browser.get(), "ListView1");
        ASSERT_TRUE(dir1 && list);
    }
    QString data(const QString& name = {}) const
    {
        return name.isEmpty() ? root + "/data" : root + "/data/" + name;
    }
    void highlight(const QString& path)
    {
        auto* model = qobject_cast<QFileSystemModel*>(dir1->model());
        dir1->setCurrentIndex(model->index(path));
    }
    void selectRows(const QStringList& names)
    {
        list->clearSelection();
        for (int r = 0; r < list->model()->rowCount(); ++r) {
            if (names.contains(list->model()->index(r, 0).data().toString()))
                list->selectionModel()->select(list->model()->index(r, 0),
                                               QItemSelectionModel::Select
                                                   | QItemSelectionModel::Rows);
        }
    }
    QAction* action(const char* name) { return child<QAction>(browser.get(), name); }

    QTemporaryDir tmp;
    QString root;
    ScriptedPrompter prompter;
    std::unique_ptr<LocalBrowser> browser;
    QTreeView* dir1 = nullptr;
    QTreeView* list = nullptr;
};

}  // namespace

TEST_F(LocalBrowserTest, ControlsAndMenus)
{
    auto* drives = child<QComboBox>(browser.get(), "Drive1");
    ASSERT_TRUE(drives);
    EXPECT_EQ(drives->currentData().toString(), QStorageInfo(root).rootPath());
    // Choosing a volume opens its root; the tree follows any path back to its volume.
    emit drives->activated(drives->currentIndex());
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(QStorageInfo(root).rootPath()));
    ASSERT_TRUE(browser->setPath(data()));
    EXPECT_EQ(drives->currentData().toString(), QStorageInfo(root).rootPath());
    EXPECT_TRUE(child<QListView>(browser.get(), "File1"));
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(browser->filesMenu()->isVisible());
    browser->filesMenu()->hide();
    ASSERT_TRUE(browser->setPath(data("old")));  // no file: no popup
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_FALSE(browser->filesMenu()->isVisible());
    emit dir1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(browser->dirMenu()->isVisible());
    browser->dirMenu()->hide();
}

TEST_F(LocalBrowserTest, ListShowsTheDirectorysFilesWithSizeAndDate)
{
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data()));
    // Files only, no hidden ones, in the platform's name order.
    EXPECT_EQ(rowNames(*browser), QStringList({"a.txt", "b.txt", "B.TXT", "pic.gif"}));
    const QAbstractItemModel* m = list->model();
    EXPECT_EQ(m->index(2, 1).data(FileListModel::SizeRole).toLongLong(), 4);
    EXPECT_EQ(m->index(2, 2).data().toString(),
              QFileInfo(data("B.TXT")).lastModified().toString("yyyy-MM-dd HH:mm"));
    EXPECT_EQ(m->index(3, 0).data(FileListModel::IconIndexRole).toInt(), 4);
    // File1 lists the same names.
    EXPECT_EQ(child<QListView>(browser.get(), "File1")->model()->rowCount(), 4);

    zephra::browse::testing::clickHeader(list, FileListModel::SizeColumn);
    EXPECT_EQ(rowNames(*browser), QStringList({"a.txt", "b.txt", "pic.gif", "B.TXT"}));
}

TEST_F(LocalBrowserTest, FilterAndFilePaths)
{
    browser->loadLocalFiles(".txt");
    EXPECT_EQ(rowNames(*browser), QStringList({"a.txt", "b.txt"}));
    browser->loadLocalFiles("*.*");
    EXPECT_EQ(rowNames(*browser).size(), 4);

    selectRows({"pic.gif", "a.txt"});
    EXPECT_EQ(browser->selectedFilePaths(),
              QStringList({QDir::toNativeSeparators(data("a.txt")),
                           QDir::toNativeSeparators(data("pic.gif"))}));
    // A refill leaves nothing selected.
    browser->loadLocalFiles();
    EXPECT_TRUE(browser->selectedFilePaths().isEmpty());
}

TEST_F(LocalBrowserTest, OpeningADirectoryInDir1RefillsTheList)
{
    ASSERT_TRUE(writeFile(data("old/inside.txt"), "i"));
    QSignalSpy spy(browser.get(), &LocalBrowser::pathChanged);
    auto* model = qobject_cast<QFileSystemModel*>(dir1->model());
    const QModelIndex old = model->index(data("old"));
    ASSERT_TRUE(old.isValid());
    dir1->scrollTo(old);
    const QRect r = dir1->visualRect(old);
    // A single click only highlights.
    QTest::mouseClick(dir1->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(browser->highlightedDirectory(), QDir::toNativeSeparators(data("old")));
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data()));
    QTest::keyClick(dir1, Qt::Key_Return);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data("old")));
    EXPECT_EQ(rowNames(*browser), QStringList({"inside.txt"}));
    EXPECT_FALSE(browser->setPath(data("a.txt")));  // not a directory: nothing changes
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data("old")));

    // A directory that cannot be opened says why and nothing moves.
    auto* model2 = qobject_cast<QFileSystemModel*>(dir1->model());
    ASSERT_TRUE(QDir(data()).rmdir("full/inner"));
    const QModelIndex gone = model2->index(data("full"));
    ASSERT_TRUE(QDir(data()).rmdir("full"));
    emit dir1->activated(gone);
    EXPECT_EQ(prompter.last().text, "There was the error - " + QDir::toNativeSeparators(data("full"))
                                        + ": No such file or directory");
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data("old")));
}

TEST_F(LocalBrowserTest, DirectoryMenuItems)
{
    // Make: the new directory opens, its empty list shows; an empty answer does nothing.
    highlight(data());
    auto answered = answerName("x");
    action("LocalDirMakeDir")->trigger();
    ASSERT_TRUE(*answered);
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data("x")));
    EXPECT_EQ(browser->fileModel()->rowCount(), 0);
    answered = answerName("");
    action("LocalDirMakeDir")->trigger();
    ASSERT_TRUE(*answered);
    EXPECT_EQ(prompter.count(), 0);

    // Rename the highlighted directory beside itself; renaming the open one follows it.
    ASSERT_TRUE(browser->setPath(data()));
    highlight(data("old"));
    answered = answerName("new");
    action("LocalDirRename")->trigger();
    ASSERT_TRUE(*answered);
    EXPECT_TRUE(QFileInfo(data("new")).isDir());
    EXPECT_FALSE(QFileInfo::exists(data("old")));
    ASSERT_TRUE(browser->setPath(data("new")));
    answered = answerName("newer");
    action("LocalDirRename")->trigger();
    ASSERT_TRUE(*answered);
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data("newer")));

    // Delete: removing the open directory goes up (refusals are checked with the file operations).
    ASSERT_TRUE(browser->setPath(data("newer")));
    prompter.queueAnswer(true);
    action("LocalDirDelete")->trigger();
    EXPECT_FALSE(QFileInfo::exists(data("newer")));
    EXPECT_EQ(browser->path(), QDir::toNativeSeparators(data()));
    EXPECT_EQ(rowNames(*browser).size(), 4);
}

TEST_F(LocalBrowserTest, DeleteFiles)
{
    selectRows({"a.txt", "pic.gif"});
    prompter.queueAnswer(false);
    action("LocalFilesDelete")->trigger();
    EXPECT_TRUE(QFileInfo::exists(data("a.txt")));
    EXPECT_EQ(browser->selectedFilePaths().size(), 2);  // no refill after No

    prompter.queueAnswer(true);
    action("LocalFilesDelete")->trigger();
    EXPECT_FALSE(QFileInfo::exists(data("a.txt")));
    EXPECT_FALSE(QFileInfo::exists(data("pic.gif")));
    EXPECT_EQ(rowNames(*browser), QStringList({"b.txt", "B.TXT"}));
}

TEST_F(LocalBrowserTest, RenameFilesAsksOncePerFile)
{
    // The first is cancelled, the second renamed, the third would replace a file and is refused.
    selectRows({"a.txt", "b.txt", "pic.gif"});
    const QStringList answers = {"", "c.txt", "B.TXT"};
    auto asked = zephra::browse::testing::whenModalsShow<frmNewName>(
        3, [&answers](frmNewName* d, int n) { answer(d, answers[n]); });
    action("LocalFileRename")->trigger();
    EXPECT_EQ(*asked, 3);
    EXPECT_EQ(readFile(data("a.txt")), "a");
    EXPECT_EQ(readFile(data("c.txt")), "bb");
    EXPECT_EQ(readFile(data("B.TXT")), "BBBB");
    EXPECT_EQ(readFile(data("pic.gif")), "gif");
    EXPECT_EQ(prompter.last().text, "There was the error - File exists");
    EXPECT_EQ(rowNames(*browser), QStringList({"a.txt", "B.TXT", "c.txt", "pic.gif"}));
}
