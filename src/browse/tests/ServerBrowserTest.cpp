#include <gtest/gtest.h>

#include <QAction>
#include <QFont>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include "ServerBrowserFixture.h"
#include "TestUtil.h"
#include "browse/ServerBrowser.h"
#include "browse/ServerListing.h"

using namespace zephra::browse;
using zephra::browse::testing::child;
using zephra::browse::testing::clickHeader;
using zephra::browse::testing::column0;
using zephra::browse::testing::ServerBrowserTest;

namespace {

QStringList treeTexts(const ServerBrowser& b) { return column0(b.dirModel()); }

QStringList listTexts(const ServerBrowser& b) { return column0(b.fileModel()); }

// Lines as real servers send them.
const QByteArray kMixedListing =
    "total 24\r\n"
    "drwxr-xr-x    2 1000     1000         4096 Jan 01 12:00 docs\r\n"                 // vsftpd
    "drwxr-xr-x    3 0        0            4096 Mar 05  2020 .\r\n"
    "drwxr-xr-x    3 0        0            4096 Mar 05  2020 ..\r\n"
    "-rw-r--r--    1 1000     1000           10 Jan 01  2020 notes.TXT\r\n"
    "-rw-r--r--   1 user     group     1048576 Mar 05 09:30 my  file.txt\r\n"        // pyftpdlib
    "lrwxrwxrwx   1 user     group           7 Mar 05 09:30 latest -> my  file.txt\r\n"
    "drwxr-xr-x    2 1000       1000             4096 Dec  6 08:00 pub files\r\n"     // pure-ftpd
    "01-31-24  10:00AM       <DIR>          Program Files\r\n"                          // IIS
    "01-31-24  01:15PM                 1234 report 2024.doc\r\n"
    "type=file;size=5;modify=20240101120000; mlsd file.txt\r\n"                      // MLSD
    "type=dir;modify=20240101120000; mlsd dir\r\n"
    "type=cdir;modify=20240101120000; /home/user\r\n"
    "this line is no entry\r\n";

}  // namespace

TEST(ServerListing, RealServerLinesGiveNamesSizesAndDates)
{
    const ServerListing l = buildServerListing(kMixedListing, {}, QDate(2026, 12, 6));
    QStringList dirs;
    for (const auto& d : l.directories)
        dirs << d.name;
    EXPECT_EQ(dirs, QStringList({"docs", "pub files", "Program Files", "mlsd dir"}));
    ASSERT_EQ(l.files.size(), 6u);
    EXPECT_EQ(l.files[0].name, "notes.TXT");
    EXPECT_EQ(l.files[0].icon, 3);
    EXPECT_EQ(formatWallClock(l.files[0].modified), "2020-01-01 00:00");
    EXPECT_EQ(l.files[1].name, "my  file.txt");  // blanks inside names survive
    EXPECT_EQ(l.files[1].size, 1048576);
    EXPECT_EQ(formatWallClock(l.files[1].modified), "2026-03-05 09:30");
    EXPECT_EQ(l.files[2].name, "latest");        // "name -> target" gives the name
    EXPECT_TRUE(l.files[2].isLink);
    EXPECT_EQ(l.files[2].linkTarget, "my  file.txt");
    EXPECT_EQ(l.files[3].name, "report 2024.doc");
    EXPECT_EQ(l.files[3].size, 1234);
    EXPECT_EQ(formatWallClock(l.files[3].modified), "2024-01-31 13:15");
    EXPECT_EQ(l.files[4].name, "mlsd file.txt");
    EXPECT_EQ(l.files[4].size, 5);
    // A line of no known shape is kept, marked (guards it vanishing).
    EXPECT_EQ(l.files[5].name, "entry");
    EXPECT_TRUE(l.files[5].guessed);
    EXPECT_FALSE(l.files[0].guessed || l.files[2].guessed || l.files[4].guessed);
}

// An exact UTC time (MLSD, a date with its zone) is shown in local time; a LIST date without a
// zone as the server wrote it.
TEST(ServerListing, ExactTimesShowInLocalTime)
{
    const QByteArray oldZone = qgetenv("TZ");
    qputenv("TZ", "XYZ-3");  // three hours east of UTC, no summer time
    const QByteArray listing = "type=file;size=1;modify=20240101120000; mlsd\r\n"
                               "-rw-r--r-- 1 u g 1 2024-01-01 12:00:00.000000000 +0100 full-iso\r\n"
                               "-rw-r--r-- 1 u g 1 Jan 01 2024 list\r\n";
    const ServerListing l = buildServerListing(listing);
    if (oldZone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldZone);
    ASSERT_EQ(l.files.size(), 3u);
    EXPECT_EQ(formatWallClock(l.files[0].modified), "2024-01-01 15:00");
    EXPECT_EQ(formatWallClock(l.files[1].modified), "2024-01-01 14:00");
    EXPECT_EQ(formatWallClock(l.files[2].modified), "2024-01-01 00:00");
}

TEST(ServerListing, FilterKeepsNameEndingsCaseSensitively)
{
    const QByteArray listing = "- a.txt\r\n- A.TXT\r\n- b.gif\r\nd dir.txt\r\nd other\r\n";
    const ServerListing txt = buildServerListing(listing, ".txt");
    ASSERT_EQ(txt.files.size(), 1u);
    EXPECT_EQ(txt.files[0].name, "a.txt");
    EXPECT_EQ(txt.directories.size(), 2u);  // directories are never filtered
    EXPECT_EQ(buildServerListing(listing, "*.*").files.size(), 3u);
    EXPECT_EQ(buildServerListing(listing, "").files.size(), 3u);
    // A link is filtered by its name, not by the target at the end of its line.
    const QByteArray link = "lrwxrwxrwx 1 u g 7 Mar 05 09:30 current.log -> old.txt\n";
    EXPECT_EQ(buildServerListing(link, ".txt").files.size(), 0u);
    EXPECT_EQ(buildServerListing(link, ".log").files.size(), 1u);
}

TEST(ServerListing, HostileNamesAreFlagged)
{
    const QByteArray listing =
        "-rw-r--r-- 1 u g 10 Jan 1 12:00 ../../etc/passwd\n"
        "- a\\b.txt\n"
        "- bad\x01name\n"
        "- fine.txt\n"
        "d sub/dir\n"
        "drwxr-xr-x 2 u g 512 Jan 1 12:00 ok dir\n";
    const ServerListing l = buildServerListing(listing);
    ASSERT_EQ(l.files.size(), 4u);
    EXPECT_FALSE(l.files[0].offered);
    EXPECT_FALSE(l.files[1].offered);
    EXPECT_FALSE(l.files[2].offered);
    EXPECT_TRUE(l.files[3].offered);
    ASSERT_EQ(l.directories.size(), 2u);
    EXPECT_FALSE(l.directories[0].offered);
    EXPECT_TRUE(l.directories[1].offered);
}

TEST_F(ServerBrowserTest, FillsTreeAndList)
{
    browser.loadServerData("");
    EXPECT_EQ(treeTexts(browser), QStringList({".."}));
    EXPECT_EQ(list->model()->rowCount(), 0);

    browser.loadServerData("d pub\r\n- a.txt\r\n- b.gif\r\n");
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "pub"}));
    EXPECT_EQ(listTexts(browser), QStringList({"a.txt", "b.gif"}));
    EXPECT_EQ(list->model()->index(0, 0).data(FileListModel::IconIndexRole).toInt(), 3);
    EXPECT_EQ(list->model()->index(1, 0).data(FileListModel::IconIndexRole).toInt(), 4);

    // The server's own "." and ".." add no node.
    browser.loadServerData(kMixedListing);
    EXPECT_EQ(treeTexts(browser), QStringList({"..", "docs", "pub files", "Program Files", "mlsd dir"}));

    browser.clear();  // a closed session shows nothing at all
    EXPECT_EQ(tree->model()->rowCount(), 0);
    EXPECT_EQ(list->model()->rowCount(), 0);
}

TEST_F(ServerBrowserTest, TreeClicksReportTheDirectory)
{
    browser.loadServerData("d pub\nd sub/evil\n- a\n");
    QSignalSpy spy(&browser, &ServerBrowser::directoryClicked);
    auto click = [&](int row) {
        const QRect r = tree->visualRect(tree->model()->index(row, 0));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, r.center());
    };
    click(1);
    click(0);
    click(2);  // a hostile name is greyed and does nothing
    tree->setCurrentIndex(tree->model()->index(1, 0));
    QTest::keyClick(tree, Qt::Key_Return);
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy[2][0].toString(), "pub");
    EXPECT_EQ(spy[0][0].toString(), "pub");
    EXPECT_EQ(spy[1][0].toString(), "/");
    EXPECT_EQ(spy[1][1].toByteArray(), "/");
}

// Guards: commands re-encoded the shown name as UTF-8, so a Latin-1 name could not be used.
TEST_F(ServerBrowserTest, RowsKeepTheServersBytesForCommands)
{
    browser.loadServerData("drwxr-xr-x 2 u g 4096 Jan 01 2020 r\xe9sum\xe9s\n"
                           "type=dir;modify=20240101120000; docs\n"
                           "-rw-r--r-- 1 u g 3 Jan 01 2020 caf\xe9.txt\n"
                           "type=file;size=5; na\xc3\xafve.txt\n");
    EXPECT_EQ(treeTexts(browser), QStringList({"..", QString::fromUtf8("r\xc3\xa9sum\xc3\xa9s"), "docs"}));
    EXPECT_EQ(listTexts(browser), QStringList({QString::fromUtf8("caf\xc3\xa9.txt"), QString::fromUtf8("na\xc3\xafve.txt")}));
    list->selectAll();
    EXPECT_EQ(browser.selectedRawNames(), QList<QByteArray>({"caf\xe9.txt", "na\xc3\xafve.txt"}));
    EXPECT_EQ(browser.selectedFiles()[0].rawName, QByteArray("caf\xe9.txt"));
    EXPECT_EQ(browser.directoryNodes()[0].rawName, QByteArray("r\xe9sum\xe9s"));
    EXPECT_EQ(tree->model()->index(1, 0).data(ServerDirModel::RawNameRole).toByteArray(), QByteArray("r\xe9sum\xe9s"));
    EXPECT_EQ(list->model()->index(0, 0).data(FileListModel::RawNameRole).toByteArray(), QByteArray("caf\xe9.txt"));

    QSignalSpy spy(&browser, &ServerBrowser::directoryClicked);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(tree->model()->index(1, 0)).center());
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][1].toByteArray(), QByteArray("r\xe9sum\xe9s"));
    EXPECT_FALSE(spy[0][2].toBool());
}

// Guards: a link was an ordinary file, so a link to a directory could not be entered.
TEST_F(ServerBrowserTest, LinksAreMarkedAndADoubleClickTriesThemAsDirectories)
{
    browser.loadServerData("lrwxrwxrwx 1 u g 8 Jan 01 2020 to dir -> real dir\n"
                           "-rw-r--r-- 1 u g 3 Jan 01 2020 plain.txt\n"
                           "type=OS.unix=slink:/srv;modify=20240101120000; srv\n"
                           "a shape nobody knows  guessed.txt\n");
    EXPECT_EQ(listTexts(browser), QStringList({"to dir", "plain.txt", "srv", "guessed.txt"}));
    const QAbstractItemModel* m = list->model();
    EXPECT_TRUE(m->index(0, 0).data(FileListModel::IsLinkRole).toBool());
    EXPECT_EQ(m->index(0, 0).data(FileListModel::LinkTargetRole).toString(), "real dir");
    EXPECT_TRUE(m->index(0, 0).data(Qt::ToolTipRole).toString().contains("real dir"));
    EXPECT_TRUE(m->index(0, 0).data(Qt::FontRole).value<QFont>().underline());
    EXPECT_FALSE(m->index(1, 0).data(FileListModel::IsLinkRole).toBool());
    EXPECT_TRUE(m->index(2, 0).data(FileListModel::IsLinkRole).toBool());
    // A line of no known shape is shown, in italics, and says why.
    EXPECT_TRUE(m->index(3, 0).data(FileListModel::GuessedRole).toBool());
    EXPECT_TRUE(m->index(3, 0).data(Qt::FontRole).value<QFont>().italic());
    EXPECT_FALSE(m->index(3, 0).data(Qt::ToolTipRole).toString().isEmpty());

    QSignalSpy spy(&browser, &ServerBrowser::directoryClicked);
    const auto doubleClick = [&](int row) {
        // The view acts on a double click only over the row the press went to, as a user's does.
        const QPoint at = list->visualRect(m->index(row, 0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    };
    doubleClick(1);  // a file is no directory
    doubleClick(0);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].toString(), "to dir");
    EXPECT_EQ(spy[0][1].toByteArray(), QByteArray("to dir"));
    EXPECT_TRUE(spy[0][2].toBool());
    list->selectAll();
    EXPECT_TRUE(browser.selectedFiles()[0].isLink);
}

TEST_F(ServerBrowserTest, HostileFilesCannotBeSelected)
{
    browser.loadServerData("- ok1\n- ../x\n- ok2\n- a\x1b[31m\n");
    list->selectAll();
    const auto selected = browser.selectedFiles();
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0].name, "ok1");
    EXPECT_EQ(selected[1].name, "ok2");
}

TEST_F(ServerBrowserTest, HeaderClicksSortAndSelectionReadsTopDown)
{
    browser.loadServerData(
        "-rw-r--r-- 1 u g 100 Jan 01 2020 b.txt\n"
        "-rw-r--r-- 1 u g 9 Jan 01 2021 c.txt\n"
        "-rw-r--r-- 1 u g 20 Jan 01 2019 a.txt\n");
    // Listing order first; a second click on a header turns the order (each column's order is
    // checked with the model).
    EXPECT_EQ(listTexts(browser), QStringList({"b.txt", "c.txt", "a.txt"}));
    clickHeader(list, FileListModel::SizeColumn);
    EXPECT_EQ(listTexts(browser), QStringList({"c.txt", "a.txt", "b.txt"}));
    clickHeader(list, FileListModel::SizeColumn);
    EXPECT_EQ(listTexts(browser), QStringList({"b.txt", "a.txt", "c.txt"}));
    clickHeader(list, FileListModel::NameColumn);
    EXPECT_EQ(listTexts(browser), QStringList({"a.txt", "b.txt", "c.txt"}));

    list->selectAll();
    const auto selected = browser.selectedFiles();
    ASSERT_EQ(selected.size(), 3u);
    EXPECT_EQ(selected[0].name, "a.txt");
    EXPECT_EQ(selected[2].name, "c.txt");
    // A refresh keeps the column the user chose (new rows are sorted by it).
    browser.loadServerFiles("- z\n- y\n");
    EXPECT_EQ(listTexts(browser), QStringList({"y", "z"}));
}

TEST_F(ServerBrowserTest, PopupMenusOpenOnlyWithContent)
{
    EXPECT_EQ(child<QMenu>(&browser, "ServerFiles"), browser.filesMenu());

    browser.loadServerData("d pub\n");
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_FALSE(browser.filesMenu()->isVisible());  // no file: no popup
    emit tree->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(browser.dirMenu()->isVisible());
    browser.dirMenu()->hide();

    browser.loadServerData("- a\n");
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(browser.filesMenu()->isVisible());
    browser.filesMenu()->hide();
}
