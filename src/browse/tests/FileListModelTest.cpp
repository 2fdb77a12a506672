#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>

#include "TestUtil.h"
#include "browse/FileListModel.h"

using namespace zephra::browse;

namespace {

FileRow makeRow(const QString& name, qint64 size, qint64 modified, bool offered = true)
{
    FileRow r;
    r.name = name;
    r.rawName = name.toUtf8();
    r.size = size;
    r.modified = modified;
    r.icon = GetFileIcon(name);
    r.offered = offered;
    return r;
}

QStringList names(const FileListModel& m) { return zephra::browse::testing::column0(&m); }

class FileListModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.setRows({makeRow("b.txt", 10, 300), makeRow("A.gif", 9, 100),
                       makeRow("c.zip", 1000, 200), makeRow("a.txt", -1, -1)});
    }
    FileListModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Warning};
};

}  // namespace

TEST_F(FileListModelTest, ColumnsAndCells)
{
    ASSERT_EQ(model.columnCount(), 3);
    // Listing order until a sort is asked for.
    EXPECT_EQ(names(model), QStringList({"b.txt", "A.gif", "c.zip", "a.txt"}));
    EXPECT_EQ(model.index(2, 1).data().toString(), formatSize(1000));
    EXPECT_EQ(model.index(3, 1).data().toString(), QString());  // size not known stays empty
    EXPECT_EQ(model.index(3, 2).data().toString(), QString());
    const qint64 key = wallClockKey(QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59)));
    EXPECT_EQ(formatWallClock(key), "2024-02-29 23:59");
    EXPECT_EQ(formatWallClock(wallClockKey(QDateTime(QDate(1999, 1, 2), QTime(3, 4)))),
              "1999-01-02 03:04");
    EXPECT_EQ(model.index(1, 0).data(FileListModel::IconIndexRole).toInt(), 4);
    EXPECT_FALSE(model.index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
}

TEST_F(FileListModelTest, SortsByEachColumnAndBack)
{
    model.sort(FileListModel::NameColumn, Qt::AscendingOrder);
    EXPECT_EQ(names(model), QStringList({"A.gif", "a.txt", "b.txt", "c.zip"}));
    model.sort(FileListModel::NameColumn, Qt::DescendingOrder);
    EXPECT_EQ(names(model), QStringList({"c.zip", "b.txt", "a.txt", "A.gif"}));
    // Sizes compare as numbers (9 before 10 before 1000), unknown sizes first.
    model.sort(FileListModel::SizeColumn, Qt::AscendingOrder);
    EXPECT_EQ(names(model), QStringList({"a.txt", "A.gif", "b.txt", "c.zip"}));
    model.sort(FileListModel::DateColumn, Qt::DescendingOrder);
    EXPECT_EQ(names(model), QStringList({"b.txt", "c.zip", "A.gif", "a.txt"}));
    model.sort(-1);
    EXPECT_EQ(names(model), QStringList({"b.txt", "A.gif", "c.zip", "a.txt"}));
}

TEST_F(FileListModelTest, SelectionFollowsTheRowsWhileSorting)
{
    QItemSelectionModel selection(&model);
    selection.select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    model.sort(FileListModel::NameColumn);
    const QModelIndexList rows = selection.selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].data().toString(), "c.zip");
    EXPECT_EQ(rows[0].row(), 3);
}

TEST_F(FileListModelTest, HostileRowsAreGreyedAndUnselectable)
{
    model.setRows({makeRow("ok.txt", 1, 0), makeRow("../evil", 1, 0, false)});
    EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsSelectable);
    EXPECT_EQ(model.flags(model.index(1, 0)), Qt::NoItemFlags);
    EXPECT_FALSE(model.index(1, 0).data(Qt::ToolTipRole).toString().isEmpty());
}
